#include "log/log_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "log/log.h"
#include "log/sort_string_array.h"
#include "platform/files.h"
#include "platform/thread.h"

std::atomic<bool> g_bLogRunning{true};
platform::Thread* g_pLogThread = nullptr;

namespace {

constexpr long long kRotateAbove = 262144;
constexpr size_t kKeepRotated = 30;
constexpr auto kWriterCycle = std::chrono::milliseconds(200);
constexpr int kMaxRotationsPerSecond = 999;

// Guards no data (the flag is atomic): it closes the gap between the writer's
// test of g_bLogRunning and its wait, so the stop's wake-up is not lost.
// Lock order: platform/thread_annotations.h.
platform::Mutex g_writerWakeMutex;
std::condition_variable_any g_writerWake;

std::string CurrentLogPath() { return g_strLogDir + "/" + g_strLogFile; }

// An append-only descriptor, like fopen(path, "a"), for a regular file only:
// a symbolic link in the file's place is not followed, and a FIFO fails
// instead of blocking the writer (and shutdown) for good, with or without a
// reader. -1 on failure.
int OpenForAppend(const std::string& path) {
  bool not_regular = false;
  return platform::OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, &not_regular);
}

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

int WriteLogLines(const std::vector<std::string>& lines) {
  int fd = OpenForAppend(CurrentLogPath());
  if (fd < 0) return 0;
  // One write for the whole batch: an appending write is placed as a unit, so
  // another instance appending to the same file cannot split a line.
  std::string batch;
  size_t size = 0;
  for (const auto& line : lines) size += line.size();
  batch.reserve(size);
  for (const auto& line : lines) batch += line;
  platform::WriteAll(fd, batch.data(), batch.size());  // disk full and the like: the rest is lost
  // The size counts this batch and whatever another writer appended meanwhile.
  struct stat info;
  bool have_size = fstat(fd, &info) == 0;
  close(fd);
  if (have_size && static_cast<long long>(info.st_size) > kRotateAbove) RotateLog();
  return 0;
}

void RotateLog() {
  char stamp[32] = "";
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr &&
      strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local) != 0) {
    // Never replaces: a name already taken within this second gets a counter
    // ("<stamp>_r002_log.txt", ...). Pruning counts these like any other, and
    // "r" and the fixed width keep name order the age order it relies on.
    const std::string from = CurrentLogPath();
    int err = 0;
    for (int n = 1; n <= kMaxRotationsPerSecond; ++n) {
      char counter[8] = "";
      if (n > 1) snprintf(counter, sizeof counter, "r%03d_", n);
      if (platform::RenameNoReplace(from, g_strLogDir + "/" + stamp + "_" + counter + g_strLogFile,
                                    &err))
        break;
      if (err != EEXIST) break;
    }
  }
  PruneLogFiles();
}

void PruneLogFiles() {
  const std::string suffix = "_" + g_strLogFile;
  CSortStringArray names;
  std::error_code ec;
  std::filesystem::directory_iterator it(g_strLogDir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec) || type_ec) continue;
    names.push_back(std::move(name));
  }
  if (ec) return;  // a listing cut short could misjudge which names are the oldest
  if (names.size() <= kKeepRotated) return;
  names.Sort();
  for (size_t i = 0; i < names.size() - kKeepRotated; ++i) {
    std::error_code remove_ec;
    std::filesystem::remove(g_strLogDir + "/" + names[i], remove_ec);
  }
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
  g_bLogEnabled = false;
  g_bDirectLog = false;
  g_bLogRunning = true;
  g_pLogThread = nullptr;
  g_logQueue.TakeAll();
}
