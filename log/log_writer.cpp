#include "log/log_writer.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>

#include "log/log.h"
#include "platform/thread.h"

std::atomic<bool> g_bLogRunning{true};
platform::Thread* g_pLogThread = nullptr;

namespace {

constexpr auto kWriterCycle = std::chrono::milliseconds(200);

// Guards no data (the flag is atomic): it closes the gap between the writer's
// test of g_bLogRunning and its wait, so the stop's wake-up is not lost.
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

}  // namespace

unsigned LogWriterThread(void*) {
  std::error_code ec;
  std::filesystem::create_directory(g_strLogDir, ec);
  while (g_bLogRunning) {
    WriteQueuedBatches();
    // The stop wakes this wait, so a finished run does not sit out the cycle.
    platform::MutexLock lock(g_writerWakeMutex);
    g_writerWake.wait_for(lock, kWriterCycle, [] { return !g_bLogRunning; });
  }
  return 0;
}

void StartLogWriter() {
  g_bLogRunning = true;
  if (g_pLogThread) return;
  auto* thread = new platform::Thread;
  if (thread->Start(LogWriterThread, nullptr)) {
    g_pLogThread = thread;
  } else {
    delete thread;
  }
}

void StopLogWriterAndDrain() {
  {
    platform::MutexLock lock(g_writerWakeMutex);
    g_bLogRunning = false;
  }
  g_writerWake.notify_all();
  if (g_pLogThread) {
    g_pLogThread->Join();
    delete g_pLogThread;
    g_pLogThread = nullptr;
  }
  WriteQueuedBatches();
}

void ResetLogState() {
  g_strLogDir = "./log";
  g_strLogFile = "log.txt";
  g_bLogEnabled = false;
  g_bDirectLog = false;
  g_bLogRunning = true;
  g_pLogThread = nullptr;
  g_logQueue.TakeAll();
}
