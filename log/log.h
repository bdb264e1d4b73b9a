// Log settings, log records, the process-wide log queue, the one log entry,
// WriteLog, and the appending of lines to the configured file
// (log/log_file.h does the file work).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/thread_annotations.h"

// Written by the main thread before the first worker starts and only read
// afterwards.
extern std::string g_strLogDir;   // "<module dir>/log" once the run has started
extern std::string g_strLogFile;  // "log.txt"; a shard's own name under --shard
extern bool g_bLogEnabled;        // Log=1 in config.ini
extern bool g_bDirectLog;         // exactly one target: log lines written in place

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
// call. Does nothing unless g_bLogEnabled. Direct mode (g_bDirectLog, a single
// producing thread): the line is in the file when this returns. Queued mode:
// the record is appended to g_logQueue, with no file work in the caller; any thread may call it. A
// format that cannot be rendered drops the message; failures are never reported. Always returns 0.
int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Moves at most 200 records from the front of g_logQueue into lines, appended
// to *lines. Any thread.
void DrainLogQueue(std::vector<std::string>* lines);

// Appends lines to g_strLogDir/g_strLogFile as AppendLogLines does (rotation
// and pruning included). Same caller rule as AppendLogLines.
void WriteLogLines(const std::vector<std::string>& lines);

// "<local time>|-|<text>\n" ("%Y/%m/%d %H:%M:%S"); a code >= 0 replaces "-".
// The text is kept unchanged ("|" and line breaks included). A time that the
// calendar cannot hold is shown as its number of seconds. Any thread.
std::string FormatLogLine(int code, const std::string& text, int64_t time);
