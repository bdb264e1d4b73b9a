#include "app/run_folder.h"

#include <filesystem>
#include <system_error>

#include "platform/process.h"

namespace {

std::string WithoutTrailingSlash(const std::string& dir) {
  return dir.substr(0, dir.find_last_not_of('/') + 1);
}

std::string Shown(const std::string& dir) { return dir.empty() ? "/" : dir; }

}  // namespace

bool IsSystemProgramFolder(const std::string& dir) {
  static const char* const kFolders[] = {
      "", "/bin", "/sbin", "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin"};
  for (const char* folder : kFolders)
    if (dir == folder) return true;
  return false;
}

bool ChooseRunFolder(const std::string& exe_dir, const std::string& cwd, std::string* folder,
                     std::string* note, std::string* error) {
  if (!IsSystemProgramFolder(exe_dir)) {
    *folder = exe_dir;
    return true;
  }
  const std::string dir = WithoutTrailingSlash(cwd);
  if (IsSystemProgramFolder(dir)) {
    // Started from / (a service without a working directory) or a bin folder.
    *error = "the current directory " + Shown(dir) +
             " is a system folder; run mibscan from a folder of its own or give --dir DIR";
    return false;
  }
  *folder = dir;
  *note = "settings and results in the current directory " + dir + " (mibscan is installed in " +
          Shown(exe_dir) + "; --dir DIR chooses another folder)";
  return true;
}

bool DefaultRunFolder(std::string* folder, std::string* note, std::string* error) {
  std::string exe;
  std::string exe_dir;
  if (!platform::GetExecutablePath(&exe) || !platform::DirectoryOf(exe, &exe_dir)) {
    *error = "the executable's folder cannot be found";
    return false;
  }
  std::error_code ec;
  std::string cwd;
  if (IsSystemProgramFolder(exe_dir)) {
    cwd = std::filesystem::current_path(ec).string();
    if (ec) {
      *error = "the current directory cannot be found (" + ec.message() + ")";
      return false;
    }
  }
  return ChooseRunFolder(exe_dir, cwd, folder, note, error);
}
