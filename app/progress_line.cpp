#include "app/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "app/run_summary.h"
#include "output/console.h"
#include "platform/interrupt.h"
#include "scan/job_progress.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr size_t kMaxTargetShown = 40;  // a longer target text is cut, with "..."

std::string Seconds(int64_t ms) {
  char text[32];
  snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

}  // namespace

ProgressLine::ProgressLine(const std::vector<std::string>& targets, const JobProgress* progress,
                           int64_t started_ms)
    : targets_(targets), progress_(progress), started_ms_(started_ms) {
  if (targets.empty() || !isatty(STDERR_FILENO)) return;
  platform::WatchWindowSize();
  window_changes_ = platform::WindowSizeChanges();
  ReadWidth();
  console::EnableStatusLine(isatty(STDOUT_FILENO) != 0);
  thread_ = std::thread(&ProgressLine::Run, this);
}

ProgressLine::~ProgressLine() { Stop(); }

void ProgressLine::ReadWidth() {
  winsize ws = {};
  // Kept a column short: a line that fills the last column wraps on some
  // terminals, and "\r" then returns to the wrong line.
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) width_ = ws.ws_col - 1;
}

void ProgressLine::Stop() {
  if (!thread_.joinable()) return;
  {
    platform::MutexLock lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  console::EndStatusLine();
}

void ProgressLine::Run() {
  platform::MutexLock lock(mutex_);
  for (;;) {
    // Waits out the interval unless stopped; a spurious wake-up waits on.
    const auto deadline = std::chrono::steady_clock::now() + kRedrawInterval;
    while (!stop_ && wake_.wait_until(lock, deadline) == std::cv_status::no_timeout) {
    }
    if (stop_) return;
    lock.unlock();
    // A line wider than a narrowed terminal would wrap and leave copies.
    if (const unsigned changes = platform::WindowSizeChanges(); changes != window_changes_) {
      window_changes_ = changes;
      ReadWidth();
    }
    console::ShowStatus(Text(SteadyMilliseconds()), width_);
    lock.lock();
  }
}

std::string ProgressLine::Text(int64_t now_ms) const {
  size_t done = 0;
  uint64_t rows = 0;
  const std::string* longest = nullptr;
  int64_t longest_start = 0;
  for (size_t i = 0; i < targets_.size(); ++i) {
    const JobProgress& p = progress_[i];
    const int state = p.state.load(std::memory_order_acquire);
    rows += p.rows.load(std::memory_order_relaxed);
    if (state == JobProgress::kDone) {
      ++done;
    } else if (state == JobProgress::kRunning) {
      const int64_t start = p.started_ms.load(std::memory_order_relaxed);
      if (!longest || start < longest_start) {
        longest = &targets_[i];
        longest_start = start;
      }
    }
  }
  std::string text = "mibscan: " + GroupThousands(done) + "/" + GroupThousands(targets_.size()) +
                     " targets, " + GroupThousands(rows) + " rows, " +
                     Seconds(now_ms - started_ms_);
  if (longest) {
    std::string name = *longest;
    if (name.size() > kMaxTargetShown) name = name.substr(0, kMaxTargetShown - 3) + "...";
    text += "; longest running: " + name + " (" + Seconds(now_ms - longest_start) + ")";
  }
  if (text.size() > width_) text.resize(width_);
  return text;
}
