#include "output/file_replace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReplaceFileContent(const std::string& path, std::string_view text, int* error, bool* touched) {
  *error = 0;
  if (touched) *touched = false;
  // O_NONBLOCK: a FIFO in the way must fail the save, not hang the job.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!regular || flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = regular ? errno : EINVAL;
    close(fd);
    return false;
  }
  if (touched) *touched = true;
  bool ok = ftruncate(fd, 0) == 0 && WriteAll(fd, text.data(), text.size());
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) *error = err;
  return ok;
}
