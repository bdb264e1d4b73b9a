// The folder a run reads config.ini and accounts.csv from and writes its
// results to when no --dir is given.
#pragma once

#include <string>

// True for the folders packages put programs in (/usr/bin and its kin, and
// the root): a run must not fill them with results. dir has no trailing '/'.
bool IsSystemProgramFolder(const std::string& dir);

// The choice itself: the executable's folder exe_dir, or, when that is a
// system program folder, the current directory cwd, with *note set to the line
// that says so. False with *error set when cwd is a system program folder too.
// Folders are returned without a trailing '/' (the root is "").
bool ChooseRunFolder(const std::string& exe_dir, const std::string& cwd, std::string* folder,
                     std::string* note, std::string* error);

// ChooseRunFolder for this process. False with *error set when a folder cannot
// be found or chosen.
bool DefaultRunFolder(std::string* folder, std::string* note, std::string* error);
