#include "log/log_writer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <regex>
#include <thread>

#include "log/log.h"
#include "log/log_fixture.h"
#include "log/sort_string_array.h"
#include "platform/files.h"
#include "support/test_util.h"

namespace {

using logtest::LogFixture;

namespace fs = std::filesystem;

constexpr size_t kLimit = 262144;

TEST(RenameNoReplace, RefusesAnExistingTarget) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "a", "A");
  testutil::WriteFile(dir / "b", "B");
  int err = 0;
  EXPECT_FALSE(platform::RenameNoReplace(dir / "a", dir / "b", &err));
  EXPECT_EQ(err, EEXIST);
  EXPECT_EQ(testutil::ReadFile(dir / "a"), "A");
  EXPECT_EQ(testutil::ReadFile(dir / "b"), "B");

  EXPECT_FALSE(platform::RenameNoReplace(dir / "none", dir / "c", &err));
  EXPECT_EQ(err, ENOENT);

  EXPECT_TRUE(platform::RenameNoReplace(dir / "a", dir / "c"));
  EXPECT_FALSE(testutil::FileExists(dir / "a"));
  EXPECT_EQ(testutil::ReadFile(dir / "c"), "A");
}

TEST(CSortStringArray, SortsAscendingIgnoringCaseAndKeepsTies) {
  struct Case {
    const char* name;
    std::vector<std::string> in, out;
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"one", {"x"}, {"x"}},
      {"stamps then letters",
       {"old_log.txt", "20261208_201422_log.txt", "20251208_201422_log.txt"},
       {"20251208_201422_log.txt", "20261208_201422_log.txt", "old_log.txt"}},
      {"case ignored, ties keep their order",
       {"b", "B2", "a", "A", "B"},
       {"a", "A", "b", "B", "B2"}},
      {"underscore before letters of either case", {"Ab", "a_"}, {"a_", "Ab"}},
      {"prefix first", {"abc", "AB", "a"}, {"a", "AB", "abc"}},
      {"high bytes after ASCII", {"\xe9", "z", "Z"}, {"z", "Z", "\xe9"}},
  };
  for (const auto& c : cases) {
    CSortStringArray array;
    array.assign(c.in.begin(), c.in.end());
    array.Sort();
    EXPECT_EQ(static_cast<const std::vector<std::string>&>(array), c.out) << c.name;
  }
}

class LogWriterThreadTest : public LogFixture {};

TEST_F(LogWriterThreadTest, CreatesItsDirectoryAndDrainsEverythingAtStop) {
  LogSettings settings;
  settings.dir = dir_ / "new_log_dir";
  UseLogSettings(settings);
  for (int i = 0; i < 1000; ++i) g_logQueue.Push(LogRecord{-1, "rec " + std::to_string(i), 0});
  StartWriter();
  // Let the writer take its first batch before stopping it (bounded wait).
  for (int i = 0; i < 500; ++i) {
    if (g_logQueue.Size() < 1000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(g_logQueue.Size() % 200, 0u);  // whole batches of 200
  StopWriterAndDrain();
  std::vector<std::string> lines =
      logtest::SplitLines(testutil::ReadFile(settings.dir + "/log.txt"));
  ASSERT_EQ(lines.size(), 1000u);
  for (int i = 0; i < 1000; ++i)
    EXPECT_TRUE(lines[i].ends_with("|-|rec " + std::to_string(i))) << lines[i];
}

TEST_F(LogWriterThreadTest, ConcurrentProducersLoseNothingAndKeepTheirOrder) {
  constexpr int kThreads = 8, kLines = 10000;
  UseLog(true, false);
  StartWriter();
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) WriteLog("t%d|%d|padding to make the file rotate", t, i);
    });
  for (auto& p : producers) p.join();
  StopWriterAndDrain();

  // The rotated files and the current file together, oldest first.
  auto lines = AllLines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  std::regex shape(
      R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\|-\|t(\d)\|(\d+)\|padding to make the file rotate)");
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    int t = std::stoi(m[1]), i = std::stoi(m[2]);
    ASSERT_EQ(i, next[t]) << "thread " << t << " out of order or duplicated";
    ++next[t];
  }
  EXPECT_FALSE(RotatedNames().empty());  // the load crossed the limit at least once
  // Many rotations fall within one second: each still finds a name, so no
  // file grows past the limit by more than one batch.
  const size_t batch_bytes = 200 * (lines.front().size() + 8);
  for (const auto& name : RotatedNames())
    EXPECT_LE(fs::file_size(LogDir() + "/" + name), static_cast<uintmax_t>(kLimit) + batch_bytes)
        << name;
}

// A queue longer than one batch is written out in the same cycle, not one
// batch per cycle: all of it is on disk before the writer's second wake-up
// (one batch a cycle would have at most 400 of the 1,000 lines by then; the
// margin keeps a loaded machine from failing it).
TEST_F(LogWriterThreadTest, WholeQueueIsWrittenInOneCycle) {
  for (int i = 0; i < 1000; ++i) g_logQueue.Push(LogRecord{-1, "rec " + std::to_string(i), 0});
  StartWriter();
  using Clock = std::chrono::steady_clock;
  const auto give_up = Clock::now() + std::chrono::seconds(10);
  while (!testutil::FileExists(CurrentLog()) && Clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto first_seen = Clock::now();
  size_t on_disk = 0;
  while (Clock::now() < first_seen + std::chrono::milliseconds(350)) {
    on_disk = logtest::SplitLines(testutil::ReadFile(CurrentLog())).size();
    if (on_disk == 1000) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  StopWriterAndDrain();
  EXPECT_EQ(on_disk, 1000u);
}

}  // namespace
