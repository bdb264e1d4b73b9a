#include "platform/interrupt.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace platform {

namespace {

// Lock-free, so the handler may touch them.
std::atomic<bool> g_interrupted{false};
std::atomic<int> g_wakeFd{-1};
std::atomic<int> g_signal{0};  // the first interrupting signal
std::atomic<std::size_t> g_clearWidth{0};
std::atomic<unsigned> g_handled{0};  // bit n: signal n has our handler
std::atomic<unsigned> g_windowChanges{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<std::size_t>::is_always_lock_free &&
              std::atomic<unsigned>::is_always_lock_free);

constexpr char kMessage[] =
    "mibscan: interrupted; ending the walks in progress and writing the results "
    "(interrupt again to quit at once)\n";

void WriteStderr(const char* text, size_t length) {
  ssize_t ignored = write(STDERR_FILENO, text, length);
  (void)ignored;
}

// The status line's text would otherwise stay in front of the message.
void BlankStatusLine() {
  static const char kBlanks[] = "                                                                ";
  size_t left = g_clearWidth.load();
  if (left == 0) return;
  WriteStderr("\r", 1);
  while (left > 0) {
    const size_t n = left < sizeof kBlanks - 1 ? left : sizeof kBlanks - 1;
    WriteStderr(kBlanks, n);
    left -= n;
  }
  WriteStderr("\r", 1);
}

void Wake() {
  const int fd = g_wakeFd.load();
  if (fd < 0) return;
  const uint64_t one = 1;
  // Fails only when the counter is full, and then the descriptor is readable.
  ssize_t ignored = write(fd, &one, sizeof one);
  (void)ignored;
}

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnInterrupt(int signo) {
  const int saved_errno = errno;
  // A second interrupt takes the default action: the process ends at once.
  // A signal ignored from the start is left ignored.
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  const unsigned handled = g_handled.load();
  for (int s : kSignals)
    if (handled & (1u << s)) sigaction(s, &dfl, nullptr);
  int none = 0;
  g_signal.compare_exchange_strong(none, signo);
  if (!g_interrupted.exchange(true)) {
    BlankStatusLine();
    WriteStderr(kMessage, sizeof kMessage - 1);
  }
  Wake();
  errno = saved_errno;
}

int EnsureWakeFd() {
  static std::once_flag once;
  std::call_once(once, [] { g_wakeFd.store(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)); });
  return g_wakeFd.load();
}

}  // namespace

bool InstallInterruptHandling() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    if (EnsureWakeFd() < 0) return;
    struct sigaction sa = {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int s : kSignals) sigaddset(&sa.sa_mask, s);
    // Restarted calls keep stdio writes of the other threads from failing.
    sa.sa_flags = SA_RESTART;
    ok = true;
    for (int s : kSignals) {
      // Ignored when the program started (nohup, a background job of a
      // non-interactive shell): whoever started it wants it to go on.
      struct sigaction now = {};
      if (sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
      g_handled.fetch_or(1u << s);
      ok = sigaction(s, &sa, nullptr) == 0 && ok;
    }
  });
  return ok;
}

bool WatchWindowSize() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    struct sigaction sa = {};
    sa.sa_handler = [](int) { g_windowChanges.fetch_add(1); };
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ok = sigaction(SIGWINCH, &sa, nullptr) == 0;
  });
  return ok;
}

unsigned WindowSizeChanges() { return g_windowChanges.load(); }

bool Interrupted() { return g_interrupted.load(); }

int InterruptSignal() { return g_signal.load(); }

int InterruptWakeFd() { return EnsureWakeFd(); }

void RequestInterrupt() {
  EnsureWakeFd();
  g_interrupted.store(true);
  Wake();
}

void SetInterruptClearWidth(std::size_t columns) { g_clearWidth.store(columns); }

void ResetInterruptForTesting() {
  g_interrupted.store(false);
  g_signal.store(0);
  const int fd = g_wakeFd.load();
  if (fd < 0) return;
  uint64_t count;
  ssize_t ignored = read(fd, &count, sizeof count);  // non-blocking: empties the counter
  (void)ignored;
}

}  // namespace platform
