#include "log/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "app/globals.h"
#include "log/log_writer.h"

namespace {

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

int WriteLog(const char* format, ...) {
  if (!g_bLogEnabled) return 0;
  std::string text;
  va_list args;
  va_start(args, format);
  bool ok = FormatMessage(format, args, &text);
  va_end(args);
  if (!ok) return 0;
  int64_t now = static_cast<int64_t>(time(nullptr));

  if (g_bDirectLog) {
    WriteLogLines({FormatLogLine(-1, text, now)});
    return 0;
  }
  LogRecord record;
  record.m_nCode = -1;
  record.m_strText = std::move(text);
  record.m_time = now;
  std::lock_guard<std::mutex> lock(g_logMutex);
  g_logQueue.push_back(std::move(record));
  return 0;
}

int DrainLogQueue(std::vector<std::string>* lines) {
  for (size_t budget = kDrainBatch; budget > 0 && !g_logQueue.empty(); --budget) {
    const LogRecord& front = g_logQueue.front();
    lines->push_back(FormatLogLine(front.m_nCode, front.m_strText, front.m_time));
    g_logQueue.pop_front();
  }
  return 0;
}

std::string FormatLogLine(int code, const std::string& text, int64_t time) {
  char stamp[64];
  time_t t = static_cast<time_t>(time);
  struct tm local;
  if (localtime_r(&t, &local) == nullptr || strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S", &local) == 0)
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
