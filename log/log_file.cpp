#include "log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "log/sort_string_array.h"
#include "platform/files.h"

namespace {

constexpr long long kRotateAbove = 262144;
constexpr size_t kKeepRotated = 30;
constexpr int kMaxRotationsPerSecond = 999;

// An append-only descriptor, like fopen(path, "a"), for a regular file only:
// a symbolic link in the file's place is not followed, and a FIFO fails
// instead of blocking the writer (and shutdown) for good, with or without a
// reader. -1 on failure.
int OpenForAppend(const std::string& path) {
  bool not_regular = false;
  return platform::OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, &not_regular);
}

}  // namespace

void AppendLogLines(const std::string& dir, const std::string& name,
                    const std::vector<std::string>& lines) {
  int fd = OpenForAppend(dir + "/" + name);
  if (fd < 0) return;
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
  if (have_size && static_cast<long long>(info.st_size) > kRotateAbove)
    RotateLogFile(dir, name, static_cast<int64_t>(time(nullptr)));
}

void RotateLogFile(const std::string& dir, const std::string& name, int64_t now) {
  char stamp[32] = "";
  const time_t t = static_cast<time_t>(now);
  struct tm local;
  if (static_cast<int64_t>(t) == now && localtime_r(&t, &local) != nullptr &&
      strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local) != 0) {
    // Never replaces: a name already taken within this second gets a counter
    // ("<stamp>_r002_log.txt", ...). Pruning counts these like any other, and
    // "r" and the fixed width keep name order the age order it relies on.
    const std::string from = dir + "/" + name;
    int err = 0;
    for (int n = 1; n <= kMaxRotationsPerSecond; ++n) {
      char counter[8] = "";
      if (n > 1) snprintf(counter, sizeof counter, "r%03d_", n);
      if (platform::RenameNoReplace(from, dir + "/" + stamp + "_" + counter + name, &err)) break;
      if (err != EEXIST) break;
    }
  }
  PruneLogFiles(dir, name);
}

void PruneLogFiles(const std::string& dir, const std::string& name) {
  const std::string suffix = "_" + name;
  CSortStringArray names;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec), end;
  for (; !ec && it != end; it.increment(ec)) {
    std::string entry = it->path().filename().string();
    if (entry.size() < suffix.size() ||
        entry.compare(entry.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec) || type_ec) continue;
    names.push_back(std::move(entry));
  }
  if (ec) return;  // a listing cut short could misjudge which names are the oldest
  if (names.size() <= kKeepRotated) return;
  names.Sort();
  for (size_t i = 0; i < names.size() - kKeepRotated; ++i) {
    std::error_code remove_ec;
    std::filesystem::remove(dir + "/" + names[i], remove_ec);
  }
}
