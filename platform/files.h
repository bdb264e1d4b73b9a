// File operations with the semantics the program relies on and that the
// standard library does not give.
#pragma once

#include <string>

namespace platform {

// Renames from to to, and fails (EEXIST) rather than replace an existing to.
// Where the file system cannot rename without replacing, falls back to a hard
// link plus unlink, which refuses an existing target just the same. Returns
// false with the system's error number in *error (if given); from is then
// left where it was. Any thread; the names are plain paths.
bool RenameNoReplace(const std::string& from, const std::string& to, int* error = nullptr);

}  // namespace platform
