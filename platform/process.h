// Facts about the running process that stand in for the Windows module and
// resource calls.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable (readlink of /proc/self/exe).
// Returns false when the link cannot be read.
bool GetExecutablePath(std::string* path);

// The directory part of path: everything before its last '/'. Returns false,
// leaving *dir alone, when path holds no '/'.
bool DirectoryOf(const std::string& path, std::string* dir);

// Raises the soft open-files limit to the hard limit, so that thousands of
// concurrent sessions get their sockets. Returns the soft limit now in force
// (0 when it cannot be read).
unsigned long RaiseOpenFileLimit();

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// files opened later never take their place (console text would land in
// them). Call first, before anything opens a file. False when one of them
// could not be filled.
bool FillClosedStandardDescriptors();

// The soft open-files limit in force, and how many descriptors the process
// has open now (0 when either cannot be read).
unsigned long OpenFileLimit();
unsigned long OpenDescriptorCount();

}  // namespace platform
