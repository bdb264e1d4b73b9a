// The console lines of scan threads and the run's status line, on one
// terminal.
//
// While a status line is shown on standard error (a terminal), every other
// line printed on it, or on a standard output that is the same terminal,
// first clears it; the next redraw puts it back. Lines printed through Print
// or under a LineGuard are whole: no redraw comes between their pieces.
//
// Any thread. EnableStatusLine is called by the main thread before any
// worker starts; without it Print is a plain vfprintf and no lock is taken.
// Lock order: never take the Net-SNMP library lock and then print here
// (library texts are captured under that lock and printed after it).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace console {

// Holds the console for one line printed in several calls.
class LineGuard {
 public:
  explicit LineGuard(FILE* stream);
  ~LineGuard();
  LineGuard(const LineGuard&) = delete;
  LineGuard& operator=(const LineGuard&) = delete;

 private:
  bool locked_;
};

// printf-style, to stream, as one line.
void Print(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Lets ShowStatus draw on standard error. stdout_shares_terminal: standard
// output is a terminal too, so its lines clear the status line as well.
void EnableStatusLine(bool stdout_shares_terminal);

// Draws text as the status line in place of the previous one ("\r", the
// text, blanks over what is left of the longer previous one, up to columns).
// No-op unless enabled.
void ShowStatus(const std::string& text, size_t columns = SIZE_MAX);

// Removes the status line and stops further drawing (until the next
// EnableStatusLine).
void EndStatusLine();

}  // namespace console
