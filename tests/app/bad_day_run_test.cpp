// The real binary in a hostile environment: closed console descriptors, a
// low open-files limit, hang-ups, links, FIFOs, full and read-only disks, and
// targets or settings that cannot be used.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log/log_fixture.h"
#include "output/atomic_file.h"
#include "output/parsed_xml.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;
using testutil::ProcessResult;
using testutil::TempDir;

constexpr size_t kAgentAddresses = 250;
constexpr char kShortWaits[] = "[Config]\nTimeout=100000\nRetry=0\nLog=1\n";
constexpr char kInterruptMessage[] = "mibscan: interrupted; ending the walks in progress";

// Result files in dir, by name.
std::vector<std::string> ResultFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    if (name.ends_with(".xml") || name.ends_with(".tmp")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Number of RESULT rows of a result file; -1 when it does not parse.
int RowCount(const std::string& path) {
  testxml::Element root;
  std::string error;
  if (!testxml::Parse(testutil::ReadFile(path), &root, &error) || root.name != "RESULTS") return -1;
  return static_cast<int>(root.children.size());
}

// Runs a shell script with the binary's path as $0 and targets as "$@".
ProcessResult RunInShell(const std::string& script, const std::string& exe,
                         const std::vector<std::string>& targets, int timeout_seconds = 120,
                         const testutil::WhileRunning& while_running = {}) {
  std::vector<std::string> argv = {"/bin/sh", "-c", script, exe};
  argv.insert(argv.end(), targets.begin(), targets.end());
  return testutil::RunProcess(argv, timeout_seconds, {}, while_running);
}

// Lines of the log files in log_dir, by target: how many, and how many "end"
// lines. The current file is read first: a line in it then is either still
// there or, rotated away meanwhile, in a file listed after, so a run that is
// still writing loses none from the count (it may count some twice).
struct LogCount {
  std::map<std::string, size_t> lines, ends;
};
LogCount CountLogLines(const std::string& log_dir) {
  std::string text = testutil::ReadFile(log_dir + "/log.txt");
  for (const auto& name : logtest::RotatedLogNames(log_dir))
    text += testutil::ReadFile(log_dir + "/" + name);
  LogCount count;
  for (const std::string& line : logtest::SplitLines(text)) {
    // "<date> <time>|-|<target>|<text>"
    const size_t at = line.find("|-|");
    const size_t bar = at == std::string::npos ? at : line.find('|', at + 3);
    const std::string target = bar == std::string::npos ? "?" : line.substr(at + 3, bar - at - 3);
    ++count.lines[target];
    if (bar != std::string::npos && line.compare(bar, std::string::npos, "|end") == 0)
      ++count.ends[target];
  }
  return count;
}

size_t CountOf(const std::map<std::string, size_t>& counts, const std::string& key) {
  const auto it = counts.find(key);
  return it == counts.end() ? 0 : it->second;
}

class BadDayRunTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    testutil::SnmpdOptions options;
    options.addresses = testutil::LoopbackAddresses(kAgentAddresses, 3000);
    options.config_lines = {"view small included .1.3.6.1.2.1.1",
                            "view small excluded .1.3.6.1.2.1.1.3",
                            "rocommunity tkvwqz 127.0.0.0/8 -V small", "sysLocation bad day"};
    snmpd_ = testutil::StartSnmpd(options, &start_error_);
  }
  static void TearDownTestSuite() { snmpd_.reset(); }
  void SetUp() override { ASSERT_NE(snmpd_, nullptr) << start_error_; }

  std::string Install(const TempDir& dir, const std::string& config = kShortWaits) {
    testutil::WriteFile(dir / "config.ini", config);
    return testutil::InstallBinary(dir.path());
  }

  std::vector<std::string> Targets(size_t count) const {
    std::vector<std::string> targets;
    for (size_t i = 0; i < count; ++i) targets.push_back(snmpd_->Target(i));
    return targets;
  }

  // Every target's file is there and has the agent's rows.
  void ExpectEveryFileWithRows(const TempDir& dir, const std::vector<std::string>& targets,
                               const char* label) {
    std::vector<std::string> bad;
    for (const auto& target : targets)
      if (RowCount(dir / (target + ".xml")) <= 0) bad.push_back(target);
    EXPECT_TRUE(bad.empty()) << label << ": " << bad.size() << " of " << targets.size()
                             << " files missing, invalid or without rows, first "
                             << (bad.empty() ? "" : bad[0]);
  }

  static std::unique_ptr<testutil::SnmpdFixture> snmpd_;
  static std::string start_error_;
};

std::unique_ptr<testutil::SnmpdFixture> BadDayRunTest::snmpd_;
std::string BadDayRunTest::start_error_;

TEST_F(BadDayRunTest, TargetsThatCannotBeScannedAreRefusedAndTheRunGoesOn) {
  struct Case {
    const char* name;
    std::string target;
    std::string message;
  };
  const Case cases[] = {
      {"empty", "", "mibscan: empty target skipped\n"},
      {"blank", " \t ", "mibscan: empty target skipped\n"},
      {"forged log line", "127.0.0.1:16161\n2099/01/01 00:00:00|-|10.9.9.9|end",
       "mibscan: target \"127.0.0.1:16161\\n2099/01/01 00:00:00|-|10.9.9.9|end\" refused: it holds "
       "control "
       "characters\n"},
      {"carriage return", "10.9.9.9\rx",
       "mibscan: target \"10.9.9.9\\rx\" refused: it holds control characters\n"},
      {"inner tab", "10.9.9.9\t:161",
       "mibscan: target \"10.9.9.9\\t:161\" refused: it holds control characters\n"},
      {"other C0 and DEL", std::string("10.9.9.9\x01\x1b\x7f", 11),
       "mibscan: target \"10.9.9.9\\x01\\x1B\\x7F\" refused: it holds control characters\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string exe = Install(dir);
    const std::string good = snmpd_->Target(0);
    ProcessResult r = testutil::RunProcess({exe, c.target, good}, 60);
    EXPECT_EQ(r.exit_code, 0) << c.name << r.err;
    EXPECT_EQ(testutil::WithoutRunSummary(r.err), c.message) << c.name;
    EXPECT_EQ(ResultFiles(dir.path()), std::vector<std::string>{good + ".xml"}) << c.name;
    const std::string log = testutil::ReadFile(dir / "log/log.txt");
    EXPECT_EQ(log.find("10.9.9.9"), std::string::npos) << c.name << log;
    EXPECT_NE(log.find("|-|" + good + "|end\n"), std::string::npos) << c.name << log;
  }
}

TEST_F(BadDayRunTest, SettingsThatCannotBeUsedAreSaidAndTheDefaultsUsed) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> setup;
    std::string message;  // a line of standard error; "" for none
    bool logged;          // the run's lines reach log/log.txt
  };
  const auto fifo = [](const std::string& path) {
    fs::remove_all(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
  };
  const Case cases[] = {
      {"config.ini a FIFO", [&](const TempDir& d) { fifo(d / "config.ini"); },
       "config.ini cannot be read (not a regular file); the defaults are used\n", false},
      {"config.ini a directory",
       [](const TempDir& d) {
         fs::remove(d / "config.ini");
         fs::create_directory(d / "config.ini");
       },
       "config.ini cannot be read (not a regular file); the defaults are used\n", false},
      {"Timeout=0",
       [](const TempDir& d) {
         testutil::WriteFile(d / "config.ini", "[Config]\nTimeout=0\nLog=1\n");
       },
       "mibscan: config.ini: Timeout=0 is not a time; using 500\n", true},
      {"Timeout negative",
       [](const TempDir& d) {
         testutil::WriteFile(d / "config.ini", "[Config]\nTimeout=-7\nLog=1\n");
       },
       "mibscan: config.ini: Timeout=-7 is not a time; using 500\n", true},
      {"log directory a file",
       [](const TempDir& d) { testutil::WriteFile(d / "log", "not a directory"); },
       "mibscan: config.ini: Log=1, but the log directory " + std::string("%DIR%") +
           "/log cannot be made or written (Not a directory); no log is kept\n",
       false},
      {"accounts.csv a FIFO", [&](const TempDir& d) { fifo(d / "accounts.csv"); },
       "accounts.csv\": cannot be opened (not a regular file); no accounts loaded\n", true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string exe = Install(dir);
    c.setup(dir);
    const std::string target = snmpd_->Target(0);
    ProcessResult r = testutil::RunProcess({exe, target}, 60);
    EXPECT_EQ(r.exit_code, 0) << c.name << r.err;
    std::string message = c.message;
    if (const size_t at = message.find("%DIR%"); at != std::string::npos)
      message.replace(at, 5, dir.path());
    // The default time-out is 500 us: on a loaded machine a walk may time
    // out, which is the designed console line, not a warning.
    std::string err;
    std::istringstream lines(testutil::WithoutRunSummary(r.err));
    for (std::string line; std::getline(lines, line);)
      if (!line.starts_with("Timeout: No Response from ")) err += line + "\n";
    EXPECT_TRUE(err.ends_with(message)) << c.name << ": " << r.err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.name << ": " << r.err;
    EXPECT_GT(RowCount(dir / (target + ".xml")), 0) << c.name;
    const std::string log =
        fs::is_regular_file(dir / "log/log.txt") ? testutil::ReadFile(dir / "log/log.txt") : "";
    EXPECT_EQ(log.find("|-|" + target + "|end\n") != std::string::npos, c.logged) << c.name << log;
  }
}

// A log.txt FIFO whose reader never reads must neither block the run nor
// its end; links at log.txt or at a result path are never written through.
TEST_F(BadDayRunTest, NothingIsWrittenThroughLinksOrIntoAFifo) {
  const std::string target = snmpd_->Target(0);
  struct Case {
    const char* name;
    std::string path;         // relative to the run's directory
    bool dangling;            // the link points at a missing file (else at "elsewhere")
    bool fifo_held;           // a FIFO with an idle reader instead of a link
    std::string stdout_tail;  // how the run ends on the console
  };
  const Case cases[] = {
      {"link at the result path", target + ".xml", false, false, "output error\n"},
      {"dangling link at the result path", target + ".xml", true, false, "output error\n"},
      {"link at log.txt", "log/log.txt", false, false, ".xml\n"},
      {"dangling link at log.txt", "log/log.txt", true, false, ".xml\n"},
      {"FIFO at log.txt, reader idle", "log/log.txt", false, true, ".xml\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string exe = Install(dir);
    fs::create_directory(dir / "log");
    testutil::WriteFile(dir / "elsewhere", "untouched");
    int reader = -1;
    if (c.fifo_held) {
      ASSERT_EQ(mkfifo((dir / c.path).c_str(), 0600), 0);
      reader = open((dir / c.path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(reader, 0);
    } else {
      ASSERT_EQ(
          symlink((dir / (c.dangling ? "missing" : "elsewhere")).c_str(), (dir / c.path).c_str()),
          0);
    }
    ProcessResult r = testutil::RunProcess({exe, target}, 60);
    if (reader >= 0) close(reader);
    EXPECT_FALSE(r.timed_out) << c.name;
    // A result file that could not be written is a failed run.
    EXPECT_EQ(r.exit_code, c.stdout_tail == "output error\n" ? 2 : 0) << c.name << r.err;
    EXPECT_TRUE(r.out.ends_with(c.stdout_tail)) << c.name << ": " << r.out;
    EXPECT_EQ(testutil::ReadFile(dir / "elsewhere"), "untouched") << c.name;
    EXPECT_FALSE(fs::exists(dir / "missing")) << c.name;
    EXPECT_TRUE(fs::is_symlink(dir / c.path) || c.fifo_held) << c.name;
    EXPECT_FALSE(fs::exists(AtomicTempPath(dir / (target + ".xml")))) << c.name;
  }
}

// As cron runs programs: console descriptors closed. Files opened later
// must not take their numbers and receive console text.
TEST_F(BadDayRunTest, ClosedConsoleDescriptorsLeaveEveryResultFileValid) {
  TempDir dir;
  const std::string exe = Install(dir);
  const std::vector<std::string> targets = Targets(32);
  ProcessResult r = RunInShell("exec \"$0\" \"$@\" <&- >&- 2>&-", exe, targets);
  EXPECT_EQ(r.exit_code, 0);
  ExpectEveryFileWithRows(dir, targets, "closed 0-2");
  EXPECT_EQ(ResultFiles(dir.path()).size(), targets.size());
}

TEST_F(BadDayRunTest, OpenFilesLimitDelaysTargetsButLosesNone) {
  for (int limit : {64, 256}) {
    TempDir dir;
    const std::string exe = Install(dir);
    const std::vector<std::string> targets = Targets(kAgentAddresses);
    ProcessResult r = RunInShell("ulimit -n " + std::to_string(limit) + " && exec \"$0\" \"$@\"",
                                 exe, targets, 300);
    EXPECT_EQ(r.exit_code, 0) << limit << r.err;
    EXPECT_NE(r.err.find("mibscan: the open-files limit lets"), std::string::npos)
        << limit << r.err;
    EXPECT_EQ(r.out.find("output error"), std::string::npos) << limit;
    ExpectEveryFileWithRows(dir, targets, ("ulimit -n " + std::to_string(limit)).c_str());
  }
}

// A dropped SSH session: the hang-up ends the run like an interrupt, at any
// moment, with every file written whole and the shell's exit code for it.
TEST_F(BadDayRunTest, HangUpAtSeveralMomentsWritesValidFilesAndExits129) {
  testutil::ScriptedAgent endless;
  std::string error;
  ASSERT_TRUE(endless.Start("endless", "", &error)) << error;
  for (int outputs_before : {0, 1, 16, 32}) {
    TempDir dir;
    const std::string exe = Install(dir);
    std::vector<std::string> targets = Targets(32);
    targets.push_back(endless.peer());
    std::vector<std::string> argv = {exe};
    argv.insert(argv.end(), targets.begin(), targets.end());
    bool sent = false;
    // 0: once the endless walk has begun; else once that many files exist.
    const auto moment_reached = [&] {
      if (outputs_before == 0) return endless.RequestCount() > 0;
      return ResultFiles(dir.path()).size() >= static_cast<size_t>(outputs_before);
    };
    ProcessResult r = testutil::RunProcess(argv, 120, {}, [&](pid_t pid, const ProcessResult&) {
      if (!sent && moment_reached()) {
        kill(pid, SIGHUP);
        sent = true;
      }
    });
    ASSERT_TRUE(sent) << outputs_before;
    EXPECT_EQ(r.exit_code, 129) << outputs_before << r.err;
    EXPECT_NE(r.err.find(kInterruptMessage), std::string::npos) << outputs_before;
    const std::vector<std::string> files = ResultFiles(dir.path());
    EXPECT_EQ(files.size(), targets.size()) << outputs_before;  // every target, no temporary file
    for (const auto& name : files)
      EXPECT_GE(RowCount(dir / name), 0) << outputs_before << " " << name;
  }
}

// The old result file stays whole, or the new one is complete; never a cut
// file or a leftover temporary one. The disk is a small tmpfs of a private
// mount namespace; the log lives elsewhere so the cause can be read.
TEST_F(BadDayRunTest, FullDiskKeepsTheOldFileAndLogsTheCause) {
  TempDir dir;
  std::string why;
  if (!testutil::CanUnshare(
          {"--mount", "/bin/sh", "-c", "mount -t tmpfs -o size=64k none '" + dir.path() + "'"},
          &why))
    GTEST_SKIP() << "no private mount namespace with a tmpfs here: " << why;
  const std::string target = snmpd_->Target(0);
  const std::string old_file = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<RESULTS/>\n";
  struct Case {
    const char* name;
    bool fill;  // leave no free block
  };
  for (const Case& c : {Case{"room left", false}, Case{"disk full", true}}) {
    const std::string out = dir / (std::string(c.fill ? "full" : "room"));
    fs::create_directories(out + "/disk");
    fs::create_directories(out + "/log");
    const std::string script =
        "set -e; d=\"$1\"; shift; k=$(( $(stat -c %s \"$0\") / 1024 + 512 )); "
        "mount -t tmpfs -o size=${k}k none \"$d/disk\"; cp \"$0\" \"$d/disk/mibscan\"; "
        "printf '[Config]\\nTimeout=100000\\nRetry=0\\nLog=1\\n' > \"$d/disk/config.ini\"; "
        "ln -s \"$d/log\" \"$d/disk/log\"; printf '%s' \"$OLD\" > \"$d/disk/$1.xml\"; " +
        std::string(c.fill ? "dd if=/dev/zero of=\"$d/disk/fill\" bs=4k 2>/dev/null || true; "
                           : "") +
        "set +e; \"$d/disk/mibscan\" \"$@\"; echo \"exit $?\"; ls -a \"$d/disk\"; "
        "cp \"$d/disk/$1.xml\" \"$d/result.xml\"";
    ProcessResult r = testutil::RunProcess(
        {"/usr/bin/unshare", "--mount", "/bin/sh", "-c", script, MIBSCAN_BINARY, out, target}, 120,
        {"OLD=" + old_file});
    if (r.err.find("mount") != std::string::npos && r.out.find("exit") == std::string::npos)
      GTEST_SKIP() << "the kernel refuses a private tmpfs here: " << r.err;
    // Files that could not be written make a failed run.
    ASSERT_NE(r.out.find(c.fill ? "exit 2\n" : "exit 0\n"), std::string::npos)
        << c.name << r.out << r.err;
    EXPECT_EQ(r.out.find(".tmp"), std::string::npos) << c.name << r.out;  // the listing
    const std::string result = testutil::ReadFile(out + "/result.xml");
    const std::string log = testutil::ReadFile(out + "/log/log.txt");
    if (c.fill) {
      EXPECT_NE(r.out.find("output error\n"), std::string::npos) << c.name << r.out;
      EXPECT_EQ(result, old_file) << c.name;
      EXPECT_NE(log.find("|-|" + target + "|output error: No space left on device\n"),
                std::string::npos)
          << c.name << log;
    } else {
      EXPECT_GT(RowCount(out + "/result.xml"), 0) << c.name << result;
    }
  }
}

// Found before a single target is walked.
TEST_F(BadDayRunTest, ReadOnlyResultDirectoryEndsTheRunBeforeScanning) {
  TempDir dir;
  std::string why;
  if (!testutil::CanUnshare({"--mount", "/bin/sh", "-c",
                             "mount --bind '" + dir.path() + "' '" + dir.path() +
                                 "' && mount -o remount,ro,bind '" + dir.path() + "'"},
                            &why))
    GTEST_SKIP() << "no private mount namespace with a read-only bind mount here: " << why;
  const std::string exe = Install(dir);
  const std::string script =
      "d=$(dirname \"$0\"); mount --bind \"$d\" \"$d\" && mount -o remount,ro,bind \"$d\" || exit "
      "99; "
      "exec \"$0\" \"$@\"";
  ProcessResult r = testutil::RunProcess(
      {"/usr/bin/unshare", "--mount", "/bin/sh", "-c", script, exe, snmpd_->Target(0)}, 60);
  if (r.exit_code == 99)
    GTEST_SKIP() << "the kernel refuses a read-only bind mount here: " << r.err;
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_EQ(r.err, "mibscan: result files cannot be written in " + dir.path() +
                       " (Read-only file system)\n");
  EXPECT_EQ(r.out, "");  // no walk started
}

// A busy log: 3,000 targets that never answer make over 100,000 lines in a
// few seconds. A few live targets end early; their lines are on disk well
// within a second while the silent ones go on. At the end no file is larger
// than the rotation limit and one batch, and every target's lines are all
// there, across the rotated files.
TEST_F(BadDayRunTest, ThousandsOfSilentTargetsKeepTheLogOnDiskBoundedAndWhole) {
  const size_t kSilent = 3000, kLive = 4, kBatch = 200, kKeptRotated = 30;
  const uintmax_t kRotateAbove = 262144;
  const auto kSoon = std::chrono::seconds(1);  // five writer cycles, for a loaded machine
  // Closed ports: addresses no agent of the tests uses, a port free on all.
  const std::vector<std::string> addresses = testutil::LoopbackAddresses(kSilent, 5000);
  const int port = testutil::FindFreeUdpPort(addresses);
  ASSERT_NE(port, 0);
  TempDir dir;
  const std::string log_dir = dir / "log";
  std::vector<std::string> argv = {Install(dir, "[Config]\nTimeout=200000\nRetry=0\nLog=1\n")};
  const std::vector<std::string> live = Targets(kLive);
  std::vector<std::string> silent;
  for (const auto& address : addresses) silent.push_back(address + ":" + std::to_string(port));
  argv.insert(argv.end(), live.begin(), live.end());
  argv.insert(argv.end(), silent.begin(), silent.end());

  // A result file is written after its target's last line is queued.
  using Clock = std::chrono::steady_clock;
  std::vector<std::string> early, late;
  Clock::time_point first_seen;
  bool looked = false;
  ProcessResult r = testutil::RunProcess(argv, 240, {}, [&](pid_t, const ProcessResult&) {
    if (looked) return;
    if (early.empty()) {
      for (const std::string& name : ResultFiles(dir.path()))
        if (name.ends_with(".xml")) early.push_back(name.substr(0, name.size() - 4));
      first_seen = Clock::now();
    } else if (Clock::now() - first_seen >= kSoon) {
      const LogCount on_disk = CountLogLines(log_dir);
      for (const auto& target : early)
        if (CountOf(on_disk.ends, target) == 0) late.push_back(target);
      looked = true;
    }
  });
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 2000));
  ASSERT_TRUE(looked) << "the run ended within " << kSoon.count() << " s of its first result file";
  EXPECT_TRUE(late.empty()) << late.size() << " of " << early.size()
                            << " finished targets without their end line on disk " << kSoon.count()
                            << " s later, first " << late[0];

  // Pruning would remove whole files: the run is sized to leave it nothing.
  const std::vector<std::string> rotated = logtest::RotatedLogNames(log_dir);
  ASSERT_LT(rotated.size(), kKeptRotated);
  size_t longest = 0;
  for (const auto& name : rotated)
    for (const auto& line : logtest::SplitLines(testutil::ReadFile(log_dir + "/" + name)))
      longest = std::max(longest, line.size() + 1);
  for (std::string name : rotated) {
    name = log_dir + "/" + name;
    EXPECT_LE(fs::file_size(name), kRotateAbove + kBatch * longest) << name;
  }
  EXPECT_LE(fs::file_size(log_dir + "/log.txt"), kRotateAbove + kBatch * longest);

  const LogCount count = CountLogLines(log_dir);
  // The silent targets all go the same way: each makes as many lines as the first.
  const size_t per_silent = CountOf(count.lines, silent[0]);
  EXPECT_GT(per_silent, 10u);
  size_t faults = 0;
  std::vector<std::string> all = live;
  all.insert(all.end(), silent.begin(), silent.end());
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string& target = all[i];
    const size_t lines = CountOf(count.lines, target), ends = CountOf(count.ends, target);
    if ((i < live.size() ? lines > 2 : lines == per_silent) && ends == 1) continue;
    ADD_FAILURE() << target << ": " << lines << " lines, " << ends << " end lines";
    if (++faults == 10) FAIL() << "giving up after 10 faulty targets";
  }
  EXPECT_EQ(count.lines.size(), all.size());  // no line of another target, none unreadable
}

}  // namespace
