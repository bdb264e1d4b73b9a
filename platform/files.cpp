#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

}  // namespace platform
