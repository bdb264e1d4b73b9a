// The log file room: appending, rotation and pruning, through the configured
// file (WriteLogLines) and with the directory, name and time given.
#include "log/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>

#include "log/log.h"
#include "log/log_fixture.h"
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

  PruneLogFiles(LogDir(), "log.txt");

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
  RotateLogFile(LogDir(), "log.txt", time(nullptr));
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
    LogSettings settings;
    settings.enabled = true;
    settings.dir = dir_ / c.log_dir;
    settings.direct = true;
    UseLogSettings(settings);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    WriteLog("%s|start", "192.0.2.3");
    WriteLogLines({std::string(kLimit + 1, 'x')});
    RotateLogFile(settings.dir, settings.file, time(nullptr));
    PruneLogFiles(settings.dir, settings.file);
    EXPECT_EQ(g_logQueue.Size(), 0u) << c.name;
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "") << c.name;
    EXPECT_EQ(err, "") << c.name;
    EXPECT_FALSE(fs::is_regular_file(settings.dir + "/log.txt")) << c.name;
  }
}

// With the time and the name given, every step of the naming can be set up
// exactly: the stamp of that second, each counter, the last one, and the
// file that grows on when the second has no name left.
TEST_F(LogFileTest, RotationNamesAtAGivenTime) {
  const int64_t t = 1765378800;
  const std::string stamp = Stamp(t);
  struct Case {
    const char* what;
    std::string name;
    int taken;  // names of that second that exist: the plain stamp, then r002, r003, ...
    int64_t now;
    std::string rotated_to;  // "": no rename, the file grows on
  };
  const Case cases[] = {
      {"free stamp", "log.txt", 0, t, stamp + "_log.txt"},
      {"plain stamp taken", "log.txt", 1, t, stamp + "_r002_log.txt"},
      {"up to r998 taken", "log.txt", 998, t, stamp + "_r999_log.txt"},
      {"every name of the second taken", "log.txt", 999, t, ""},
      {"a shard's own file", "log-2-of-3.txt", 1, t, stamp + "_r002_log-2-of-3.txt"},
      {"a time beyond the calendar", "log.txt", 0, INT64_MAX, ""},
  };
  for (const auto& c : cases) {
    fs::remove_all(LogDir());
    fs::create_directory(LogDir());
    for (int n = 1; n <= c.taken; ++n) {
      char counter[16] = "";
      if (n > 1) snprintf(counter, sizeof counter, "r%03d_", n);
      MakeRotated(stamp + "_" + counter + c.name, "taken " + std::to_string(n) + "\n");
    }
    testutil::WriteFile(LogDir() + "/" + c.name, "current\n");
    RotateLogFile(LogDir(), c.name, c.now);
    if (c.rotated_to.empty()) {
      EXPECT_EQ(testutil::ReadFile(LogDir() + "/" + c.name), "current\n") << c.what;
    } else {
      EXPECT_FALSE(testutil::FileExists(LogDir() + "/" + c.name)) << c.what;
      EXPECT_EQ(testutil::ReadFile(LogDir() + "/" + c.rotated_to), "current\n") << c.what;
    }
    // Nothing taken was replaced; pruning left the newest 30 of them.
    size_t rotated = 0;
    for (const auto& entry : fs::directory_iterator(LogDir())) {
      const std::string file = entry.path().filename().string();
      if (file == c.name || file == c.rotated_to) continue;
      ++rotated;
      EXPECT_EQ(testutil::ReadFile(entry.path()).rfind("taken ", 0), 0u) << c.what << ": " << file;
    }
    EXPECT_EQ(rotated, std::min<size_t>(c.taken, c.rotated_to.empty() ? 30 : 29)) << c.what;
  }
}

// Pruning counts the rotated files of the name it is given, so log files of
// different names in one directory each keep their own newest 30.
TEST_F(LogFileTest, PruningKeepsTheNewest30OfEachName) {
  const std::string names[] = {"log.txt", "log-1-of-3.txt", "log-11-of-30.txt", "log-1-of-30.txt"};
  auto count_of = [&](const std::string& name) {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator(LogDir()))
      n += entry.path().filename().string().ends_with("_" + name);
    return n;
  };
  for (const auto& name : names)
    for (int i = 0; i < 31; ++i) MakeRotated("202001" + std::to_string(10 + i) + "_000000_" + name);
  for (size_t i = 0; i < std::size(names); ++i) {
    PruneLogFiles(LogDir(), names[i]);
    EXPECT_FALSE(testutil::FileExists(LogDir() + "/20200110_000000_" + names[i])) << names[i];
    for (size_t j = 0; j < std::size(names); ++j)
      EXPECT_EQ(count_of(names[j]), j <= i ? 30u : 31u) << names[i] << " pruned; " << names[j];
  }
}

}  // namespace
