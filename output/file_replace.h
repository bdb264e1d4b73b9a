// Replacing a whole output file (a result file, summary.csv) in place.
#pragma once

#include <string>
#include <string_view>

// Opens path without truncating it (a FIFO or other non-regular file in the
// way fails the call without blocking), takes an exclusive lock without
// waiting (a second writer of the same path fails and leaves the file
// alone), then truncates it and writes text. Returns true when all of it was
// written and the file closed. On failure *error is the system's error
// number (EINVAL for a path that is not a regular file), and *touched (if
// given) tells whether the file had been opened and locked, so that its old
// content may be gone. Any thread.
bool ReplaceFileContent(const std::string& path, std::string_view text, int* error, bool* touched = nullptr);
