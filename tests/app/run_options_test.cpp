// The run options through the real binary: where a run reads and writes with
// --dir, targets from a file or standard input, refusals before any scan, and
// one fleet spread over several processes by GNU parallel.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/summary_rows.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;

// Loopback ports with no listener: requests time out, result files are empty.
const char kSilentA[] = "127.0.0.1:9";
const char kSilentB[] = "127.0.0.1:7";
const char kQuickConfig[] = "[Config]\nTimeout=20000\nRetry=0\nLog=1\n";

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    names.insert(entry.path().filename().string());
  return names;
}

std::set<std::string> XmlNames(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& name : Names(dir))
    if (fs::path(name).extension() == ".xml") names.insert(name);
  return names;
}

// `sh -c` so that standard input can come from a file.
testutil::ProcessResult RunWithInput(const std::vector<std::string>& argv,
                                     const std::string& input_file) {
  std::string command = "exec";
  for (const auto& a : argv) command += " '" + a + "'";
  command += " < '" + input_file + "'";
  return testutil::RunProcess({"/bin/sh", "-c", command}, 120);
}

TEST(RunOptions, DirHoldsEveryArtefactAndNothingIsBesideTheExecutable) {
  testutil::TempDir root;
  fs::create_directory(root / "bin");
  fs::create_directory(root / "work");
  const std::string exe = testutil::InstallBinary(root / "bin");
  // The settings beside the executable must not be read: they would switch
  // the log off.
  testutil::WriteFile(root / "bin/config.ini", "[Config]\nLog=0\n");
  testutil::WriteFile(root / "work/config.ini", kQuickConfig);
  testutil::WriteFile(root / "work/accounts.csv", std::string("ip,username,password\n") + kSilentB +
                                                      ",monitor,correct horse\n");

  // A trailing '/' does not double the separator in the printed paths.
  auto r = testutil::RunProcess({exe, "--dir", root / "work/", kSilentA, kSilentB}, 120);
  ASSERT_EQ(r.exit_code, 0) << r.err;

  EXPECT_EQ(Names(root / "bin"), (std::set<std::string>{"mibscan", "config.ini"}));
  EXPECT_EQ(XmlNames(root / "work"), (std::set<std::string>{std::string(kSilentA) + ".xml",
                                                            std::string(kSilentB) + ".xml"}));
  EXPECT_NE(r.out.find("output: " + root / "work/" + kSilentA + ".xml\n"), std::string::npos)
      << r.out;
  // Log=1 came from work/config.ini, and the log went to work/log.
  const std::string log = testutil::ReadFile(root / "work/log/log.txt");
  EXPECT_NE(log.find(std::string("|-|") + kSilentA + "|"), std::string::npos) << log;
  // The account in work/accounts.csv makes its target an SNMPv3-only scan.
  const std::string b = std::string("target[") + kSilentB + "]start:1.3.6.1.2.1";
  EXPECT_NE(r.out.find(b + "[v3]"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find(b + "[v1]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(std::string("target[") + kSilentA + "]start:1.3.6.1.2.1[v1]"),
            std::string::npos);
}

TEST(RunOptions, TargetsFromAFileOrStandardInputBeforeTheCommandLine) {
  const std::string list =
      std::string("# rack 4\r\n\r\n  ") + kSilentA + " \r\n\t# " + kSilentB + "\r\n";
  for (const bool from_stdin : {false, true}) {
    SCOPED_TRACE(from_stdin ? "standard input" : "file");
    testutil::TempDir dir;
    const std::string exe = testutil::InstallBinary(dir.path());
    testutil::WriteFile(dir / "config.ini", kQuickConfig);
    testutil::WriteFile(dir / "list.txt", list);
    // The file's one target and the command line's one make two: the log
    // goes through the queue, which only a run of several targets does.
    auto r = from_stdin
                 ? RunWithInput({exe, "--targets", "-", "127.0.0.1:6"}, dir / "list.txt")
                 : testutil::RunProcess({exe, "--targets", dir / "list.txt", "127.0.0.1:6"}, 120);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(XmlNames(dir.path()),
              (std::set<std::string>{std::string(kSilentA) + ".xml", "127.0.0.1:6.xml"}));
  }
}

TEST(RunOptions, BadArgumentsRefusedWithOneLineBeforeAnything) {
  testutil::TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "plain-file", "x");
  struct Case {
    std::vector<std::string> args;
    std::string names;  // what the message must name
  };
  const Case cases[] = {
      {{"--shard", "0/2", kSilentA}, "--shard"},
      {{"--shard", "3/2"}, "--shard"},
      {{"--shard"}, "--shard"},
      {{"--dir"}, "--dir"},
      {{"--dir", dir / "missing", kSilentA}, dir / "missing"},
      {{"--dir", dir / "plain-file", kSilentA}, dir / "plain-file"},
      {{"--targets", dir / "missing.txt", kSilentA}, dir / "missing.txt"},
      {{"--targets", dir.path()}, dir.path()},
      {{"--everything", kSilentA}, "--everything"},
      {{"--dir", dir.path(), "--dir", dir.path()}, "--dir"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {exe};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = testutil::RunProcess(argv, 30);
    EXPECT_EQ(r.exit_code, 1) << c.names;
    EXPECT_EQ(r.out, "") << c.names;
    EXPECT_EQ(r.err.rfind("mibscan: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"mibscan", "plain-file"}));
}

TEST(RunOptions, HelpListsTheOptions) {
  testutil::TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  for (const std::vector<std::string>& argv :
       {std::vector<std::string>{exe, "--help"},
        std::vector<std::string>{exe, "--dir", "/nowhere", "--help", "x"}}) {
    auto r = testutil::RunProcess(argv, 30);
    EXPECT_EQ(r.exit_code, 0);
    for (const char* option : {"--dir DIR", "--targets FILE", "--shard K/N", "--resume",
                               "--diff [--all] OLD NEW", "--help", "--version"})
      EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"mibscan"});
}

// The recipe of the README, on this machine: GNU parallel starts shards 1..3
// of one list, each with a directory of its own; copying the directories
// together gives exactly the files of one unsharded run, byte for byte.
TEST(RunOptions, GnuParallelShardsTogetherEqualOneRun) {
  const char kCommunity[] = "mibscan-fleet";
  std::vector<std::string> addresses;
  for (int i = 1; i <= 30; ++i) addresses.push_back("127.0.3." + std::to_string(i));
  testutil::SnmpdFixture agent;
  testutil::SnmpdOptions options;
  options.addresses = addresses;
  // The system group without sysUpTime: answers that do not change between runs.
  options.config_lines = {"view fleetview included .1.3.6.1.2.1.1",
                          "view fleetview excluded .1.3.6.1.2.1.1.3",
                          std::string("rocommunity ") + kCommunity + " 127.0.0.0/8 -V fleetview",
                          "sysName fleet-name", "sysLocation fleet-location"};
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;

  testutil::TempDir root;
  const std::string exe = testutil::InstallBinary(root.path());
  std::string list = "# the fleet\n";
  for (size_t i = 0; i < addresses.size(); ++i) list += agent.Target(i) + "\r\n";
  list += std::string(kSilentA) + "\n";
  testutil::WriteFile(root / "list.txt", list);
  const std::string config =
      std::string("[Config]\nTimeout=100000\nRetry=1\nCommunity=") + kCommunity + "\n";
  for (const char* d : {"whole", "shard1", "shard2", "shard3", "parallel-home"}) {
    fs::create_directory(root / d);
    if (std::string(d) != "parallel-home") testutil::WriteFile(root / d + "/config.ini", config);
  }

  auto whole =
      testutil::RunProcess({exe, "--dir", root / "whole", "--targets", root / "list.txt"}, 120);
  ASSERT_EQ(whole.exit_code, 0) << whole.err;
  auto shards =
      testutil::RunProcess({"/usr/bin/env", "parallel", "--will-cite", "--halt", "now,fail=1",
                            "--sshlogin", ":", exe, "--dir", root / "shard{}", "--targets",
                            root / "list.txt", "--shard", "{}/3", ":::", "1", "2", "3"},
                           120, {"PARALLEL_HOME=" + root / "parallel-home"});
  ASSERT_EQ(shards.exit_code, 0) << "GNU parallel (Debian package parallel): " << shards.err;

  const auto expected = testutil::ResultFileBytes(root / "whole");
  ASSERT_EQ(expected.size(), addresses.size() + 1);
  std::map<std::string, std::string> merged;
  for (const char* d : {"shard1", "shard2", "shard3"}) {
    const auto files = testutil::ResultFileBytes(root / d);
    // 31 targets in 3 shards: one left empty would mean the list was not spread.
    EXPECT_FALSE(files.empty()) << d;
    for (const auto& [name, content] : files)
      EXPECT_TRUE(merged.emplace(name, content).second) << "twice: " << name;
  }
  EXPECT_EQ(merged.size(), expected.size());
  for (const auto& [name, content] : expected) {
    auto it = merged.find(name);
    if (it == merged.end()) {
      ADD_FAILURE() << "no shard scanned " << name;
    } else {
      EXPECT_EQ(it->second, content) << name;
    }
  }
  // Live targets gave rows, not only empty documents.
  EXPECT_NE(expected.at(agent.Target(0) + ".xml").find("fleet-location"), std::string::npos);

  // The shards' summaries, copied together and merged as the README says,
  // hold the rows of the unsharded run's summary (times aside).
  fs::create_directory(root / "merged");
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "summary-" + std::to_string(k) + "-of-3.csv";
    fs::copy_file(root / ("shard" + std::to_string(k) + "/" + name), root / ("merged/" + name));
  }
  const std::string merge = "cd '" + root / "merged" +
                            "' && set -- summary-*-of-3.csv && "
                            "{ head -n 1 \"$1\"; tail -q -n +2 \"$@\"; } > summary.csv";
  ASSERT_EQ(testutil::RunProcess({"/bin/sh", "-c", merge}, 30).exit_code, 0);
  auto without_times = [](std::vector<summarytest::CsvRecord> rows) {
    for (auto& row : rows) row[4].clear();
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  EXPECT_EQ(without_times(summarytest::SummaryRowsIn(root / "merged/summary.csv")),
            without_times(summarytest::SummaryRowsIn(root / "whole/summary.csv")));
}

}  // namespace
