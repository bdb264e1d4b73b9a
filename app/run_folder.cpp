#include "app/run_folder.h"

#include <filesystem>
#include <system_error>

#include "platform/process.h"

bool IsSystemProgramFolder(const std::string& dir) {
  static const char* const kFolders[] = {
      "", "/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"};
  for (const char* folder : kFolders)
    if (dir == folder) return true;
  return false;
}

bool DefaultRunFolder(std::string* folder, std::string* note, std::string* error) {
  std::string exe;
  std::string exe_dir;
  if (!platform::GetExecutablePath(&exe) || !platform::DirectoryOf(exe, &exe_dir)) {
    *error = "the executable's folder cannot be found";
    return false;
  }
  if (!IsSystemProgramFolder(exe_dir)) {
    *folder = exe_dir;
    return true;
  }
  std::error_code ec;
  const std::filesystem::path cwd = std::filesystem::current_path(ec);
  if (ec) {
    *error = "the current directory cannot be found (" + ec.message() + ")";
    return false;
  }
  std::string dir = cwd.string();
  *folder = dir.substr(0, dir.find_last_not_of('/') + 1);  // "/" becomes ""
  *note = "settings and results in the current directory " + dir + " (mibscan is installed in " +
          (exe_dir.empty() ? "/" : exe_dir) + "; --dir DIR chooses another folder)";
  return true;
}
