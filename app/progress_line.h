// The status line of a run on a terminal: targets done of all, rows so far,
// time elapsed and the target that has been running longest, redrawn in
// place on standard error at most ten times a second (output/console.h).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/thread_annotations.h"

struct JobProgress;

class ProgressLine {
 public:
  // Starts drawing on a thread of its own when standard error is a
  // terminal; otherwise does nothing at all. targets[i] goes with
  // progress[i]; both must outlive the object. Main thread.
  ProgressLine(const std::vector<std::string>& targets, const JobProgress* progress,
               int64_t started_ms);
  ~ProgressLine();  // Stop()
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Ends the drawing and removes the line from the terminal. Idempotent.
  // Main thread.
  void Stop() EXCLUDES(mutex_);

 private:
  void Run() EXCLUDES(mutex_);
  std::string Text(int64_t now_ms) const;
  void ReadWidth();  // from the terminal into width_

  const std::vector<std::string>& targets_;
  const JobProgress* progress_;
  int64_t started_ms_;
  size_t width_ = 80;  // the terminal's columns, less one; the drawing thread's once it runs
  unsigned window_changes_ = 0;  // SIGWINCH counted when width_ was read
  platform::Mutex mutex_;        // lock order: platform/thread_annotations.h
  std::condition_variable_any wake_;
  bool stop_ GUARDED_BY(mutex_) = false;
  std::thread thread_;
};
