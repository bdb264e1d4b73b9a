// Queued logging under load: 8 producer threads call WriteLog while the real
// writer thread empties the queue. Prints producer throughput, the time each
// WriteLog call keeps its producer (which includes the wait for the queue
// lock), the writer's lock hold per 200-record batch, and the final drain.
//
// Usage: log_bench [lines per thread, default 50000, at most 1000000]
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log/log_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void PrintLatencies(const char* what, std::vector<Clock::duration>& samples) {
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return Micros(samples[static_cast<size_t>(q * (samples.size() - 1))]);
  };
  printf(
      "%-34s median %8.3f us   p99 %8.3f us   p99.99 %9.3f us   worst %9.3f us   (%zu samples)\n",
      what, at(0.5), at(0.99), at(0.9999), Micros(samples.back()), samples.size());
}

}  // namespace

int main(int argc, char** argv) {
  constexpr int kThreads = 8;
  long per_thread = argc > 1 ? strtol(argv[1], nullptr, 10) : 50000;
  per_thread = std::clamp(per_thread, 1L, 1000000L);

  char tmpl[] = "/tmp/mibscan-log-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return 1;
  }
  LogSettings settings;
  settings.enabled = true;
  settings.dir = std::string(tmpl) + "/log";
  UseLogSettings(settings);
  if (!StartLogWriter()) {
    fprintf(stderr, "cannot start the log writer\n");
    return 1;
  }

  // Phase 1: producers against the running writer.
  std::vector<std::vector<Clock::duration>> per_call(kThreads);
  std::vector<std::thread> producers;
  auto start = Clock::now();
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([t, per_thread, &per_call] {
      auto& samples = per_call[t];
      samples.reserve(per_thread);
      for (long i = 0; i < per_thread; ++i) {
        auto t0 = Clock::now();
        WriteLog("192.0.2.%d|walk 1.3.6.1.2.1 v%d: %ld rows", t + 1, 1 + static_cast<int>(i % 3),
                 i);
        samples.push_back(Clock::now() - t0);
      }
    });
  for (auto& p : producers) p.join();
  auto produced = Clock::now() - start;
  long total = kThreads * per_thread;
  const size_t left = g_logQueue.Size();
  printf("producers: %d threads x %ld lines = %ld WriteLog calls in %.3f s: %.0f lines/s\n",
         kThreads, per_thread, total, Micros(produced) / 1e6, total / (Micros(produced) / 1e6));
  printf("writer thread took %ld records meanwhile (at most 200 per 200 ms)\n",
         total - static_cast<long>(left));
  std::vector<Clock::duration> all;
  all.reserve(total);
  for (auto& s : per_call) all.insert(all.end(), s.begin(), s.end());
  PrintLatencies("WriteLog call (incl. lock wait):", all);

  // Phase 2: how long the writer holds the lock for one batch, which bounds
  // what a producer can wait for it. The writer is still polling meanwhile.
  std::vector<Clock::duration> holds;
  std::vector<std::string> lines;
  for (int i = 0; i < 200; ++i) {
    lines.clear();
    if (g_logQueue.Size() < 200) break;
    auto t0 = Clock::now();
    DrainLogQueue(&lines);
    holds.push_back(Clock::now() - t0);
  }
  lines.clear();
  if (!holds.empty()) PrintLatencies("drain of 200 under the lock:", holds);

  // Phase 3: stop and final drain, as at shutdown.
  const long drained = static_cast<long>(g_logQueue.Size());
  auto drain_start = Clock::now();
  StopLogWriterAndDrain();
  auto drain = Clock::now() - drain_start;
  printf(
      "stop and final drain: %ld lines in %.3f s: %.0f lines/s to disk"
      " (rotation tested per batch)\n",
      drained, Micros(drain) / 1e6, drained / std::max(Micros(drain) / 1e6, 1e-9));

  std::error_code ec;
  std::filesystem::remove_all(tmpl, ec);
  return 0;
}
