#include "output/console.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>

#include "platform/interrupt.h"
#include "platform/thread_annotations.h"

namespace console {
namespace {

std::atomic<bool> g_enabled{false};
// Guards what follows, and the terminal while held. Lock order:
// platform/thread_annotations.h.
platform::Mutex g_mutex;
bool g_stdout_shares GUARDED_BY(g_mutex) = false;
size_t g_shown GUARDED_BY(g_mutex) = 0;  // length of the status line on screen; 0: none

void ClearLocked() REQUIRES(g_mutex) {
  if (g_shown == 0) return;
  fprintf(stderr, "\r%*s\r", static_cast<int>(g_shown), "");
  g_shown = 0;
  platform::SetInterruptClearWidth(0);
}

bool SharesTerminal(FILE* stream) REQUIRES(g_mutex) {
  return stream == stderr || (stream == stdout && g_stdout_shares);
}

}  // namespace

// The lock is held from here to the destructor only while the status line is
// enabled, which the analysis cannot follow.
LineGuard::LineGuard(FILE* stream) NO_THREAD_SAFETY_ANALYSIS
    : locked_(g_enabled.load(std::memory_order_acquire)) {
  if (!locked_) return;
  g_mutex.lock();
  if (SharesTerminal(stream)) ClearLocked();
}

LineGuard::~LineGuard() NO_THREAD_SAFETY_ANALYSIS {
  if (!locked_) return;
  // A buffered stream's line must reach the terminal before the next redraw.
  fflush(stdout);
  g_mutex.unlock();
}

void Print(FILE* stream, const char* format, ...) {
  LineGuard guard(stream);
  va_list args;
  va_start(args, format);
  vfprintf(stream, format, args);
  va_end(args);
}

void EnableStatusLine(bool stdout_shares_terminal) {
  platform::MutexLock lock(g_mutex);
  g_stdout_shares = stdout_shares_terminal;
  g_enabled.store(true, std::memory_order_release);
}

void ShowStatus(const std::string& text, size_t columns) {
  if (!g_enabled.load(std::memory_order_acquire)) return;
  platform::MutexLock lock(g_mutex);
  if (!g_enabled.load(std::memory_order_relaxed)) return;
  // After the terminal narrowed, blanks past its width would wrap onto a
  // line of their own; what the old line had there has wrapped already.
  g_shown = std::min(g_shown, columns);
  const int pad = g_shown > text.size() ? static_cast<int>(g_shown - text.size()) : 0;
  platform::SetInterruptClearWidth(std::max(g_shown, text.size()));  // covers the line mid-draw
  fprintf(stderr, "\r%s%*s", text.c_str(), pad, "");
  if (pad > 0) fprintf(stderr, "\r%s", text.c_str());
  g_shown = text.size();
  platform::SetInterruptClearWidth(g_shown);
}

void EndStatusLine() {
  platform::MutexLock lock(g_mutex);
  ClearLocked();
  g_enabled.store(false, std::memory_order_release);
}

}  // namespace console
