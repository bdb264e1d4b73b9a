// What the operator sees at the end of a run, through the real binary:
// summary.csv, the closing summary, the status line on a terminal, the
// time-out hint and the exit status.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
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
      {"nosuch.invalid", "", "open_failed", "", false, ".*nosuch\\.invalid.*"},
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

// Runs argv with standard output and standard error on a new terminal;
// returns everything the terminal got, and the exit status in *status.
// on_output, when given, sees the child and what it printed so far after
// each read.
std::string RunOnTerminal(const std::vector<std::string>& argv, int* status,
                          const std::function<void(pid_t, const std::string&)>& on_output = {}) {
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
    if (on_output) on_output(pid, got);
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
      RunOnTerminal({exe, silent}, &status, [&](pid_t pid, const std::string& got) {
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

}  // namespace
