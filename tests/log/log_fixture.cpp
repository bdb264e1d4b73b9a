#include "log/log_fixture.h"

#include <ctime>
#include <filesystem>

#include "log/log.h"
#include "log/log_writer.h"

namespace logtest {

void LogFixture::SetUp() {
  g_logQueue.TakeAll();
  std::filesystem::create_directory(LogDir());
  UseLog(false, false);
}

void LogFixture::TearDown() {
  if (writer_started_) StopWriterAndDrain();
  UseLogSettings(LogSettings{});
  g_logQueue.TakeAll();
}

void LogFixture::UseLog(bool enabled, bool direct) {
  LogSettings settings;
  settings.enabled = enabled;
  settings.dir = LogDir();
  settings.direct = direct;
  UseLogSettings(settings);
}

void LogFixture::StartWriter() {
  ASSERT_TRUE(StartLogWriter());
  writer_started_ = true;
}

void LogFixture::StopWriterAndDrain() {
  StopLogWriterAndDrain();
  writer_started_ = false;
}

std::vector<std::string> LogFixture::RotatedNames() const { return RotatedLogNames(LogDir()); }

std::vector<std::string> RotatedLogNames(const std::string& log_dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(log_dir)) {
    std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && name.size() > 8 && name.ends_with("_log.txt"))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> LogFixture::AllLines() const {
  std::string text;
  for (const auto& name : RotatedNames()) text += testutil::ReadFile(LogDir() + "/" + name);
  text += testutil::ReadFile(CurrentLog());
  return SplitLines(text);
}

std::string Stamp(long long t) {
  time_t tt = static_cast<time_t>(t);
  struct tm local;
  localtime_r(&tt, &local);
  char buf[32];
  strftime(buf, sizeof buf, "%Y%m%d_%H%M%S", &local);
  return buf;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace logtest
