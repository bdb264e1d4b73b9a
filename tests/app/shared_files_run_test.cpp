// Files that several scans could share, through the real binary: a target
// listed more than once, different targets whose file names meet, and shards
// of one list run at the same time into one folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/summary_rows.h"
#include "platform/hash.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;

using summarytest::CsvRecord;
using testutil::ProcessResult;
using testutil::TempDir;

constexpr char kCommunity[] = "mibscan-shared";

// The system group without sysUpTime: rows that do not change between runs.
bool StartAgent(testutil::SnmpdFixture* agent, const std::vector<std::string>& addresses,
                std::string* error) {
  testutil::SnmpdOptions options;
  options.addresses = addresses;
  options.config_lines = {"view sharedview included .1.3.6.1.2.1.1",
                          "view sharedview excluded .1.3.6.1.2.1.1.3",
                          std::string("rocommunity ") + kCommunity + " 127.0.0.0/8 -V sharedview",
                          "sysLocation shared-location"};
  return agent->Start(options, error);
}

std::string QuickConfig() {
  return std::string("[Config]\nTimeout=50000\nRetry=0\nLog=1\nCommunity=") + kCommunity + "\n";
}

std::set<std::string> NamesIn(const std::string& dir, const std::string& ending) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(ending)) names.insert(name);
  }
  return names;
}

// The name a later target takes when its file name was an earlier one's.
std::string Marked(const std::string& stem, const std::string& target) {
  char mark[18];
  snprintf(mark, sizeof mark, "~%016llx",
           static_cast<unsigned long long>(platform::Fnv1a64(target)));
  return stem + mark + ".xml";
}

TEST(SharedFilesRunTest, RepeatedTargetsAndNamesThatMeet) {
  testutil::SnmpdFixture agent;
  std::string error;
  ASSERT_TRUE(StartAgent(&agent, {"127.0.0.1"}, &error)) << error;
  const std::string answered = agent.Target();
  const std::string silent =
      "127.0.0.1:" + std::to_string(testutil::FindFreeUdpPort({"127.0.0.1"}));
  // Unix-domain peers that fail at once with no look-up: "/" in a target
  // becomes "_" in its file name, so these two names meet.
  const std::string slashed = "unix:/mibscan-none/a", underscored = "unix:_mibscan-none_a";

  struct Case {
    const char* name;
    std::vector<std::string> targets;
    std::vector<std::string> files;  // each target's result file, in order
  };
  const Case cases[] = {
      {"an answering target twice", {answered, answered}, {answered + ".xml", answered + ".xml"}},
      {"a silent target four times among others",
       {silent, answered, silent, silent, silent},
       {silent + ".xml", answered + ".xml", silent + ".xml", silent + ".xml", silent + ".xml"}},
      {"names meet: the later one is marked",
       {slashed, underscored, slashed},
       {underscored + ".xml", Marked(underscored, underscored), underscored + ".xml"}},
      {"names meet in the other order",
       {underscored, slashed},
       {underscored + ".xml", Marked(underscored, slashed)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::vector<std::string> argv = {testutil::InstallBinary(dir.path())};
    argv.insert(argv.end(), c.targets.begin(), c.targets.end());
    testutil::WriteFile(dir / "config.ini", QuickConfig());
    const ProcessResult r = testutil::RunProcess(argv, 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.find("output error"), std::string::npos) << r.out;
    EXPECT_EQ(testutil::ReadFile(dir / "log/log.txt").find("output error"), std::string::npos);

    const std::vector<CsvRecord> rows = summarytest::SummaryRows(dir);
    ASSERT_EQ(rows.size(), c.targets.size());
    std::map<std::string, size_t> rows_naming;
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i][0], c.targets[i]);
      EXPECT_EQ(rows[i][5], c.files[i]) << c.targets[i];
      ++rows_naming[c.files[i]];
    }
    // Every save was shown, and nothing else is in the folder.
    std::set<std::string> expected(c.files.begin(), c.files.end());
    for (const auto& [file, count] : rows_naming)
      EXPECT_EQ(testutil::CountOf(r.out, "output: " + (dir / file) + "\n"), count) << file;
    EXPECT_EQ(NamesIn(dir.path(), ".xml"), expected);
    EXPECT_TRUE(NamesIn(dir.path(), ".tmp").empty());
    if (expected.count(answered + ".xml") != 0) {
      EXPECT_NE(testutil::ReadFile(dir / (answered + ".xml")).find("shared-location"),
                std::string::npos);
    }
  }
}

// Three shards of one list at the same time, all with --dir on one folder and
// Log=1: every shard's summary and every log line is kept. Each shard's log
// file starts just below the rotation size, so each rotates during its run,
// beside rotated files of an unsharded history that must all stay.
TEST(SharedFilesRunTest, ShardsIntoOneFolderKeepEverySummaryAndLogLine) {
  constexpr int kShards = 3;
  const std::vector<std::string> addresses = testutil::LoopbackAddresses(30, 7000);
  testutil::SnmpdFixture agent;
  std::string error;
  ASSERT_TRUE(StartAgent(&agent, addresses, &error)) << error;

  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", QuickConfig());
  std::string list;
  std::vector<std::string> targets;
  for (size_t i = 0; i < addresses.size(); ++i) {
    targets.push_back(agent.Target(i));
    list += targets.back() + "\n";
  }
  testutil::WriteFile(dir / "list.txt", list);

  fs::create_directory(dir / "log");
  std::set<std::string> history;
  for (int i = 0; i < 30; ++i) {
    history.insert("202001" + std::to_string(10 + i) + "_000000_log.txt");
    testutil::WriteFile(dir / ("log/" + *history.rbegin()), "history\n");
  }
  auto shard_tag = [](int k) { return "-" + std::to_string(k) + "-of-3"; };
  std::vector<std::string> prefill(kShards + 1);
  for (int k = 1; k <= kShards; ++k) {
    for (int i = 0; prefill[k].size() < 262144 - 40; ++i)
      prefill[k] += "shard " + std::to_string(k) + " earlier line " + std::to_string(i) + "\n";
    testutil::WriteFile(dir / ("log/log" + shard_tag(k) + ".txt"), prefill[k]);
  }

  std::vector<ProcessResult> results(kShards + 1);
  std::vector<std::thread> runs;
  for (int k = 1; k <= kShards; ++k)
    runs.emplace_back([&, k] {
      results[k] = testutil::RunProcess({exe, "--dir", dir.path(), "--targets", dir / "list.txt",
                                         "--shard", std::to_string(k) + "/3"},
                                        120);
    });
  for (auto& run : runs) run.join();

  std::map<std::string, int> shard_of;  // target -> the shard whose summary has it
  for (int k = 1; k <= kShards; ++k) {
    SCOPED_TRACE("shard " + std::to_string(k));
    const std::string summary = "summary" + shard_tag(k) + ".csv";
    EXPECT_EQ(results[k].exit_code, 0) << results[k].err;
    EXPECT_NE(results[k].err.find(dir / summary), std::string::npos) << results[k].err;
    const auto rows = summarytest::SummaryRowsIn(dir / summary);
    EXPECT_FALSE(rows.empty());
    for (const CsvRecord& row : rows) {
      EXPECT_TRUE(shard_of.emplace(row[0], k).second) << "twice: " << row[0];
      EXPECT_EQ(row[1], "answered") << row[0];
      EXPECT_EQ(row[5], row[0] + ".xml");
    }
  }
  EXPECT_FALSE(testutil::FileExists(dir / "summary.csv"));
  EXPECT_EQ(shard_of.size(), targets.size());

  // The README's merge gives one file with every target once.
  const std::string merge = "cd '" + dir.path() +
                            "' && set -- summary-*-of-3.csv && "
                            "{ head -n 1 \"$1\"; tail -q -n +2 \"$@\"; } > summary.csv";
  ASSERT_EQ(testutil::RunProcess({"/bin/sh", "-c", merge}, 30).exit_code, 0);
  const auto merged = summarytest::SummaryRowsIn(dir / "summary.csv");
  std::set<std::string> merged_targets;
  for (const CsvRecord& row : merged) merged_targets.insert(row[0]);
  EXPECT_EQ(merged.size(), targets.size());
  EXPECT_EQ(merged_targets, std::set<std::string>(targets.begin(), targets.end()));

  // Each shard's lines are in its own file or that file's rotated ones, each
  // target's start and end exactly once; the earlier lines went whole into
  // the shard's rotated file, and the unsharded history is untouched.
  const std::string log_dir = dir / "log";
  EXPECT_FALSE(testutil::FileExists(log_dir + "/log.txt"));
  for (const auto& name : history) EXPECT_EQ(testutil::ReadFile(log_dir + "/" + name), "history\n");
  for (int k = 1; k <= kShards; ++k) {
    SCOPED_TRACE("shard " + std::to_string(k));
    const std::string current = "log" + shard_tag(k) + ".txt";
    const std::set<std::string> rotated = NamesIn(log_dir, "_" + current);
    ASSERT_EQ(rotated.size(), 1u);
    const std::string first = testutil::ReadFile(log_dir + "/" + *rotated.begin());
    EXPECT_EQ(first.substr(0, prefill[k].size()), prefill[k]);
    const std::string lines =
        first.substr(prefill[k].size()) + testutil::ReadFile(log_dir + "/" + current);
    for (const auto& [target, shard] : shard_of) {
      const size_t expected = shard == k ? 1 : 0;
      EXPECT_EQ(testutil::CountOf(lines, "|-|" + target + "|start\n"), expected) << target;
      EXPECT_EQ(testutil::CountOf(lines, "|-|" + target + "|end\n"), expected) << target;
    }
  }
}

}  // namespace
