// The real binary against hostile agents, several at once beside a normal
// snmpd (over SNMPv1 and over SNMPv3), and the operator's interrupt.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/summary_rows.h"
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
// The snmpd's SNMPv3 user.
constexpr char kV3User[] = "tkvuser";
constexpr char kV3AuthPass[] = "normal-auth-pass-phrase";
constexpr char kV3PrivPass[] = "normal-priv-pass-phrase";
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

class HostileRunTest : public testing::Test {
 protected:
  // One snmpd for the whole suite: its view leaves out sysUpTime, so two runs
  // against it give the same result file.
  static void SetUpTestSuite() {
    testutil::SnmpdOptions options;
    options.config_lines = {"view small included .1.3.6.1.2.1.1",
                            "view small excluded .1.3.6.1.2.1.1.3",
                            std::string("rocommunity ") + kCommunity + " 127.0.0.1 -V small",
                            std::string("createUser ") + kV3User + " SHA-512 \"" + kV3AuthPass +
                                "\" AES-256 \"" + kV3PrivPass + "\"",
                            std::string("rouser ") + kV3User + " priv -V small",
                            "sysLocation hostile test",
                            "sysContact nobody"};
    snmpd_ = testutil::StartSnmpd(options, &start_error_);
  }
  static void TearDownTestSuite() { snmpd_.reset(); }

  void SetUp() override { ASSERT_NE(snmpd_, nullptr) << start_error_; }

  // A fresh directory with the binary and a config.ini with short waits.
  std::string Install(TempDir* dir) {
    testutil::WriteFile(*dir / "config.ini", "[Config]\nTimeout=300000\nRetry=1\nLog=1\n");
    return testutil::InstallBinary(dir->path());
  }

  std::string ResultPath(const TempDir& dir, const std::string& target) {
    return dir / (target + ".xml");
  }

  // The snmpd target's result file from a run of its own, with accounts.csv
  // when given.
  std::string SoloResult(const std::string& accounts = "") {
    TempDir dir;
    const std::string exe = Install(&dir);
    if (!accounts.empty()) testutil::WriteFile(dir / "accounts.csv", accounts);
    ProcessResult r = testutil::RunProcess({exe, snmpd_->Target()}, 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return testutil::ReadFile(ResultPath(dir, snmpd_->Target()));
  }

  static std::unique_ptr<SnmpdFixture> snmpd_;
  static std::string start_error_;
};

std::unique_ptr<SnmpdFixture> HostileRunTest::snmpd_;
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
    EXPECT_EQ(testutil::CountOf(r.err, "Timeout: No Response from " + target + "\n") > 0,
              c.times_out)
        << name;
    const std::vector<std::string> texts = LogTexts(log, target);
    ASSERT_FALSE(texts.empty()) << name;
    EXPECT_EQ(texts.front(), "start") << name;
    EXPECT_EQ(texts.back(), "end") << name;
    EXPECT_EQ(testutil::CountOf(r.out, "output: " + ResultPath(dir, target) + "\n"), 1u) << name;
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

TEST_F(HostileRunTest, HostileV3AgentsBesideANormalOneInOneRun) {
  struct Case {
    const char* scenario;
    const char* arg;
    const char* engine_id;  // nullptr: one of the agent's own
    bool privacy;           // the account asks for AES privacy
    const char* outcome;    // summary.csv; nullptr: either (the library's clock checks decide)
    const char* named;      // "authentication failed: <named>" in the log; nullptr: none
  };
  const std::string long_engine_id(40, 'E');
  // mib-2, enterprises and sysUpTime, each through both of the library's
  // session interfaces; Retry=1 from Install().
  constexpr int kWalks = 3 * 2;
  constexpr int kRetry = 1;
  const Case cases[] = {
      {"v3-report", "wrong-digest", nullptr, false, "auth_failed", "wrong digest"},
      {"v3-report", "unknown-user", nullptr, false, "auth_failed", "unknown user"},
      {"v3-report", "unknown-engine", nullptr, false, "auth_failed", "unknown engine ID"},
      {"v3-report", "decryption", nullptr, true, "auth_failed", "decryption error"},
      {"v3-report", "unsupported-level", nullptr, false, "auth_failed",
       "unsupported security level"},
      {"v3-report", "not-in-time", nullptr, false, "auth_failed", "not in time window"},
      {"v3-bad-digest", "", nullptr, false, "no_answer", nullptr},
      {"v3-wrong-key", "", nullptr, true, "no_answer", nullptr},
      {"v3-truncated-security", "", nullptr, false, "no_answer", nullptr},
      {"v3-engine-changes", "", nullptr, false, "no_answer", nullptr},
      {"v3-time", "back", nullptr, false, nullptr, nullptr},
      {"v3-time", "jump", nullptr, false, nullptr, nullptr},
      {"v3-time", "wild", nullptr, false, nullptr, nullptr},
      // Discovery fails: the library takes no empty engine ID, and drops an
      // answer with one over 32 bytes.
      {"v3-normal", "", "", false, "auth_failed", nullptr},
      {"v3-normal", "", long_engine_id.c_str(), false, "no_answer", nullptr},
  };
  // Every pass phrase of the run, to look for in everything it wrote.
  std::vector<std::string> secrets = {kV3AuthPass, kV3PrivPass};
  std::string accounts = "ip,username,password,authprotocol,privprotocol,privpassword\n";
  const std::string normal_row = snmpd_->Target() + "," + kV3User + "," + kV3AuthPass +
                                 ",SHA-512,AES-256," + kV3PrivPass + "\n";
  const std::string solo = SoloResult(accounts + normal_row);
  ASSERT_NE(solo.find("<RESULT>"), std::string::npos) << solo;

  std::vector<std::unique_ptr<ScriptedAgent>> agents;
  TempDir dir;
  std::vector<std::string> argv = {Install(&dir)};
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    ScriptedAgent::Options options;
    options.scenario = c.scenario;
    options.arg = c.arg;
    // Engine IDs of their own: agents that share one take turns on its key.
    options.engine_id = c.engine_id ? c.engine_id : "hostile-engine-" + std::to_string(i);
    options.auth_protocol = "SHA-256";
    options.auth_pass = "hostile-auth-" + std::to_string(i) + "-phrase";
    agents.push_back(std::make_unique<ScriptedAgent>());
    std::string error;
    ASSERT_TRUE(agents.back()->Start(options, &error))
        << c.scenario << " " << c.arg << ": " << error;
    std::string row = agents.back()->peer() + "," + options.user + "," + options.auth_pass + "," +
                      options.auth_protocol;
    secrets.push_back(options.auth_pass);
    if (c.privacy) {
      const std::string priv_pass = "hostile-priv-" + std::to_string(i) + "-phrase";
      row += ",AES," + priv_pass;
      secrets.push_back(priv_pass);
    } else {
      row += ",,";
    }
    accounts += row + "\n";
    argv.push_back(agents.back()->peer());
  }
  accounts += normal_row;
  argv.push_back(snmpd_->Target());
  testutil::WriteFile(dir / "accounts.csv", accounts);
  std::filesystem::permissions(dir / "accounts.csv", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write);

  const auto start = std::chrono::steady_clock::now();
  ProcessResult r = testutil::RunProcess(argv, 240);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(r.timed_out) << r.err;
  EXPECT_EQ(r.exit_code, 0) << r.err;
  // The targets are scanned at once, each walk waiting a few tries of 0.3 s.
  EXPECT_LT(seconds, 60.0);
  const std::string log = testutil::ReadFile(dir / "log/log.txt");
  const std::vector<summarytest::CsvRecord> summary = summarytest::SummaryRows(dir);
  ASSERT_EQ(summary.size(), std::size(cases) + 1);

  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const std::string name = std::string(c.scenario) + " " + c.arg + " #" + std::to_string(i);
    const std::string target = agents[i]->peer();
    // Per walk the probe's tries and two sends (the library's one
    // time-window resend) per try of the request.
    EXPECT_LE(agents[i]->RequestCount(), kWalks * (1 + kRetry) * (1 + 2)) << name << "\n"
                                                                          << agents[i]->Log();
    const std::vector<std::string> texts = LogTexts(log, target);
    ASSERT_FALSE(texts.empty()) << name;
    EXPECT_EQ(texts.front(), "start") << name;
    EXPECT_EQ(texts.back(), "end") << name;
    const long named = std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
      return t.rfind("authentication failed: ", 0) == 0;
    });
    if (c.named) {
      // Every walk that reached the agent names the report.
      const long named_as_expected =
          std::count(texts.begin(), texts.end(), std::string("authentication failed: ") + c.named);
      EXPECT_GE(named_as_expected, 1) << name << "\n" << log;
      EXPECT_EQ(named, named_as_expected) << name << "\n" << log;
    } else {
      EXPECT_EQ(named, 0) << name << "\n" << log;
    }
    ASSERT_EQ(summary[i].size(), 7u) << name;
    ASSERT_EQ(summary[i][0], target);
    if (c.outcome) {
      EXPECT_EQ(summary[i][1], c.outcome) << name << ": " << summary[i][6];
    }
    EXPECT_EQ(testutil::CountOf(r.out, "output: " + ResultPath(dir, target) + "\n"), 1u) << name;
  }

  // The hostile agents did nothing to the normal target.
  EXPECT_EQ(testutil::ReadFile(ResultPath(dir, snmpd_->Target())), solo);
  ASSERT_EQ(summary.back().size(), 7u);
  EXPECT_EQ(summary.back()[0], snmpd_->Target());
  EXPECT_EQ(summary.back()[1], "answered") << summary.back()[6];
  EXPECT_EQ(summary.back()[2], "3");

  // No pass phrase anywhere the run wrote.
  std::string written = r.out + r.err;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    const std::string file = entry.path().filename();
    if (entry.is_regular_file() && file != "accounts.csv" && file != "mibscan")
      written += testutil::ReadFile(entry.path());
  }
  EXPECT_NE(written.find("<RESULT>"), std::string::npos);
  for (const auto& secret : secrets) EXPECT_EQ(testutil::CountOf(written, secret), 0u) << secret;
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
  EXPECT_EQ(testutil::CountOf(r.err, kInterruptMessage), 1u) << r.err;

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
