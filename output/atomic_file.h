// Replacing a file as a whole: readers see the old content or the new one,
// never a cut-off or empty file.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

// One replacement of path, its content given in pieces as it is made.
//
// Begin creates a hidden temporary file beside path (".<name>.tmp", same
// directory) and locks it (flock, exclusive, non-blocking) until the rename,
// so a second writer of the same path at the same time fails instead of
// mixing contents; a temporary file left by a crashed run is taken over.
// Append writes each piece at once and starts its write-back early, so
// Commit's flush to disk (fdatasync) waits for little; Commit then renames
// the temporary file over path. The data is on disk before the rename makes
// it visible: a crash leaves the old file or the complete new one.
//
// Nothing is opened through a symbolic link, and path must be missing or a
// regular file: a link, FIFO or directory there fails Begin and stays as it
// was. On any failure, and when the object goes without a Commit, the
// temporary file is removed and path is left untouched. Errors are a strerror
// text, or a sentence for the cases without an errno.
//
// Within this process, a Begin of a path that another writer is saving
// waits until that one has committed or given up, then replaces its file in
// turn; paths are compared as given, so name one file one way. A second
// process saving the same path at the same time fails instead (its Begin
// finds the temporary file locked).
//
// One thread per object, and a thread never holds two writers of one path;
// different paths may be saved at the same time.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // False with *error set when the temporary file cannot be made or locked,
  // or path is not a regular file; nothing is then left behind. Waits while
  // another writer of this process saves path.
  bool Begin(const std::string& path, std::string* error);

  // False once a write has failed (or before Begin); the cause is kept for
  // Commit, and later pieces are dropped.
  bool Append(const char* data, size_t size);

  // Whether a write has failed, with its cause in *error.
  bool WriteError(std::string* error) const;

  // Flushes and renames. False with *error set (the first failed write's
  // cause, if any); the temporary file is then gone and path untouched.
  bool Commit(std::string* error);

 private:
  bool BeginTaken(const std::string& path, std::string* error);
  void Abandon();
  void GivePath();

  std::string path_;
  std::string temp_;
  int fd_ = -1;
  bool path_taken_ = false;  // this writer holds path_ among the paths being saved
  int write_error_ = 0;      // errno of the first failed write
  off_t written_ = 0;
  off_t queued_ = 0;  // bytes whose write-back has been started
};

// Writes content to path as a whole through an AtomicFileWriter. Returns
// false with the cause in *error; path is then untouched. Any thread.
bool SaveFileAtomically(const std::string& path, std::string_view content, std::string* error);

// The temporary name AtomicFileWriter uses for path.
std::string AtomicTempPath(const std::string& path);
