#include "log/log_writer.h"

#include "platform/thread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "log/log.h"
#include "log/sort_string_array.h"
#include "platform/files.h"

std::atomic<bool> g_bLogRunning{true};
platform::Thread* g_pLogThread = nullptr;

namespace {

constexpr long long kRotateAbove = 262144;
constexpr size_t kKeepRotated = 30;
constexpr auto kWriterCycle = std::chrono::milliseconds(200);

std::mutex g_writerWakeMutex;
std::condition_variable g_writerWake;

std::string CurrentLogPath() { return g_strLogDir + "/" + g_strLogFile; }

// An append-only descriptor, like fopen(path, "a"), except that a FIFO in the
// file's place with no reader fails the open instead of blocking the writer
// (and shutdown) for good. -1 on failure.
int OpenForAppend(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

unsigned LogWriterThread(void*) {
  std::error_code ec;
  std::filesystem::create_directory(g_strLogDir, ec);
  std::vector<std::string> lines;
  while (g_bLogRunning) {
    // Testing for emptiness under the queue's lock keeps the test race-free;
    // an empty queue costs one uncontended lock per cycle.
    DrainLogQueue(&lines);
    if (!lines.empty()) {
      WriteLogLines(lines);
      lines.clear();
    }
    // The stop wakes this wait, so a finished run does not sit out the cycle.
    std::unique_lock<std::mutex> lock(g_writerWakeMutex);
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
  for (size_t done = 0; done < batch.size();) {
    ssize_t n = write(fd, batch.data() + done, batch.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // disk full and the like: the rest of the batch is lost
    done += static_cast<size_t>(n);
  }
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
  if (localtime_r(&now, &local) != nullptr && strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local) != 0) {
    // Never replaces: a second rotation within the same second fails, and the
    // file grows on until a later batch finds a free name.
    platform::RenameNoReplace(CurrentLogPath(), g_strLogDir + "/" + stamp + "_" + g_strLogFile);
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
    if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
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
    std::lock_guard<std::mutex> lock(g_writerWakeMutex);
    g_bLogRunning = false;
  }
  g_writerWake.notify_all();
  if (g_pLogThread) {
    g_pLogThread->Join();
    delete g_pLogThread;
    g_pLogThread = nullptr;
  }
  std::vector<std::string> lines;
  while (g_logQueue.Size() != 0) {
    DrainLogQueue(&lines);
    WriteLogLines(lines);
    lines.clear();
  }
}

void ResetLogState() {
  g_strLogDir = "./log";
  g_bLogEnabled = false;
  g_bDirectLog = false;
  g_bLogRunning = true;
  g_pLogThread = nullptr;
  g_logQueue.TakeAll();
}
