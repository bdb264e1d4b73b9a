#include "output/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <set>

#include "platform/files.h"
#include "platform/thread_annotations.h"

namespace {

// Write-back is started for every this many bytes written: large enough for
// few requests, small enough that the disk works while the rest is made.
constexpr off_t kWriteBackStep = 256 * 1024;

bool Fail(std::string* error, const std::string& why) {
  if (error) *error = why;
  return false;
}

bool FailErrno(std::string* error, int err) { return Fail(error, std::strerror(err)); }

// The paths this process is saving now. A second save of one path waits here
// until the first has renamed or given up, so two jobs of one target replace
// the file one after the other; the temporary file's lock is left to tell
// other processes apart.
class PathsBeingSaved {
 public:
  void Take(const std::string& path) EXCLUDES(mutex_) {
    platform::MutexLock lock(mutex_);
    while (paths_.count(path) != 0) freed_.wait(lock);
    paths_.insert(path);
  }
  void Give(const std::string& path) EXCLUDES(mutex_) {
    {
      platform::MutexLock lock(mutex_);
      paths_.erase(path);
    }
    freed_.notify_all();
  }

 private:
  platform::Mutex mutex_;  // lock order: platform/thread_annotations.h
  std::condition_variable_any freed_;
  std::set<std::string> paths_ GUARDED_BY(mutex_);
};

PathsBeingSaved g_pathsBeingSaved;

}  // namespace

std::string AtomicTempPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, name_at) + "." + path.substr(name_at) + ".tmp";
}

AtomicFileWriter::~AtomicFileWriter() { Abandon(); }

void AtomicFileWriter::Abandon() {
  if (fd_ >= 0) {
    // Removed while still locked, so no other writer can have taken it over.
    unlink(temp_.c_str());
    close(fd_);
    fd_ = -1;
  }
  GivePath();
}

void AtomicFileWriter::GivePath() {
  if (!path_taken_) return;
  path_taken_ = false;
  g_pathsBeingSaved.Give(path_);
}

bool AtomicFileWriter::Begin(const std::string& path, std::string* error) {
  Abandon();
  g_pathsBeingSaved.Take(path);
  path_ = path;
  path_taken_ = true;
  if (BeginTaken(path, error)) return true;
  Abandon();
  return false;
}

bool AtomicFileWriter::BeginTaken(const std::string& path, std::string* error) {
  write_error_ = 0;
  written_ = queued_ = 0;
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Fail(error, S_ISLNK(st.st_mode) ? "is a symbolic link" : "not a regular file");

  std::string temp = AtomicTempPath(path);
  // A FIFO under the temporary name must fail the save, not hang it.
  bool not_regular = false;
  struct stat held;
  int fd = platform::OpenRegularFile(temp, O_WRONLY | O_CREAT | O_NOFOLLOW, &not_regular, &held);
  if (fd < 0)
    return not_regular ? Fail(error, "temporary file is not a regular file")
                       : FailErrno(error, errno);
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
  temp_ = std::move(temp);
  fd_ = fd;
  // What a crashed run left in it.
  if (held.st_size != 0 && ftruncate(fd_, 0) != 0) {
    const int err = errno;
    Abandon();
    return FailErrno(error, err);
  }
  return true;
}

bool AtomicFileWriter::Append(const char* data, size_t size) {
  if (fd_ < 0 && write_error_ == 0) write_error_ = EBADF;
  if (write_error_ != 0) return false;
  if (!platform::WriteAll(fd_, data, size)) {
    write_error_ = errno;
    return false;
  }
  written_ += static_cast<off_t>(size);
  if (written_ - queued_ >= kWriteBackStep) {
    // Only a head start: where the file system cannot, Commit's flush does
    // it all, and a write error shows there.
    (void)sync_file_range(fd_, queued_, written_ - queued_, SYNC_FILE_RANGE_WRITE);
    queued_ = written_;
  }
  return true;
}

bool AtomicFileWriter::WriteError(std::string* error) const {
  if (write_error_ == 0) return false;
  FailErrno(error, write_error_);
  return true;
}

bool AtomicFileWriter::Commit(std::string* error) {
  if (fd_ < 0) return FailErrno(error, write_error_ != 0 ? write_error_ : EBADF);
  // fdatasync also writes the size and block map, all a reader of the new
  // content needs; the data is on disk before the rename shows it.
  int err = write_error_;
  if (err == 0 && fdatasync(fd_) != 0) err = errno;
  if (err == 0 && rename(temp_.c_str(), path_.c_str()) != 0) err = errno;
  if (err != 0) {
    Abandon();
    return FailErrno(error, err);
  }
  close(fd_);  // the data was synced before the rename: a late close error changes nothing
  fd_ = -1;
  GivePath();
  return true;
}

bool SaveFileAtomically(const std::string& path, std::string_view content, std::string* error) {
  AtomicFileWriter writer;
  if (!writer.Begin(path, error)) return false;
  writer.Append(content.data(), content.size());
  return writer.Commit(error);
}
