#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform {

bool RenameNoReplace(const std::string& from, const std::string& to, int* error) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  // EINVAL: this file system has no no-replace rename; ENOSYS: nor the kernel.
  if (err == EINVAL || err == ENOSYS) {
    if (link(from.c_str(), to.c_str()) == 0) {
      if (unlink(from.c_str()) == 0) return true;
      err = errno;
      unlink(to.c_str());  // keep one name, not two, for the same file
    } else {
      err = errno;
    }
  }
  if (error) *error = err;
  return false;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int OpenRegularFile(const std::string& path, int flags, bool* not_regular, struct stat* info) {
  *not_regular = false;
  const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  struct stat own;
  if (!info) info = &own;
  if (fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
    close(fd);
    *not_regular = true;
    return -1;
  }
  return fd;
}

bool ReadRegularFile(const std::string& path, std::string* text, std::string* problem) {
  problem->clear();
  bool not_regular = false;
  const int fd = OpenRegularFile(path, O_RDONLY, &not_regular);
  if (fd < 0) {
    if (not_regular)
      *problem = "not a regular file";
    else if (errno != ENOENT)
      *problem = strerror(errno);
    return false;
  }
  text->clear();
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *problem = strerror(errno);
      close(fd);
      return false;
    }
    if (n == 0) break;
    text->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool DirectoryWritable(const std::string& dir, std::string* problem) {
  const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return true;
  }
  int err = errno;
  if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
    if (access(dir.c_str(), W_OK | X_OK) == 0) return true;
    err = errno;
  }
  *problem = strerror(err);
  return false;
}

}  // namespace platform
