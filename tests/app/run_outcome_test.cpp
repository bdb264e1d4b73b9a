// What the operator sees at the end of a run, through the real binary:
// summary.csv, the closing summary, the status line on a terminal, the
// time-out hint and the exit status.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/summary_rows.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using summarytest::CsvRecord;
using summarytest::SummaryRows;
using testutil::ProcessResult;
using testutil::SnmpdFixture;
using testutil::SnmpdOptions;
using testutil::TempDir;

constexpr char kCommunity[] = "tkvwqz";
constexpr char kUser[] = "opuser";
constexpr char kPass[] = "operator-pass-phrase";

// The closing summary (the line starting "mibscan: <n> target") with the time
// replaced by "T".
std::string ClosingLine(const std::string& err) {
  static const std::regex line("mibscan: [0-9,]+ targets? in [0-9.]+ s:[^\n]*");
  std::smatch m;
  if (!std::regex_search(err, m, line)) return "";
  return std::regex_replace(m.str(), std::regex(" in [0-9.]+ s:"), " in T:");
}

// A TCP port on 127.0.0.1 that nothing listens on (just released).
int ClosedTcpPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

std::string SilentTarget() {
  return "127.0.0.1:" + std::to_string(testutil::FindFreeUdpPort({"127.0.0.1"}));
}

bool StartAgent(SnmpdFixture* agent, const std::vector<std::string>& addresses,
                const std::vector<std::string>& lines, std::string* error) {
  testutil::SnmpdOptions options;
  options.addresses = addresses;
  options.config_lines = {
      std::string("com2sec opnet 127.0.0.0/8 ") + kCommunity, "view opview included .1.3.6.1.2.1.1",
      "view opview excluded .1.3.6.1.2.1.1.9", "view none included .1.3.6.1.6.3.99999"};
  options.config_lines.insert(options.config_lines.end(), lines.begin(), lines.end());
  return agent->Start(options, error);
}

TEST(RunOutcomeTest, EveryOutcomeInOneRun) {
  // One agent on five addresses answers v1, v2c and its SNMPv3 user; the
  // targets differ by the account each has in accounts.csv.
  SnmpdFixture full, v2c_only, empty_view;
  std::string error;
  ASSERT_TRUE(
      StartAgent(&full, {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"},
                 {"group opv1 v1 opnet", "access opv1 \"\" v1 noauth exact opview none none",
                  std::string("createUser ") + kUser + " MD5 \"" + kPass + "\"",
                  std::string("group opusm usm ") + kUser,
                  "access opusm \"\" usm auth exact opview none none"},
                 &error))
      << error;
  ASSERT_TRUE(StartAgent(
      &v2c_only, {"127.0.0.1"},
      {"group opv2 v2c opnet", "access opv2 \"\" v2c noauth exact opview none none"}, &error))
      << error;
  ASSERT_TRUE(
      StartAgent(&empty_view, {"127.0.0.1"},
                 {"group opv1 v1 opnet", "access opv1 \"\" v1 noauth exact none none none",
                  "group opv2 v2c opnet", "access opv2 \"\" v2c noauth exact none none none"},
                 &error))
      << error;

  struct Case {
    std::string target;
    std::string account;  // "user,pass phrase" in accounts.csv, or empty
    const char* outcome;
    const char* versions;
    bool rows;
    const char* detail;  // a regular expression
  };
  const std::string silent = SilentTarget();
  const std::string refused = "tcp:127.0.0.1:" + std::to_string(ClosedTcpPort());
  const Case cases[] = {
      {full.Target(0), "", "answered", "1", true, ""},
      {v2c_only.Target(), "", "answered", "2c", true, "v1 silent"},
      {full.Target(1), std::string(kUser) + "," + kPass, "answered", "3", true, ""},
      {full.Target(2), std::string(kUser) + ",not-the-pass-phrase", "auth_failed", "", false,
       "wrong digest"},
      {full.Target(3), std::string("nobody,") + kPass, "auth_failed", "", false, "unknown user"},
      {full.Target(4), std::string(kUser) + ",short", "auth_failed", "", false,
       "pass phrase refused \\(fewer than 8 characters\\)"},
      {empty_view.Target(), "", "empty", "", false, "v1 and v2c answered, nothing stored"},
      {silent, "", "no_answer", "", false, "v1, v2c and v3 silent"},
      {testutil::kUnresolvableHost, "", "open_failed", "", false, ".*x{64}\\.invalid.*"},
      {refused, "", "open_failed", "", false, ".*Connection refused.*"},
  };

  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=300000\nRetry=0\n");
  std::string accounts = "ip,username,password\n";
  std::vector<std::string> argv = {exe};
  for (const Case& c : cases) {
    if (!c.account.empty()) accounts += c.target + "," + c.account + "\n";
    argv.push_back(c.target);
  }
  testutil::WriteFile(dir / "accounts.csv", accounts);

  ProcessResult r = testutil::RunProcess(argv, 240);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<CsvRecord> rows = SummaryRows(dir);
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const CsvRecord& row = rows[i];
    EXPECT_EQ(row[0], c.target);
    EXPECT_EQ(row[1], c.outcome) << c.target << ": " << row[6];
    EXPECT_EQ(row[2], c.versions) << c.target;
    EXPECT_EQ(row[3] != "0", c.rows) << c.target;
    EXPECT_TRUE(std::regex_match(row[4], std::regex("[0-9]+\\.[0-9]{3}"))) << row[4];
    EXPECT_EQ(row[5], c.target + ".xml") << c.target;
    EXPECT_TRUE(std::regex_match(row[6], std::regex(c.detail))) << c.target << ": " << row[6];
  }
  EXPECT_TRUE(std::regex_match(
      ClosingLine(r.err),
      std::regex("mibscan: 10 targets in T: 3 answered \\(v1 1, v2c 1, v3 1\\), 1 no answer, "
                 "3 authentication failed, 2 open failed, 1 empty; [0-9,]+ rows; " +
                 dir.path() + "/summary.csv")))
      << r.err;
  // A Timeout key: no hint, whatever went unanswered.
  EXPECT_EQ(r.err.find("Timeout="), std::string::npos) << r.err;
  // The designed lines are still there, and no status line without a terminal.
  EXPECT_NE(r.err.find("Timeout: No Response from " + silent + "\n"), std::string::npos);
  EXPECT_NE(r.out.find("output: " + (dir / (full.Target(0) + ".xml")) + "\n"), std::string::npos);
  EXPECT_EQ(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST(RunOutcomeTest, RefusedOidAndTheTimeOutHint) {
  struct Case {
    const char* name;
    std::string config;
    std::vector<std::string> args;
    const char* outcome;
    const char* closing;  // after "mibscan: 1 target in T: "
    bool hint;
  };
  const std::string silent = SilentTarget();
  const Case cases[] = {
      {"built-in time-out, silent target",
       "[Config]\nRetry=0\n",
       {silent},
       "no_answer",
       "1 no answer; 0 rows",
       true},
      {"configured time-out",
       "[Config]\nTimeout=500\nRetry=0\n",
       {silent},
       "no_answer",
       "1 no answer; 0 rows",
       false},
      {"refused OID",
       "[Config]\nRetry=0\n",
       {"oid", "...", silent},
       "invalid_oid",
       "1 invalid OID; 0 rows",
       false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> argv = {testutil::InstallBinary(dir.path())};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testutil::WriteFile(dir / "config.ini", c.config);
    ProcessResult r = testutil::RunProcess(argv, 60);
    EXPECT_EQ(r.exit_code, 0) << c.name << r.err;
    const std::vector<CsvRecord> rows = SummaryRows(dir);
    ASSERT_EQ(rows.size(), 1u) << c.name;
    EXPECT_EQ(rows[0][1], c.outcome) << c.name;
    EXPECT_EQ(ClosingLine(r.err),
              std::string("mibscan: 1 target in T: ") + c.closing + "; " + (dir / "summary.csv"))
        << c.name;
    const std::string hint =
        "mibscan: the time-out was the built-in 500 microseconds per try; Timeout= in config.ini "
        "sets it, in "
        "microseconds (Timeout=1000000 is one second)\n";
    EXPECT_EQ(r.err.find(hint) != std::string::npos, c.hint) << c.name << r.err;
  }
  // The refused OID is the detail.
  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::RunProcess({exe, "oid", "...", silent}, 60);
  const std::vector<CsvRecord> rows = SummaryRows(dir);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][6], "...");
  EXPECT_EQ(rows[0][5], silent + "_[...].xml");
}

// A request the system refuses to send (here: a network namespace whose
// loopback is down) never reached an agent: the session failed, as an open
// does, with the library's text; it is no silence and gets no time-out hint.
TEST(RunOutcomeTest, SendFailureIsAnOpenFailureWithoutTheHint) {
  struct Case {
    const char* name;
    const char* config;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"walks of v1 and v2c", "[Config]\nRetry=0\nVersions=1,2c\n", {"127.0.0.1:1161"}},
      {"the oid form's get", "[Config]\nRetry=0\n", {"oid", "1.3.6.1.2.1.1.1.0", "127.0.0.1:1161"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> argv = {"/usr/bin/unshare", "-n", testutil::InstallBinary(dir.path())};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testutil::WriteFile(dir / "config.ini", c.config);
    ProcessResult r = testutil::RunProcess(argv, 60);
    if (r.err.rfind("unshare:", 0) == 0) GTEST_SKIP() << "no network namespace here: " << r.err;
    EXPECT_EQ(r.exit_code, 0) << c.name << r.err;
    const std::vector<CsvRecord> rows = SummaryRows(dir);
    ASSERT_EQ(rows.size(), 1u) << c.name;
    EXPECT_EQ(rows[0][1], "open_failed") << c.name;
    EXPECT_EQ(rows[0][6], "Failure in sendto (Network is unreachable)") << c.name;
    EXPECT_EQ(ClosingLine(r.err),
              "mibscan: 1 target in T: 1 open failed; 0 rows; " + (dir / "summary.csv"))
        << c.name;
    EXPECT_EQ(r.err.find("Timeout="), std::string::npos) << c.name << r.err;
  }
}

// A walk that stored rows and then ended short of its subtree's end marks
// its target `partial`, saying which walk, after how many rows and why; a
// hiccup of the path (a relay in front of snmpd that drops requests) is the
// common cause. The time-out hint comes with a time-out cut when the built-in
// time-out was used.
TEST(RunOutcomeTest, WalkCutShortIsPartial) {
  SnmpdFixture agent;
  SnmpdOptions options;
  options.config_lines = {"view cutview included .1.3.6.1.2.1.1",
                          "view cutview included .1.3.6.1.2.1.2",
                          std::string("rocommunity ") + kCommunity + " 127.0.0.1 -V cutview"};
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;
  struct Case {
    const char* name;
    const char* config;
    int stall_after, stall_count;  // requests relayed before the stall, requests lost (-1: all)
    const char* outcome;
    const char* detail;  // a regular expression
    bool hint;
  };
  const Case cases[] = {
      {"one request lost", "[Config]\nTimeout=1000000\nRetry=0\n", 20, 1, "partial",
       "1\\.3\\.6\\.1\\.2\\.1 cut by time-out after 20 rows", false},
      {"the path gone for good, built-in time-out", "[Config]\n", 10, -1, "partial",
       "1\\.3\\.6\\.1\\.2\\.1 cut by time-out after [0-9]+ rows", true},
      {"MaxRows", "[Config]\nTimeout=300000\nRetry=0\nMaxRows=15\n", -1, 0, "partial",
       "1\\.3\\.6\\.1\\.2\\.1 cut by limit reached after 15 rows", false},
      {"no hiccup", "[Config]\nTimeout=2000000\nRetry=0\n", -1, 0, "answered", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::ScriptedAgent relay;
    ASSERT_TRUE(relay.StartScript(
        {MIBSCAN_SOURCE_DIR "/tests/support/udp_relay.py", std::to_string(agent.port()),
         "--stall-after", std::to_string(c.stall_after), "--stall-count",
         std::to_string(c.stall_count)},
        &error))
        << error;
    TempDir dir;
    testutil::WriteFile(dir / "config.ini", c.config);
    ProcessResult r = testutil::RunProcess({testutil::InstallBinary(dir.path()), relay.peer()}, 60);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::vector<CsvRecord> rows = SummaryRows(dir);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][1], c.outcome) << r.err;
    EXPECT_TRUE(std::regex_match(rows[0][6], std::regex(c.detail))) << rows[0][6];
    EXPECT_EQ(rows[0][2], "1");
    EXPECT_NE(ClosingLine(r.err).find(std::string(": 1 ") + c.outcome), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Timeout= in config.ini") != std::string::npos, c.hint) << r.err;
  }
}

TEST(RunOutcomeTest, UnwrittenFilesExitTwo) {
  struct Case {
    const char* name;
    const char* directory_in_the_way;  // "" for the target's result file
    const char* closing_tail;
  };
  const Case cases[] = {
      {"result file", "", "1 no answer; 0 rows; 1 result file not written; "},
      {"summary.csv", "summary.csv", "1 no answer; 0 rows; "},
  };
  for (const Case& c : cases) {
    const std::string silent = SilentTarget();
    TempDir dir;
    const std::string exe = testutil::InstallBinary(dir.path());
    testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=500\nRetry=0\n");
    const std::string in_the_way =
        dir / (*c.directory_in_the_way ? c.directory_in_the_way : silent + ".xml");
    std::filesystem::create_directory(in_the_way);
    ProcessResult r = testutil::RunProcess({exe, silent}, 60);
    EXPECT_EQ(r.exit_code, 2) << c.name << r.err;
    const std::string closing = ClosingLine(r.err);
    EXPECT_EQ(closing.rfind(std::string("mibscan: 1 target in T: ") + c.closing_tail, 0), 0u)
        << c.name << closing;
    if (*c.directory_in_the_way) {
      EXPECT_EQ(closing.substr(closing.rfind("; ") + 2),
                dir / "summary.csv not written: not a regular file")
          << closing;
      EXPECT_NE(r.out.find("output: " + (dir / (silent + ".xml"))), std::string::npos) << r.out;
    } else {
      EXPECT_NE(r.out.find("output error\n"), std::string::npos) << r.out;
      const std::vector<CsvRecord> rows = SummaryRows(dir);
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_EQ(rows[0][5], "") << "no file name for a file not written";
    }
  }
}

std::string TrimmedForTest(const std::string& text) {
  const size_t begin = text.find_first_not_of(' ');
  return begin == std::string::npos ? "" : text.substr(begin);
}

// Every file of dir with its content ("/" for a directory).
std::map<std::string, std::string> Contents(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    files[e.path().filename()] = e.is_directory() ? "/" : testutil::ReadFile(e.path());
  return files;
}

// Runs argv through sh with standard input redirected as given ("<&-" closes it).
ProcessResult RunWithInput(const std::vector<std::string>& argv, const std::string& redirect) {
  std::string command = "exec";
  for (const std::string& a : argv) command += " '" + a + "'";
  return testutil::RunProcess({"/bin/sh", "-c", command + " " + redirect}, 60);
}

// An option put after the targets, and a target list that came to nothing:
// the run ends at once, with one line, and every file of an earlier run stays
// as it was (no log directory is made either).
TEST(RunOutcomeTest, RunsThatEndBeforeAnyScan) {
  struct Case {
    const char* name;
    std::vector<std::string> args;  // "%DIR%" is the run's directory
    const char* input;              // redirection of standard input
    int exit_code;
    const char* err;
  };
  const std::string silent = SilentTarget();
  const Case cases[] = {
      {"--dir after the target",
       {silent, "--dir", "%DIR%"},
       "</dev/null",
       1,
       "mibscan: options go before the targets: --dir\n"},
      {"--shard after the targets of a file",
       {"--targets", "%DIR%/list.txt", silent, "--shard", "1/2"},
       "</dev/null",
       1,
       "mibscan: options go before the targets: --shard\n"},
      {"--help after a comma list",
       {silent + ",127.0.0.1:7", "--help"},
       "</dev/null",
       1,
       "mibscan: options go before the targets: --help\n"},
      {"comments only",
       {"--targets", "%DIR%/comments.txt"},
       "</dev/null",
       0,
       "mibscan: no targets\n"},
      {"empty file", {"--targets", "%DIR%/empty.txt"}, "</dev/null", 0, "mibscan: no targets\n"},
      {"standard input at its end", {"--targets", "-"}, "</dev/null", 0, "mibscan: no targets\n"},
      {"standard input closed", {"--targets", "-"}, "<&-", 0, "mibscan: no targets\n"},
      {"empty file, one shard",
       {"--shard", "2/3", "--targets", "%DIR%/empty.txt"},
       "</dev/null",
       0,
       "mibscan: no targets\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> argv = {testutil::InstallBinary(dir.path())};
    for (std::string a : c.args) {
      if (const size_t at = a.find("%DIR%"); at != std::string::npos) a.replace(at, 5, dir.path());
      argv.push_back(a);
    }
    testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=20000\nRetry=0\nLog=1\n");
    testutil::WriteFile(dir / "list.txt", silent + "\n");
    testutil::WriteFile(dir / "comments.txt", "# rack 4\r\n\r\n   \n\t# " + silent + "\n");
    testutil::WriteFile(dir / "empty.txt", "");
    testutil::WriteFile(dir / "summary.csv", "an earlier run's summary");
    testutil::WriteFile(dir / (silent + ".xml"), "an earlier run's result");
    const auto before = Contents(dir.path());
    ProcessResult r = RunWithInput(argv, c.input);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name << r.err;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(Contents(dir.path()), before) << c.name;
  }
}

// Rows of accounts.csv that no target uses, and a second row for one ip, are
// said once each with what finds them in the file; no other cell is shown.
TEST(RunOutcomeTest, AccountsRowsWithoutTargetAndRepeatedRows) {
  const std::string silent = SilentTarget();
  constexpr char kSecretPass[] = "secret-pass-phrase";
  const std::string row_tail = std::string(",monitor,") + kSecretPass;
  struct Case {
    const char* name;
    std::vector<std::string> ips;  // one row each, in file order
    std::vector<std::string> args;
    std::vector<std::string> lines;  // of standard error about accounts.csv, after the path
  };
  const std::string quoted = "\"" + silent + "\"";
  const Case cases[] = {
      {"every ip a target", {silent}, {silent}, {}},
      {"a quoted ip and an unknown one",
       {quoted, silent, "10.9.9.9"},
       {silent},
       {": 2 ips match no target (matched byte for byte, quotes included): " + quoted +
        ", 10.9.9.9"}},
      {"the first five named",
       {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7"},
       {silent},
       {": 7 ips match no target (matched byte for byte, quotes included): 10.0.0.1, 10.0.0.2, "
        "10.0.0.3, 10.0.0.4, 10.0.0.5, ..."}},
      {"control characters escaped",
       {"10.0.0.1\x01"},
       {silent},
       {": 1 ip matches no target (matched byte for byte, quotes included): 10.0.0.1\\x01"}},
      {"a second row for one ip",
       {silent, "10.0.0.1", silent},
       {silent, "10.0.0.1"},
       {", line 4: the ip of line 2 again; the later row counts"}},
      {"no targets, no judgement", {"10.0.0.1"}, {}, {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::vector<std::string> argv = {testutil::InstallBinary(dir.path())};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=20000\nRetry=0\n");
    std::string accounts = "ip,username,password\n";
    for (const std::string& ip : c.ips) accounts += ip + row_tail + "\n";
    testutil::WriteFile(dir / "accounts.csv", accounts);
    std::filesystem::permissions(dir / "accounts.csv", std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::owner_write);
    ProcessResult r = testutil::RunProcess(argv, 60);
    EXPECT_EQ(r.exit_code, 0) << c.name << r.err;
    std::vector<std::string> lines;
    const std::string prefix = "mibscan: accounts file \"" + (dir / "accounts.csv") + "\"";
    std::istringstream in(r.err);
    for (std::string line; std::getline(in, line);)
      if (line.starts_with(prefix)) lines.push_back(line.substr(prefix.size()));
    EXPECT_EQ(lines, c.lines) << c.name << r.err;
    EXPECT_EQ(r.err.find(kSecretPass), std::string::npos) << c.name;
    EXPECT_EQ(r.err.find("monitor"), std::string::npos) << c.name;
  }
}

// With a shard, only the ips that fall to it are judged: the other shards'
// targets are scanned elsewhere, and each unused row is named by one shard.
TEST(RunOutcomeTest, AccountsRowsWithoutTargetPerShard) {
  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=20000\nRetry=0\n");
  std::string accounts = "ip,username,password\n", list;
  std::vector<std::string> unused;
  for (int i = 1; i <= 6; ++i) {
    const std::string target =
        "127.0.0.1:" + std::to_string(testutil::FindFreeUdpPort({"127.0.0.1"}));
    list += target + "\n";
    accounts += target + ",monitor,secret-pass-phrase\n";
    unused.push_back("10.0.0." + std::to_string(i));
    accounts += unused.back() + ",monitor,secret-pass-phrase\n";
  }
  testutil::WriteFile(dir / "list.txt", list);
  testutil::WriteFile(dir / "accounts.csv", accounts);
  std::filesystem::permissions(dir / "accounts.csv", std::filesystem::perms::owner_read |
                                                         std::filesystem::perms::owner_write);
  std::map<std::string, int> named;  // unused ip -> shards that named it
  for (const char* shard : {"1/2", "2/2"}) {
    ProcessResult r =
        testutil::RunProcess({exe, "--shard", shard, "--targets", dir / "list.txt"}, 60);
    EXPECT_EQ(r.exit_code, 0) << shard << r.err;
    const std::regex line(
        "mibscan: accounts file [^\n]*: ([0-9]+) ips? match(es)? no target "
        "\\(matched byte for byte, quotes included\\): ([^\n]*)\n");
    std::smatch m;
    if (!std::regex_search(r.err, m, line)) continue;  // no unused ip fell to this shard
    std::istringstream ips(m[3].str());
    size_t count = 0;
    for (std::string ip; std::getline(ips, ip, ',');) {
      ++named[TrimmedForTest(ip)];
      ++count;
    }
    EXPECT_EQ(std::to_string(count), m[1].str()) << r.err;
  }
  std::map<std::string, int> expected;
  for (const std::string& ip : unused) expected[ip] = 1;
  EXPECT_EQ(named, expected);
}

// Signals ignored when the program starts (nohup, "trap '' HUP") stay
// ignored for the whole run; the others interrupt it as designed. A second
// signal that was ignored does not end the process either.
TEST(RunOutcomeTest, SignalsIgnoredAtStartStayIgnored) {
  struct Case {
    const char* ignored;    // for env --ignore-signal; "" for none
    std::vector<int> sent;  // the first while the walks run, the rest after its line
    int exit_code;
    const char* outcome;
  };
  const Case cases[] = {
      {"HUP", {SIGHUP}, 0, "no_answer"},
      {"INT", {SIGINT}, 0, "no_answer"},
      {"TERM", {SIGTERM}, 0, "no_answer"},
      {"", {SIGHUP}, 129, "interrupted"},
      {"", {SIGINT}, 130, "interrupted"},
      {"", {SIGTERM}, 143, "interrupted"},
      {"HUP", {SIGINT}, 130, "interrupted"},
      {"HUP", {SIGTERM, SIGHUP}, 143, "interrupted"},
      {"HUP,TERM", {SIGINT, SIGTERM, SIGHUP}, 130, "interrupted"},
  };
  for (const Case& c : cases) {
    const std::string name =
        std::string("ignored: ") + c.ignored + ", first sent: " + strsignal(c.sent[0]);
    const std::string silent = SilentTarget();
    TempDir dir;
    const std::string exe = testutil::InstallBinary(dir.path());
    // Seven walks of 0.2 s: time to signal it mid-run, once the log shows a
    // walk (standard output reaches the pipe only at the end).
    testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=200000\nRetry=0\nLog=1\n");
    std::vector<std::string> argv = {"/usr/bin/env", "--default-signal=HUP,INT,TERM"};
    if (*c.ignored) argv.push_back(std::string("--ignore-signal=") + c.ignored);
    argv.insert(argv.end(), {exe, silent});
    size_t sent = 0;
    ProcessResult r = testutil::RunProcess(argv, 60, {}, [&](pid_t pid, const ProcessResult& got) {
      if (sent == 0 &&
          testutil::ReadFile(dir / "log/log.txt").find("|scan start: ") != std::string::npos) {
        kill(pid, c.sent[sent++]);
      } else if (sent > 0 && sent < c.sent.size() &&
                 got.err.find("mibscan: interrupted;") != std::string::npos) {
        kill(pid, c.sent[sent++]);
      }
    });
    EXPECT_EQ(sent, c.sent.size()) << name;
    EXPECT_EQ(r.term_signal, 0) << name;
    EXPECT_EQ(r.exit_code, c.exit_code) << name << r.err;
    const std::vector<CsvRecord> rows = SummaryRows(dir);
    ASSERT_EQ(rows.size(), 1u) << name;
    EXPECT_EQ(rows[0][1], c.outcome) << name;
  }
}

// Runs argv with standard output and standard error on a new terminal;
// returns everything the terminal got, and the exit status in *status.
// on_output, when given, sees the child, the terminal's controlling side and
// what it printed so far after each read.
std::string RunOnTerminal(
    const std::vector<std::string>& argv, int* status,
    const std::function<void(pid_t, int terminal, const std::string&)>& on_output = {}) {
  int master = -1;
  winsize ws = {};
  ws.ws_col = 100;
  ws.ws_row = 30;
  const pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  std::string got;
  if (pid < 0) return got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the child and its terminal are gone
    got.append(buf, static_cast<size_t>(n));
    if (on_output) on_output(pid, master, got);
  }
  kill(pid, SIGKILL);  // only if it outlived the deadline
  waitpid(pid, status, 0);
  close(master);
  return got;
}

// The lines the terminal shows (what is left of each after its last carriage
// return). None may be a status line: the status line must have been blanked
// out before each of them and at the end.
std::vector<std::string> LinesLeftOnScreen(const std::string& screen) {
  std::vector<std::string> shown_lines;
  for (size_t begin = 0; begin < screen.size();) {
    size_t end = screen.find('\n', begin);
    if (end == std::string::npos) end = screen.size();
    std::string line = screen.substr(begin, end - begin);
    begin = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // the terminal's own CR LF
    const size_t cr = line.rfind('\r');
    const std::string shown = cr == std::string::npos ? line : line.substr(cr + 1);
    EXPECT_EQ(shown.find("targets, "), std::string::npos) << shown;
    if (cr != std::string::npos) {
      // The clearing: blanks between two carriage returns.
      const size_t previous = line.rfind('\r', cr - 1);
      EXPECT_NE(previous, std::string::npos) << line;
      if (previous != std::string::npos) {
        EXPECT_EQ(line.find_first_not_of(' ', previous + 1), cr) << line;
      }
    }
    shown_lines.push_back(shown);
  }
  return shown_lines;
}

TEST(RunOutcomeTest, StatusLineOnATerminalOnly) {
  const std::string silent = SilentTarget();
  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  // Fourteen walks of 0.2 s: a couple of seconds of redrawing.
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=200000\nRetry=0\n");
  int status = 0;
  const std::string screen = RunOnTerminal({exe, silent}, &status);
  ASSERT_TRUE(WIFEXITED(status)) << screen;
  EXPECT_EQ(WEXITSTATUS(status), 0) << screen;

  const std::string status_start = "\rmibscan: 0/1 targets, 0 rows, ";
  size_t draws = 0;
  for (size_t at = screen.find(status_start); at != std::string::npos;
       at = screen.find(status_start, at + 1))
    ++draws;
  EXPECT_GE(draws, 5u) << screen;
  EXPECT_NE(screen.find("; longest running: " + silent + " ("), std::string::npos) << screen;
  EXPECT_GT(LinesLeftOnScreen(screen).size(), 10u);
  EXPECT_NE(screen.find("mibscan: 1 target in "), std::string::npos) << screen;
}

// The interrupt's own line comes from the signal handler, at any moment of a
// redraw: it must stand on a line of its own too.
TEST(RunOutcomeTest, InterruptLineClearsTheStatusLine) {
  const std::string silent = SilentTarget();
  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=200000\nRetry=0\n");
  bool sent = false;
  int status = 0;
  const std::string screen =
      RunOnTerminal({exe, silent}, &status, [&](pid_t pid, int, const std::string& got) {
        // After a few redraws, so the line is on screen when the signal lands.
        if (!sent && testutil::CountOf(got, "\rmibscan: 0/1 targets") >= 3) {
          kill(pid, SIGINT);
          sent = true;
        }
      });
  ASSERT_TRUE(sent) << screen;
  ASSERT_TRUE(WIFEXITED(status)) << screen;
  EXPECT_EQ(WEXITSTATUS(status), 130) << screen;
  const std::vector<std::string> lines = LinesLeftOnScreen(screen);
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [](const std::string& l) { return l.starts_with("mibscan: interrupted;"); }),
      1)
      << screen;
}

// A terminal narrowed mid-run: from the next redraw on, the status line and
// the blanks over the previous one fit the new width, so none of it wraps
// onto a line of its own and stays behind as a copy.
TEST(RunOutcomeTest, StatusLineFollowsANarrowedTerminal) {
  const std::string silent = SilentTarget();
  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=200000\nRetry=0\n");
  constexpr unsigned short kColumns = 30;
  size_t resized_at = std::string::npos;
  int status = 0;
  const std::string screen =
      RunOnTerminal({exe, silent}, &status, [&](pid_t, int terminal, const std::string& got) {
        if (resized_at == std::string::npos &&
            testutil::CountOf(got, "\rmibscan: 0/1 targets") >= 3) {
          winsize ws = {};
          ws.ws_col = kColumns;
          ws.ws_row = 30;
          ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &ws), 0);  // the child gets SIGWINCH
          resized_at = got.size();
        }
      });
  ASSERT_TRUE(WIFEXITED(status)) << screen;
  EXPECT_EQ(WEXITSTATUS(status), 0) << screen;
  ASSERT_NE(resized_at, std::string::npos) << screen;
  // Redraws on their way when the size changed still have the old width:
  // judged from the first one whose text fits, blanks after it included.
  size_t from = std::string::npos;
  for (size_t at = screen.find("\rmibscan: ", resized_at); at != std::string::npos;
       at = screen.find("\rmibscan: ", at + 1)) {
    const size_t end = screen.find_first_of("\r\n", at + 1);
    const std::string piece = screen.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    if (piece.substr(0, piece.find_last_not_of(' ') + 1).size() < kColumns) {
      from = at;
      break;
    }
  }
  ASSERT_NE(from, std::string::npos) << screen;
  const std::string after = screen.substr(from);
  EXPECT_GE(testutil::CountOf(after, "\rmibscan: 0/1 targets"), 3u) << after;
  size_t status_pieces = 0;
  for (size_t begin = 0; begin < after.size();) {
    const size_t end = std::min(after.find_first_of("\r\n", begin), after.size());
    const std::string piece = after.substr(begin, end - begin);
    begin = end + 1;
    const bool blanks = !piece.empty() && piece.find_first_not_of(' ') == std::string::npos;
    if (!blanks && piece.find(" targets, ") == std::string::npos) continue;  // a console line
    ++status_pieces;
    EXPECT_LT(piece.size(), kColumns) << "[" << piece << "]";
  }
  EXPECT_GE(status_pieces, 3u);
}

// summary.csv is data: a target that a spreadsheet would take for a formula
// keeps its bytes, neither prefixed nor cut. Named targets: in a network
// namespace with loopback only, so no look-up leaves the machine.
TEST(RunOutcomeTest, SummaryKeepsTargetsThatLookLikeFormulas) {
  std::string why;
  if (!testutil::CanUnshare({"--net", "/bin/sh", "-c", "ip link set lo up"}, &why))
    GTEST_SKIP() << "no network namespace with loopback here: " << why;
  const std::vector<std::string> targets = {"=1+2", "+SUM(1)", "-2", "@A1",
                                            "=HYPERLINK(\"x\",\"y\")"};
  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=20000\nRetry=0\n");
  std::vector<std::string> argv = {
      "/usr/bin/unshare", "--net", "/bin/sh", "-c", "ip link set lo up && exec \"$0\" \"$@\"", exe};
  argv.insert(argv.end(), targets.begin(), targets.end());
  ProcessResult r = testutil::RunProcess(argv, 120);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<CsvRecord> rows = SummaryRows(dir);
  ASSERT_EQ(rows.size(), targets.size());
  for (size_t i = 0; i < targets.size(); ++i) {
    EXPECT_EQ(rows[i][0], targets[i]);
    EXPECT_EQ(rows[i][5], targets[i] + ".xml");
  }
  const std::string csv = testutil::ReadFile(dir / "summary.csv");
  EXPECT_NE(csv.find("\r\n=1+2,"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\r\n\"=HYPERLINK(\"\"x\"\",\"\"y\"\")\","), std::string::npos) << csv;
}

}  // namespace
