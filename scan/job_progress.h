// How far one scan job has come, read by the run driver's status line while
// the job runs. Written by the job's thread only; any thread may read.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct JobProgress {
  enum State { kWaiting, kRunning, kDone };
  std::atomic<int> state{kWaiting};
  std::atomic<int64_t> started_ms{0};  // steady-clock milliseconds at the start
  std::atomic<size_t> rows{0};
};

// The steady clock in milliseconds, as JobProgress::started_ms holds it.
int64_t SteadyMilliseconds();
