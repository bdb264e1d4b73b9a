#include "log/log_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <thread>

#include "log/log.h"
#include "log/log_fixture.h"
#include "log/log_writer.h"
#include "log/sort_string_array.h"
#include "platform/files.h"
#include "support/test_util.h"

namespace {

using logtest::LogFixture;
using logtest::Stamp;

namespace fs = std::filesystem;

constexpr size_t kLimit = 262144;

class LogFileTest : public LogFixture {
 protected:
  void MakeRotated(const std::string& name, const std::string& content = "old\n") {
    testutil::WriteFile(LogDir() + "/" + name, content);
  }
};

TEST_F(LogFileTest, AppendsAndNeverTruncates) {
  WriteLogLines({"first\n"});
  EXPECT_EQ(testutil::ReadFile(CurrentLog()), "first\n");
  WriteLogLines({"a\n", "", "b|c\n"});
  WriteLogLines({});
  EXPECT_EQ(testutil::ReadFile(CurrentLog()), "first\na\nb|c\n");
}

TEST_F(LogFileTest, RotatesOnlyAboveTheLimitAfterABatch) {
  struct Case {
    const char* name;
    size_t size_after_batch;
    bool rotated;
  };
  const Case cases[] = {
      {"below", kLimit - 1, false},
      {"exactly the limit", kLimit, false},
      {"one byte more", kLimit + 1, true},
  };
  for (const auto& c : cases) {
    fs::remove_all(LogDir());
    fs::create_directory(LogDir());
    // The file passes the limit only with the batch's second line.
    std::string before(c.size_after_batch - 100, 'p');
    testutil::WriteFile(CurrentLog(), before);
    const std::string line1(49, 'x'), line2(50, 'y');
    long long t0 = time(nullptr);
    WriteLogLines({line1 + "\n", line2});
    long long t1 = time(nullptr);
    auto rotated = RotatedNames();
    if (!c.rotated) {
      EXPECT_TRUE(rotated.empty()) << c.name;
      EXPECT_EQ(fs::file_size(CurrentLog()), c.size_after_batch) << c.name;
      continue;
    }
    EXPECT_FALSE(testutil::FileExists(CurrentLog())) << c.name;
    ASSERT_EQ(rotated.size(), 1u) << c.name;
    EXPECT_TRUE(std::regex_match(rotated[0], std::regex(R"(\d{8}_\d{6}_log\.txt)"))) << rotated[0];
    bool stamp_in_window = false;
    for (long long t = t0; t <= t1; ++t) stamp_in_window |= rotated[0] == Stamp(t) + "_log.txt";
    EXPECT_TRUE(stamp_in_window) << rotated[0];
    EXPECT_EQ(testutil::ReadFile(LogDir() + "/" + rotated[0]), before + line1 + "\n" + line2)
        << c.name;

    // The next line starts a fresh current file.
    WriteLogLines({"next\n"});
    EXPECT_EQ(testutil::ReadFile(CurrentLog()), "next\n") << c.name;
  }
}

TEST_F(LogFileTest, RotationNeverReplacesAndCountsWithinASecond) {
  // Rotated files already hold every plain stamp this test can produce, so
  // each rotation finds its stamp taken and takes the next counter instead.
  long long now = time(nullptr);
  std::vector<std::string> blockers;
  for (long long t = now - 2; t <= now + 20; ++t) {
    blockers.push_back(Stamp(t) + "_log.txt");
    MakeRotated(blockers.back(), "kept " + std::to_string(t) + "\n");
  }
  std::string big(kLimit, 'b');
  const std::string contents[] = {"first", "second", "third"};
  for (const auto& content : contents) WriteLogLines({big, content + "\n"});
  ASSERT_LT(time(nullptr), now + 20) << "machine too slow for the stamp window";
  EXPECT_FALSE(testutil::FileExists(CurrentLog()));
  for (size_t i = 0; i < blockers.size(); ++i)
    EXPECT_EQ(testutil::ReadFile(LogDir() + "/" + blockers[i]),
              "kept " + std::to_string(now - 2 + i) + "\n");

  // Name order is age order: the counters sort after their plain stamp.
  for (const auto& name : blockers) fs::remove(LogDir() + "/" + name);
  auto rotated = RotatedNames();
  ASSERT_EQ(rotated.size(), 3u);
  for (size_t i = 0; i < rotated.size(); ++i) {
    EXPECT_TRUE(std::regex_match(rotated[i], std::regex(R"(\d{8}_\d{6}_r\d{3}_log\.txt)")))
        << rotated[i];
    EXPECT_EQ(testutil::ReadFile(LogDir() + "/" + rotated[i]), big + contents[i] + "\n")
        << rotated[i];
  }
}

TEST_F(LogFileTest, RotationKeepsTheNewest30) {
  for (int kept_before : {29, 30}) {
    fs::remove_all(LogDir());
    fs::create_directory(LogDir());
    for (int i = 0; i < kept_before; ++i)
      MakeRotated("2020010" + std::to_string(1 + i / 10) + "_00000" + std::to_string(i % 10) +
                  "_log.txt");
    WriteLogLines({std::string(kLimit + 1, 'r')});
    auto rotated = RotatedNames();
    ASSERT_EQ(rotated.size(), 30u) << kept_before;
    // With 31 the oldest stamp went; with 30 nothing did.
    EXPECT_EQ(rotated.front(),
              kept_before == 30 ? "20200101_000001_log.txt" : "20200101_000000_log.txt");
    EXPECT_EQ(fs::file_size(LogDir() + "/" + rotated.back()), kLimit + 1) << kept_before;
  }
}

TEST_F(LogFileTest, PruneCountsOnlyMatchingFilesAndOrdersByName) {
  for (int i = 0; i < 30; ++i) MakeRotated("202001" + std::to_string(10 + i) + "_000000_log.txt");
  MakeRotated("old_log.txt");  // counted; letters sort after digits
  fs::create_directory(LogDir() + "/19990101_000000_log.txt");  // a directory: ignored
  MakeRotated("19990101_000000_log.txt.bak");                   // no match
  MakeRotated("19990101_000000_LOG.TXT");  // no match: names are case-sensitive here
  MakeRotated("notes.txt");
  testutil::WriteFile(CurrentLog(), "current\n");

  PruneLogFiles();

  EXPECT_FALSE(testutil::FileExists(LogDir() + "/20200110_000000_log.txt"));
  EXPECT_TRUE(testutil::FileExists(LogDir() + "/20200111_000000_log.txt"));
  EXPECT_TRUE(testutil::FileExists(LogDir() + "/20200139_000000_log.txt"));
  EXPECT_TRUE(testutil::FileExists(LogDir() + "/old_log.txt"));
  EXPECT_TRUE(fs::is_directory(LogDir() + "/19990101_000000_log.txt"));
  EXPECT_TRUE(testutil::FileExists(LogDir() + "/19990101_000000_log.txt.bak"));
  EXPECT_TRUE(testutil::FileExists(LogDir() + "/19990101_000000_LOG.TXT"));
  EXPECT_TRUE(testutil::FileExists(LogDir() + "/notes.txt"));
  EXPECT_EQ(testutil::ReadFile(CurrentLog()), "current\n");
}

TEST_F(LogFileTest, PruneRunsEvenWhenTheRenameFails) {
  // No current file: the rename fails, the pruning still happens.
  for (int i = 0; i < 32; ++i) MakeRotated("202001" + std::to_string(10 + i) + "_000000_log.txt");
  RotateLog();
  auto rotated = RotatedNames();
  ASSERT_EQ(rotated.size(), 30u);
  EXPECT_EQ(rotated.front(), "20200112_000000_log.txt");
}

TEST_F(LogFileTest, FailuresAreSilent) {
  struct Case {
    const char* name;
    std::function<void(const std::string& root)> setup;
    std::string log_dir;  // relative to the temp dir
  };
  const Case cases[] = {
      {"parent is a regular file",
       [](const std::string& root) { testutil::WriteFile(root + "/plain", "x"); }, "plain/log"},
      {"directory missing", [](const std::string&) {}, "missing/log"},
      {"current file is a directory",
       [](const std::string& root) { fs::create_directories(root + "/d/log.txt"); }, "d"},
      {"current file is a fifo without reader",
       [](const std::string& root) {
         fs::create_directory(root + "/f");
         ASSERT_EQ(mkfifo((root + "/f/log.txt").c_str(), 0600), 0);
       },
       "f"},
  };
  for (const auto& c : cases) {
    c.setup(dir_.path());
    g_strLogDir = dir_ / c.log_dir;
    g_bLogEnabled = true;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    g_bDirectLog = true;
    WriteLog("%s|start", "192.0.2.3");
    WriteLogLines({std::string(kLimit + 1, 'x')});
    RotateLog();
    PruneLogFiles();
    EXPECT_EQ(g_logQueue.Size(), 0u) << c.name;
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "") << c.name;
    EXPECT_EQ(err, "") << c.name;
    EXPECT_FALSE(fs::is_regular_file(g_strLogDir + "/log.txt")) << c.name;
  }
}

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
  g_strLogDir = dir_ / "new_log_dir";
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
      logtest::SplitLines(testutil::ReadFile(g_strLogDir + "/log.txt"));
  ASSERT_EQ(lines.size(), 1000u);
  for (int i = 0; i < 1000; ++i)
    EXPECT_TRUE(lines[i].ends_with("|-|rec " + std::to_string(i))) << lines[i];
}

TEST_F(LogWriterThreadTest, ConcurrentProducersLoseNothingAndKeepTheirOrder) {
  constexpr int kThreads = 8, kLines = 10000;
  g_bLogEnabled = true;
  g_bDirectLog = false;
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
