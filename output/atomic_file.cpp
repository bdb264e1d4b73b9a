#include "output/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace {

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

bool FailErrno(std::string* error, int err) { return Fail(error, std::strerror(err)); }

}  // namespace

std::string AtomicTempPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name_at) + "." + path.substr(name_at) + ".tmp";
}

bool SaveFileAtomically(const std::string& path, std::string_view content, std::string* error) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Fail(error, S_ISLNK(st.st_mode) ? "is a symbolic link" : "not a regular file");

  const std::string temp = AtomicTempPath(path);
  // O_NONBLOCK: a FIFO under the temporary name must fail the save, not hang it.
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return FailErrno(error, errno);
  struct stat held;
  if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
    close(fd);
    return Fail(error, "temporary file is not a regular file");
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? Fail(error, "another writer is saving this file")
                              : FailErrno(error, err);
  }
  // The name may have been renamed or removed by the writer that held the
  // lock just before: then this descriptor is no longer the temporary file.
  struct stat named;
  if (lstat(temp.c_str(), &named) != 0 || named.st_dev != held.st_dev ||
      named.st_ino != held.st_ino) {
    close(fd);
    return Fail(error, "another writer is saving this file");
  }

  int err = 0;
  if (ftruncate(fd, 0) != 0 || !platform::WriteAll(fd, content.data(), content.size()) ||
      fsync(fd) != 0)
    err = errno;
  if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  // Removed while still locked, so no other writer can have taken it over.
  if (err != 0) unlink(temp.c_str());
  close(fd);  // the data was synced before the rename: a late close error changes nothing
  if (err != 0) return FailErrno(error, err);
  return true;
}
