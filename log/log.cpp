#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "log/log_file.h"

LogQueue g_logQueue;

namespace {

// Changed only while no other thread logs (UseLogSettings), so readers need
// no lock.
LogSettings g_logSettings;

constexpr size_t kDrainBatch = 200;

// vsnprintf into a string of whatever length the message needs. False when
// the format cannot be rendered (an encoding error).
bool FormatMessage(const char* format, va_list args, std::string* text) {
  char small[512];
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(small, sizeof small, format, args);
  if (n < 0) {
    va_end(again);
    return false;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    text->assign(small, n);
  } else {
    text->resize(static_cast<size_t>(n));
    vsnprintf(text->data(), text->size() + 1, format, again);
  }
  va_end(again);
  return true;
}

}  // namespace

void UseLogSettings(const LogSettings& settings) { g_logSettings = settings; }

const LogSettings& CurrentLogSettings() { return g_logSettings; }

int WriteLog(const char* format, ...) {
  if (!g_logSettings.enabled) return 0;
  std::string text;
  va_list args;
  va_start(args, format);
  bool ok = FormatMessage(format, args, &text);
  va_end(args);
  if (!ok) return 0;
  int64_t now = static_cast<int64_t>(time(nullptr));

  if (g_logSettings.direct) {
    WriteLogLines({FormatLogLine(-1, text, now)});
    return 0;
  }
  LogRecord record;
  record.m_nCode = -1;
  record.m_strText = std::move(text);
  record.m_time = now;
  g_logQueue.Push(std::move(record));
  return 0;
}

void LogQueue::Push(LogRecord record) {
  platform::MutexLock lock(mutex_);
  records_.push_back(std::move(record));
}

size_t LogQueue::Drain(std::vector<std::string>* lines, size_t max) {
  platform::MutexLock lock(mutex_);
  size_t moved = 0;
  for (; moved < max && !records_.empty(); ++moved) {
    const LogRecord& front = records_.front();
    lines->push_back(FormatLogLine(front.m_nCode, front.m_strText, front.m_time));
    records_.pop_front();
  }
  return moved;
}

size_t LogQueue::Size() {
  platform::MutexLock lock(mutex_);
  return records_.size();
}

std::deque<LogRecord> LogQueue::TakeAll() {
  platform::MutexLock lock(mutex_);
  std::deque<LogRecord> all;
  all.swap(records_);
  return all;
}

void WriteLogLines(const std::vector<std::string>& lines) {
  AppendLogLines(g_logSettings.dir, g_logSettings.file, lines);
}

void DrainLogQueue(std::vector<std::string>* lines) { g_logQueue.Drain(lines, kDrainBatch); }

std::string FormatLogLine(int code, const std::string& text, int64_t time) {
  char stamp[64];
  time_t t = static_cast<time_t>(time);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr ||
      strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local) == 0)
    snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(time));  // beyond the calendar
  std::string line = stamp;
  if (code < 0) {
    line += "|-|";
  } else {
    line += '|';
    line += std::to_string(code);
    line += '|';
  }
  line += text;
  line += '\n';
  return line;
}
