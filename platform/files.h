// File operations with the semantics the program relies on and that the
// standard library does not give.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

namespace platform {

// Renames from to to, and fails (EEXIST) rather than replace an existing to.
// Where the file system cannot rename without replacing, falls back to a hard
// link plus unlink, which refuses an existing target just the same. Returns
// false with the system's error number in *error (if given); from is then
// left where it was. Any thread; the names are plain paths.
bool RenameNoReplace(const std::string& from, const std::string& to, int* error = nullptr);

// Writes all size bytes to fd, retrying short and interrupted writes. False
// with errno set (EIO when the system wrote nothing and gave no cause) when
// the rest cannot be written. Any thread.
bool WriteAll(int fd, const char* data, size_t size);

// Opens path with flags (O_NONBLOCK and O_CLOEXEC added; mode 0666 where
// flags create) and keeps the descriptor only when it names a regular file:
// a FIFO in the file's place fails at once instead of blocking for a peer.
// Returns the descriptor, or -1 with errno set (the open failed) or with
// *not_regular set (it opened something else, now closed). *info, when given,
// receives the file's status. Any thread.
int OpenRegularFile(const std::string& path, int flags, bool* not_regular,
                    struct stat* info = nullptr);

// Reads the whole of the regular file at path into *text. Opens without
// blocking, so a FIFO in the file's place is refused at once instead of
// waiting for a writer. Returns false with *problem empty when the file does
// not exist, and with *problem set (a strerror text or "not a regular file")
// when it exists but cannot be read. Any thread.
bool ReadRegularFile(const std::string& path, std::string* text, std::string* problem);

// Whether a file can be made in dir now: tries an unnamed temporary file
// there (nothing is left behind), or asks access() where the file system
// has no such files. False with *problem set to the cause.
bool DirectoryWritable(const std::string& dir, std::string* problem);

}  // namespace platform
