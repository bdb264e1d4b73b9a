// Log settings, log records, the process-wide log queue, the one log entry,
// WriteLog, and the appending of lines to the file the settings name
// (log/log_file.h does the file work).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"

// Whether and where the log is kept: one value, made by the run from
// config.ini and its folder.
struct LogSettings {
  bool enabled = false;          // Log=1 in config.ini
  std::string dir = "./log";     // "<run folder>/log"
  std::string file = "log.txt";  // a shard's own name under --shard
  bool direct = false;           // exactly one target: lines written in place by its thread
};

// Makes settings the log's: WriteLog, the writer and WriteLogLines follow
// them from here on. The process logs into one place, so this is the one
// process-wide copy; the default value logs nothing. Main thread, while no
// other thread logs and the writer (log/log_writer.h) is not running.
void UseLogSettings(const LogSettings& settings);

// The settings in use. Any thread; see UseLogSettings for when they change.
const LogSettings& CurrentLogSettings();

struct LogRecord {
  int m_nCode = -1;       // middle column; negative prints "-"
  std::string m_strText;  // the message, no time stamp, no line end
  int64_t m_time = 0;     // seconds since the epoch, taken when WriteLog was called
};

// The records waiting for the log writer, in the order they were logged.
// Every member takes the queue's own lock; any thread may call them.
class LogQueue {
 public:
  void Push(LogRecord record) EXCLUDES(mutex_);

  // Moves at most max records from the front into lines (as FormatLogLine
  // renders them), appended to *lines. Returns how many moved.
  size_t Drain(std::vector<std::string>* lines, size_t max) EXCLUDES(mutex_);

  size_t Size() EXCLUDES(mutex_);

  // Takes every record out, oldest first.
  std::deque<LogRecord> TakeAll() EXCLUDES(mutex_);

 private:
  platform::Mutex mutex_;  // lock order: platform/thread_annotations.h
  std::deque<LogRecord> records_ GUARDED_BY(mutex_);
};
extern LogQueue g_logQueue;

// Logs one printf-style message of any length, stamped with the time of this
// call. Does nothing unless the settings enable the log. Direct mode (a single
// producing thread): the line is in the file when this returns. Queued mode:
// the record is appended to g_logQueue, with no file work in the caller; any thread may call it. A
// format that cannot be rendered drops the message; failures are never reported. Always returns 0.
int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Moves at most 200 records from the front of g_logQueue into lines, appended
// to *lines. Any thread.
void DrainLogQueue(std::vector<std::string>* lines);

// Appends lines to the settings' dir/file as AppendLogLines does (rotation
// and pruning included). Same caller rule as AppendLogLines.
void WriteLogLines(const std::vector<std::string>& lines);

// "<local time>|-|<text>\n" ("%Y/%m/%d %H:%M:%S"); a code >= 0 replaces "-".
// The text is kept unchanged ("|" and line breaks included). A time that the
// calendar cannot hold is shown as its number of seconds. Any thread.
std::string FormatLogLine(int code, const std::string& text, int64_t time);
