// The real binary against hostile agents, several at once beside a normal
// snmpd, and the operator's interrupt.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "output/parsed_xml.h"
#include "platform/interrupt.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using testutil::ProcessResult;
using testutil::ScriptedAgent;
using testutil::SnmpdFixture;
using testutil::TempDir;

constexpr char kCommunity[] = "tkvwqz";
constexpr char kInterruptMessage[] =
    "mibscan: interrupted; ending the walks in progress and writing the results "
    "(interrupt again to quit at once)\n";

std::vector<std::string> LogTexts(const std::string& log, const std::string& target) {
  std::vector<std::string> texts;
  std::istringstream lines(log);
  std::string line;
  const std::string prefix = "|-|" + target + "|";
  while (std::getline(lines, line)) {
    const size_t at = line.find(prefix);
    if (at != std::string::npos) texts.push_back(line.substr(at + prefix.size()));
  }
  return texts;
}

int Count(const std::string& haystack, const std::string& needle) {
  int n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + 1))
    ++n;
  return n;
}

class HostileRunTest : public testing::Test {
 protected:
  // One snmpd for the whole suite: its view leaves out sysUpTime, so two runs
  // against it give the same result file.
  static void SetUpTestSuite() {
    snmpd_ = new SnmpdFixture;
    testutil::SnmpdOptions options;
    options.config_lines = {"view small included .1.3.6.1.2.1.1",
                            "view small excluded .1.3.6.1.2.1.1.3",
                            std::string("rocommunity ") + kCommunity + " 127.0.0.1 -V small",
                            "sysLocation hostile test", "sysContact nobody"};
    if (!snmpd_->Start(options, &start_error_)) {
      delete snmpd_;
      snmpd_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete snmpd_;
    snmpd_ = nullptr;
  }

  void SetUp() override { ASSERT_NE(snmpd_, nullptr) << start_error_; }

  // A fresh directory with the binary and a config.ini with short waits.
  std::string Install(TempDir* dir) {
    testutil::WriteFile(*dir / "config.ini", "[Config]\nTimeout=300000\nRetry=1\nLog=1\n");
    return testutil::InstallBinary(dir->path());
  }

  std::string ResultPath(const TempDir& dir, const std::string& target) {
    return dir / (target + ".xml");
  }

  // The snmpd target's result file from a run of its own.
  std::string SoloResult() {
    TempDir dir;
    ProcessResult r = testutil::RunProcess({Install(&dir), snmpd_->Target()}, 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return testutil::ReadFile(ResultPath(dir, snmpd_->Target()));
  }

  static SnmpdFixture* snmpd_;
  static std::string start_error_;
};

SnmpdFixture* HostileRunTest::snmpd_ = nullptr;
std::string HostileRunTest::start_error_;

TEST_F(HostileRunTest, HostileAgentsBesideANormalOneInOneRun) {
  struct Case {
    const char* scenario;
    const char* arg;
    // Expected rows: a count, and one OID that must be among them.
    size_t rows;
    const char* some_oid;
    bool times_out;  // the walks end by time-out (answers dropped or none)
  };
  const Case cases[] = {
      {"garbage", "3", 0, nullptr, true},
      {"truncated", "", 0, nullptr, true},
      {"bad-length", "huge", 0, nullptr, true},
      {"bad-length", "inner-long", 0, nullptr, true},
      {"long-oid", "128", 2, "1.3.6.1.2.1.1.8.0", false},
      {"long-oid", "129", 0, nullptr, true},
      {"big-string", "", 1, "1.3.6.1.2.1.1.1.0", false},
      // Matched by request id, as the library (and snmpwalk) does.
      {"wrong-port", "", 6, "1.3.6.1.4.1.8072.1.1.0", false},
      {"wrong-address", "", 6, "1.3.6.1.4.1.8072.1.1.0", false},
      {"wrong-request-id", "", 0, nullptr, true},
      {"wrong-version", "", 0, nullptr, true},
      {"duplicate", "", 6, "1.3.6.1.4.1.8072.1.1.0", false},
      {"many-varbinds", "2000", 2000, "1.3.6.1.2.1.1.9.2000", false},
      {"error-index-beyond", "2147483647", 0, nullptr, false},
      // Each answer one sub-identifier deeper, until a name too long to
      // take ends the walk by time-out: names of 7 to 128 sub-identifiers
      // under mib-2 and enterprises, 9 to 128 under sysUpTime.
      {"other-oid", "", 122 + 122 + 120, "1.3.6.1.2.1.1", true},
  };
  const std::string solo = SoloResult();
  ASSERT_NE(solo.find("<RESULT>"), std::string::npos) << solo;

  std::vector<std::unique_ptr<ScriptedAgent>> agents;
  std::vector<std::string> argv = {""};
  TempDir dir;
  argv[0] = Install(&dir);
  for (const Case& c : cases) {
    agents.push_back(std::make_unique<ScriptedAgent>());
    std::string error;
    ASSERT_TRUE(agents.back()->Start(c.scenario, c.arg, &error)) << c.scenario << ": " << error;
    argv.push_back(agents.back()->peer());
  }
  argv.push_back(snmpd_->Target());

  ProcessResult r = testutil::RunProcess(argv, 240);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string log = testutil::ReadFile(dir / "log/log.txt");

  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string name = std::string(c.scenario) + " " + c.arg;
    const std::string target = agents[i]->peer();
    std::map<std::string, std::string> rows;
    std::string error;
    ASSERT_TRUE(testxml::ReadResultRows(ResultPath(dir, target), &rows, &error))
        << name << ": " << error;
    EXPECT_EQ(rows.size(), c.rows) << name;
    if (c.some_oid) {
      EXPECT_EQ(rows.count(c.some_oid), 1u) << name;
    }
    EXPECT_EQ(Count(r.err, "Timeout: No Response from " + target + "\n") > 0, c.times_out) << name;
    const std::vector<std::string> texts = LogTexts(log, target);
    ASSERT_FALSE(texts.empty()) << name;
    EXPECT_EQ(texts.front(), "start") << name;
    EXPECT_EQ(texts.back(), "end") << name;
    EXPECT_EQ(Count(r.out, "output: " + ResultPath(dir, target) + "\n"), 1) << name;
  }

  // The hostile answers did nothing to the values of these two.
  std::map<std::string, std::string> rows;
  std::string error;
  ASSERT_TRUE(testxml::ReadResultRows(ResultPath(dir, agents[4]->peer()), &rows, &error)) << error;
  std::string long_name = "1.3.6.1.2.1.1.9";
  for (int k = 1; k <= 120; ++k) long_name += "." + std::to_string(k);
  EXPECT_EQ(rows["1.3.6.1.2.1.1.8.0"], long_name);
  EXPECT_EQ(rows[long_name], "long name");
  rows.clear();
  ASSERT_TRUE(testxml::ReadResultRows(ResultPath(dir, agents[6]->peer()), &rows, &error)) << error;
  EXPECT_GT(rows["1.3.6.1.2.1.1.1.0"].size(), 65000u);

  // The normal target's file is the one a run of its own writes.
  EXPECT_EQ(testutil::ReadFile(ResultPath(dir, snmpd_->Target())), solo);
}

TEST_F(HostileRunTest, InterruptWritesWhatWasGatheredAndExits130) {
  ScriptedAgent endless;
  std::string error;
  ASSERT_TRUE(endless.Start("endless", "", &error)) << error;
  const std::string solo = SoloResult();

  TempDir dir;
  const std::string exe = Install(&dir);
  const std::string normal_file = ResultPath(dir, snmpd_->Target());
  int signals_sent = 0;
  // Once the normal target is done and the endless walk has stored rows; at
  // most the run's time limit later.
  ProcessResult r = testutil::RunProcess({exe, endless.peer(), snmpd_->Target()}, 120, {},
                                         [&](pid_t pid, const ProcessResult&) {
                                           if (signals_sent == 0 && endless.RequestCount() >= 200 &&
                                               testutil::FileExists(normal_file)) {
                                             kill(pid, SIGINT);
                                             ++signals_sent;
                                           }
                                         });
  ASSERT_EQ(signals_sent, 1) << r.err;
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_EQ(Count(r.err, kInterruptMessage), 1) << r.err;

  std::map<std::string, std::string> rows;
  ASSERT_TRUE(testxml::ReadResultRows(ResultPath(dir, endless.peer()), &rows, &error)) << error;
  EXPECT_GE(rows.size(), 199u);
  EXPECT_EQ(rows["1.3.6.1.2.1.1.1.1"], "1");
  EXPECT_EQ(testutil::ReadFile(normal_file), solo);

  const std::string log = testutil::ReadFile(dir / "log/log.txt");
  const std::vector<std::string> texts = LogTexts(log, endless.peer());
  // The mib-2 walk ends at the interrupt; no walk starts after it.
  ASSERT_GE(texts.size(), 5u) << log;
  EXPECT_EQ(
      std::vector<std::string>(texts.end() - 4, texts.end()),
      (std::vector<std::string>{"scan start: 1.3.6.1.2.1[v1]", "interrupted", "scan end", "end"}))
      << log;
  const std::vector<std::string> normal = LogTexts(log, snmpd_->Target());
  ASSERT_FALSE(normal.empty());
  EXPECT_EQ(normal.back(), "end");
  EXPECT_EQ(std::count(normal.begin(), normal.end(), "interrupted"), 0);

  // The target done before the interrupt answered; the cut one is marked so.
  const std::string summary = testutil::ReadFile(dir / "summary.csv");
  EXPECT_NE(summary.find("\r\n" + endless.peer() + ",interrupted,1,"), std::string::npos)
      << summary;
  EXPECT_NE(summary.find("\r\n" + snmpd_->Target() + ",answered,1,"), std::string::npos) << summary;
  EXPECT_NE(r.err.find(" 1 answered (v1 1), 1 interrupted; "), std::string::npos) << r.err;
}

// The handler itself, in a child process: the first interrupt only sets the
// flag and prints the line; the next one, of either kind, ends the process.
TEST(InterruptHandlingDeathTest, SecondInterruptEndsTheProcessAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int first : {SIGINT, SIGTERM, SIGHUP}) {
    const int second = first == SIGINT ? SIGHUP : SIGINT;
    EXPECT_EXIT(
        {
          if (!platform::InstallInterruptHandling()) _exit(2);
          raise(first);
          if (!platform::Interrupted()) _exit(3);
          raise(second);
          _exit(4);
        },
        testing::KilledBySignal(second), "mibscan: interrupted; ending the walks in progress")
        << first;
  }
}

}  // namespace
