// The real binary with the fleet options: walk limits against an agent that
// never ends its MIB, and many named targets on a slow resolver.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "scan/walk_test_support.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using testutil::ProcessResult;
using testutil::TempDir;
using walktest::Count;

std::string Install(const TempDir& dir, const std::string& config_lines) {
  testutil::WriteFile(dir / "config.ini",
                      "[Config]\nTimeout=2000000\nRetry=0\nLog=1\n" + config_lines);
  return testutil::InstallBinary(dir.path());
}

TEST(FleetRunTest, LimitsEndAnEndlessWalkAndKeepItsRows) {
  struct Case {
    const char* name;
    const char* config;
    const char* message;
    int rows;  // 0: some
  };
  const Case cases[] = {
      {"row limit, one variable per request", "MaxRows=300\n", "limit reached: MaxRows 300", 300},
      // 300 is no multiple of 7: the limit falls inside an answer.
      {"row limit inside a bulk answer", "Versions=2c\nMaxRepetitions=7\nMaxRows=300\n",
       "limit reached: MaxRows 300", 300},
      {"time limit", "MaxSeconds=1\nMaxRepetitions=10\n", "limit reached: MaxSeconds 1", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::ScriptedAgent endless;
    std::string error;
    ASSERT_TRUE(endless.Start("endless", "", &error)) << error;
    TempDir dir;
    ProcessResult r = testutil::RunProcess({Install(dir, c.config), endless.peer()}, 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Count(r.err, c.message), 1) << r.err;
    const std::string file = testutil::ReadFile(dir / (endless.peer() + ".xml"));
    const int rows = Count(file, "<RESULT>");
    if (c.rows > 0) {
      EXPECT_EQ(rows, c.rows);
    } else {
      EXPECT_GT(rows, 10);
    }
    const std::string log = testutil::ReadFile(dir / "log/log.txt");
    EXPECT_EQ(Count(log, c.message), 1) << log;
    // No walk starts after the limit; the job ends as always.
    EXPECT_EQ(Count(log, "scan start: 1.3.6.1.4.1"), 0) << log;
    EXPECT_EQ(Count(log, "|end\n"), 1) << log;
  }
}

// An endless walk cut by MaxRows holds what its rows need and no more: the
// process's peak memory grows with the limit by a bounded amount a row, not
// with what the agent would go on sending.
TEST(FleetRunTest, RowLimitBoundsTheMemoryOfAnEndlessWalk) {
  testutil::ScriptedAgent endless;
  std::string error;
  ASSERT_TRUE(endless.Start("endless", "", &error)) << error;
  const int kSmall = 300, kLarge = 10000;
  long peak_kib[2] = {0, 0};
  for (int i = 0; i < 2; ++i) {
    const int limit = i == 0 ? kSmall : kLarge;
    TempDir dir;
    ProcessResult r = testutil::RunProcess(
        {Install(dir, "MaxRows=" + std::to_string(limit) + "\n"), endless.peer()}, 120);
    ASSERT_EQ(r.exit_code, 0) << limit << r.err;
    EXPECT_EQ(Count(testutil::ReadFile(dir / (endless.peer() + ".xml")), "<RESULT>"), limit);
    peak_kib[i] = r.peak_rss_kib;
  }
#ifdef MIBSCAN_SANITIZED
  GTEST_SKIP() << "the sanitizer keeps freed blocks in quarantine: its peak says nothing per row";
#endif
  // A row is its name and value twice over (the job's map, the document)
  // plus their nodes: well under 2 KiB.
  const double kib_per_row = static_cast<double>(peak_kib[1] - peak_kib[0]) / (kLarge - kSmall);
  std::printf("peak %ld KiB at %d rows, %ld KiB at %d rows: %.2f KiB a row\n", peak_kib[0], kSmall,
              peak_kib[1], kLarge, kib_per_row);
  EXPECT_GT(peak_kib[0], 0);
  EXPECT_LT(kib_per_row, 2.0);
}

// MaxSeconds also ends a wait already in progress: each agent here stops
// answering in the middle of the scan, and a request's time-out with its retry
// would outlast the test's bound on the run.
TEST(FleetRunTest, TimeLimitCutsTheWaitInProgress) {
  struct Case {
    const char* name;
    const char* silent_under;  // the agent ignores requests for names under these
    const char* config;
    bool account;  // an accounts.csv line: an SNMPv3 scan, whose discovery goes unanswered
    int rows;
  };
  const Case cases[] = {
      {"GETNEXT walk", "1.3.6.1.2.1.1.2", "", false, 2},
      {"bulk walk", "1.3.6.1.2.1.1.2", "Versions=2c\nMaxRepetitions=2\n", false, 2},
      {"batched gets", "1.3.6.1.2.1.1",
       "GetBatch=5\n[Target]\nOID_1=1.3.6.1.2.1.1.1.0\nOID_2=1.3.6.1.2.1.1.5.0\n", false, 0},
      {"SNMPv3 discovery", "", "", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start("silent-under", c.silent_under, &error)) << error;
    TempDir dir;
    testutil::WriteFile(
        dir / "config.ini",
        std::string("[Config]\nTimeout=100000000\nRetry=1\nLog=1\nMaxSeconds=1\n") + c.config);
    if (c.account)
      testutil::WriteFile(dir / "accounts.csv",
                          "ip,username,password\n" + agent.peer() + ",monitor,correct horse\n");
    const std::string exe = testutil::InstallBinary(dir.path());
    ProcessResult r = testutil::RunProcess({exe, agent.peer()}, 60);
    ASSERT_FALSE(r.timed_out) << "the wait outlasted the limit";
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Count(r.err, "limit reached: MaxSeconds 1"), 1) << r.err;
    EXPECT_EQ(Count(r.err, "Timeout"), 0) << r.err;
    const std::string file = testutil::ReadFile(dir / (agent.peer() + ".xml"));
    EXPECT_EQ(Count(file, "<RESULT>"), c.rows) << file;
    const std::string log = testutil::ReadFile(dir / "log/log.txt");
    EXPECT_EQ(Count(log, "limit reached: MaxSeconds 1"), 1) << log;
    EXPECT_EQ(Count(log, "|end\n"), 1) << log;
    // Silent within the limit, as the summary tells; a walk the limit cut
    // after it stored rows makes the target partial.
    const std::string summary = testutil::ReadFile(dir / "summary.csv");
    EXPECT_EQ(Count(summary, c.rows > 0 ? ",partial," : ",no_answer,"), 1) << summary;
    if (c.rows > 0) {
      EXPECT_EQ(Count(summary,
                      "1.3.6.1.2.1 cut by limit reached after " + std::to_string(c.rows) + " row"),
                1)
          << summary;
    }
  }
}

// 50 targets named through a DNS stand-in that takes a second per answer:
// the lookups overlap instead of waiting for each other under the library's
// lock. The stand-in needs port 53 and /etc/resolv.conf replaced, which a
// private mount namespace gives a root test.
TEST(FleetRunTest, SlowResolverDoesNotSerialiseNamedTargets) {
  std::string why;
  if (!testutil::CanUnshare({"--mount", "/bin/true"}, &why))
    GTEST_SKIP() << "no private mount namespace here: " << why;
  testutil::SnmpdFixture agent;
  testutil::SnmpdOptions options;
  options.config_lines = {"view fleet included .1.3.6.1.2.1.1",
                          "rocommunity fleet 127.0.0.1 -V fleet"};
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;

  TempDir dir;
  const std::string exe = Install(dir, "Community=fleet\n");
  // A loopback address of its own per test process, so runs side by side
  // do not meet on port 53.
  const std::string dns =
      "127.53." + std::to_string(getpid() / 250 % 250) + "." + std::to_string(getpid() % 250 + 1);
  testutil::WriteFile(dir / "resolv.conf",
                      "nameserver " + dns + "\noptions timeout:10 attempts:1\n");
  std::string targets;
  std::vector<std::string> names;
  for (int i = 1; i <= 50; ++i) {
    names.push_back("t" + std::to_string(i) + ".fleet.test:" + std::to_string(agent.port()));
    targets += " " + names.back();
  }
  const std::string script =
      "set -e\n"
      "mount --bind '" +
      dir / "resolv.conf" +
      "' /etc/resolv.conf\n"
      // The stand-in exits when this shell, which holds its standard input, ends.
      "exec 3> >(exec python3 '" MIBSCAN_SOURCE_DIR "/tests/support/slow_dns.py' " +
      dns + " 1 '" + dir / "dns.stats" + "' > '" + dir / "dns.ready" +
      "' 2>&1)\n"
      "for i in $(seq 100); do grep -q READY '" +
      dir / "dns.ready" +
      "' 2>/dev/null && break; sleep 0.1; done\n"
      "grep -q READY '" +
      dir / "dns.ready" +
      "'\n"
      "status=0\n'" +
      exe + "'" + targets +
      " >/dev/null || status=$?\n"
      "exit $status\n";
  const auto start = std::chrono::steady_clock::now();
  ProcessResult r =
      testutil::RunProcess({"/usr/bin/unshare", "--mount", "/bin/bash", "-c", script}, 110);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.exit_code, 0) << r.err;

  int queries = 0, most_at_once = 0;
  ASSERT_EQ(sscanf(testutil::ReadFile(dir / "dns.stats").c_str(), "%d %d", &queries, &most_at_once),
            2);
  EXPECT_GE(queries, 50);
  // Serialised lookups would never have two in flight.
  EXPECT_GE(most_at_once, 25) << "queries " << queries << ", " << seconds << " s";
  for (const auto& name : names)
    EXPECT_GT(Count(testutil::ReadFile(dir / (name + ".xml")), "<RESULT>"), 5) << name;
  // The result files and messages name the target as written.
  EXPECT_EQ(Count(r.err, "Timeout"), 0) << r.err;
}

}  // namespace
