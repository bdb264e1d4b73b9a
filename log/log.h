// Log records, the process-wide log queue and the one log entry, WriteLog.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct LogRecord {
  int m_nCode = -1;        // middle column; negative prints "-"
  std::string m_strText;   // the message, no time stamp, no line end
  int64_t m_time = 0;      // seconds since the epoch, taken when WriteLog was called
};

// Logs one printf-style message of any length, stamped with the time of this
// call. Does nothing unless g_bLogEnabled. Direct mode (g_bDirectLog, a single
// producing thread): the line is in the file when this returns. Queued mode:
// the record is appended to g_logQueue under g_logMutex, with no file work in
// the caller; any thread may call it. A format that cannot be rendered drops
// the message; failures are never reported. Always returns 0.
int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Moves at most 200 records from the front of g_logQueue into lines, appended
// to *lines. The caller holds g_logMutex, or no producer can run any more.
int DrainLogQueue(std::vector<std::string>* lines);

// "<local time>|-|<text>\n" ("%Y/%m/%d %H:%M:%S"); a code >= 0 replaces "-".
// The text is kept unchanged ("|" and line breaks included). A time that the
// calendar cannot hold is shown as its number of seconds. Any thread.
std::string FormatLogLine(int code, const std::string& text, int64_t time);
