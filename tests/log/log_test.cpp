#include "log/log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "log/log_fixture.h"
#include "support/test_util.h"

namespace {

using logtest::LogFixture;

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = getenv("TZ")) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (old_)
      setenv("TZ", old_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(FormatLogLine, FixedTimes) {
  struct Case {
    const char* name;
    const char* tz;
    int code;
    const char* text;
    int64_t time;
    const char* expected;
  };
  const Case cases[] = {
      {"utc", "UTC0", -1, "192.0.2.10|start", 1796760862,
       "2026/12/08 20:14:22|-|192.0.2.10|start\n"},
      {"local time east", "JST-9", -1, "x", 1796760862, "2026/12/09 05:14:22|-|x\n"},
      {"local time rolls back a year", "EST5", -1, "x", 1798761605, "2026/12/31 19:00:05|-|x\n"},
      {"zero padding", "UTC0", -1, "", 0, "1970/01/01 00:00:00|-|\n"},
      {"any negative code is no code", "UTC0", -7, "x", 0, "1970/01/01 00:00:00|-|x\n"},
      {"code shown in decimal", "UTC0", 42, "x", 0, "1970/01/01 00:00:00|42|x\n"},
      {"code zero is a code", "UTC0", 0, "x", 0, "1970/01/01 00:00:00|0|x\n"},
      {"text unchanged", "UTC0", -1, "a|b\nc\r\n%s%%", 0, "1970/01/01 00:00:00|-|a|b\nc\r\n%s%%\n"},
  };
  for (const auto& c : cases) {
    ScopedTimeZone tz(c.tz);
    EXPECT_EQ(FormatLogLine(c.code, c.text, c.time), c.expected) << c.name;
  }
}

TEST(FormatLogLine, TimeBeyondTheCalendarDoesNotCrash) {
  ScopedTimeZone tz("UTC0");
  std::string line = FormatLogLine(-1, "x", INT64_MAX);
  EXPECT_TRUE(line.ends_with("|-|x\n")) << line;
}

class WriteLogTest : public LogFixture {};

TEST_F(WriteLogTest, OffUnlessEnabled) {
  for (bool direct : {false, true}) {
    UseLog(false, direct);
    WriteLog("%s|start", "192.0.2.1");
    EXPECT_EQ(g_logQueue.Size(), 0u) << "direct=" << direct;
    EXPECT_FALSE(testutil::FileExists(CurrentLog())) << "direct=" << direct;
  }
}

TEST_F(WriteLogTest, DirectModeWritesBeforeReturning) {
  UseLog(true, true);
  ScopedTimeZone tz("UTC0");
  int64_t before = time(nullptr);
  EXPECT_EQ(WriteLog("%s|start", "192.0.2.1"), 0);
  int64_t after = time(nullptr);
  EXPECT_EQ(g_logQueue.Size(), 0u);
  std::string text = testutil::ReadFile(CurrentLog());
  bool matches_a_second = false;
  for (int64_t t = before; t <= after; ++t)
    matches_a_second |= text == FormatLogLine(-1, "192.0.2.1|start", t);
  EXPECT_TRUE(matches_a_second) << text;

  WriteLog("%s|multi\nline|%d", "192.0.2.1", 7);
  auto lines = AllLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].ends_with("|-|192.0.2.1|multi")) << lines[1];
  EXPECT_EQ(lines[2], "line|7");
}

TEST_F(WriteLogTest, QueuedModeOnlyAppendsARecord) {
  UseLog(true, false);
  int64_t before = time(nullptr);
  WriteLog("%s|walk %d", "192.0.2.2", 3);
  WriteLog("second");
  int64_t after = time(nullptr);
  EXPECT_FALSE(testutil::FileExists(CurrentLog()));
  const std::deque<LogRecord> queued = g_logQueue.TakeAll();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].m_nCode, -1);
  EXPECT_EQ(queued[0].m_strText, "192.0.2.2|walk 3");
  EXPECT_GE(queued[0].m_time, before);
  EXPECT_LE(queued[0].m_time, after);
  EXPECT_EQ(queued[1].m_strText, "second");
}

TEST_F(WriteLogTest, MessagesOfAnyLength) {
  UseLog(true, false);
  for (size_t length : {0u, 1u, 510u, 511u, 512u, 513u, 4096u, 1000000u}) {
    std::string body(length, 'a');
    if (length > 0) body.back() = 'z';
    WriteLog("[%s]%d", body.c_str(), 5);
    const std::deque<LogRecord> queued = g_logQueue.TakeAll();
    ASSERT_EQ(queued.size(), 1u) << length;
    EXPECT_EQ(queued[0].m_strText, "[" + body + "]5") << length;
  }
}

TEST_F(WriteLogTest, DrainTakesAtMost200InQueueOrder) {
  ScopedTimeZone tz("UTC0");
  for (int i = 0; i < 450; ++i)
    g_logQueue.Push(LogRecord{i == 449 ? 9 : -1, "r" + std::to_string(i), 1796760862 + i});
  std::vector<std::string> all;
  for (size_t expected : {200u, 200u, 50u, 0u}) {
    std::vector<std::string> batch{"kept"};
    DrainLogQueue(&batch);
    ASSERT_EQ(batch.size(), expected + 1);
    EXPECT_EQ(batch[0], "kept");  // appends, never clears the caller's lines
    all.insert(all.end(), batch.begin() + 1, batch.end());
  }
  EXPECT_EQ(g_logQueue.Size(), 0u);
  ASSERT_EQ(all.size(), 450u);
  for (int i = 0; i < 450; ++i)
    EXPECT_EQ(all[i], FormatLogLine(i == 449 ? 9 : -1, "r" + std::to_string(i), 1796760862 + i))
        << i;
  // Each record's own time and code, not the time of the drain.
  EXPECT_EQ(all[0], "2026/12/08 20:14:22|-|r0\n");
  EXPECT_EQ(all[449], "2026/12/08 20:21:51|9|r449\n");
}

}  // namespace
