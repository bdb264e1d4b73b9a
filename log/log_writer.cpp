#include "log/log_writer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>

#include "log/log.h"
#include "platform/thread.h"

namespace {

std::atomic<bool> g_logRunning{true};     // the writer loops while set
platform::Thread* g_logThread = nullptr;  // the writer, once started; main thread only

constexpr auto kWriterCycle = std::chrono::milliseconds(200);

// Guards no data (the flag is atomic): it closes the gap between the writer's
// test of g_logRunning and its wait, so the stop's wake-up is not lost.
// Lock order: platform/thread_annotations.h.
platform::Mutex g_writerWakeMutex;
std::condition_variable_any g_writerWake;

// Moves the whole queue to the file, one batch at a time with the size check
// after each, so a busy run keeps nothing waiting past one cycle and rotation
// still happens near the limit.
void WriteQueuedBatches() {
  std::vector<std::string> lines;
  for (;;) {
    DrainLogQueue(&lines);
    if (lines.empty()) return;
    WriteLogLines(lines);
    lines.clear();
  }
}

unsigned LogWriterThread(void*) {
  std::error_code ec;
  std::filesystem::create_directory(CurrentLogSettings().dir, ec);
  while (g_logRunning) {
    WriteQueuedBatches();
    // The stop wakes this wait, so a finished run does not sit out the cycle.
    platform::MutexLock lock(g_writerWakeMutex);
    g_writerWake.wait_for(lock, kWriterCycle, [] { return !g_logRunning; });
  }
  return 0;
}

}  // namespace

bool StartLogWriter() {
  g_logRunning = true;
  if (g_logThread) return true;
  auto* thread = new platform::Thread;
  if (!thread->Start(LogWriterThread, nullptr)) {
    delete thread;
    return false;
  }
  g_logThread = thread;
  return true;
}

void StopLogWriterAndDrain() {
  {
    platform::MutexLock lock(g_writerWakeMutex);
    g_logRunning = false;
  }
  g_writerWake.notify_all();
  if (g_logThread) {
    g_logThread->Join();
    delete g_logThread;
    g_logThread = nullptr;
  }
  WriteQueuedBatches();
}
