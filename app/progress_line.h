// The status line of a run on a terminal: targets done of all, rows so far,
// time elapsed and the target that has been running longest, redrawn in
// place on standard error at most ten times a second (output/console.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct JobProgress;

class ProgressLine {
 public:
  // Starts drawing on a thread of its own when standard error is a
  // terminal; otherwise does nothing at all. targets[i] goes with
  // progress[i]; both must outlive the object. Main thread.
  ProgressLine(const std::vector<std::string>& targets, const JobProgress* progress, int64_t started_ms);
  ~ProgressLine();  // Stop()
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Ends the drawing and removes the line from the terminal. Idempotent.
  // Main thread.
  void Stop();

 private:
  void Run();
  std::string Text(int64_t now_ms) const;

  const std::vector<std::string>& targets_;
  const JobProgress* progress_;
  int64_t started_ms_;
  size_t width_ = 80;  // the terminal's columns
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};
