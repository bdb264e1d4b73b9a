// The folder a run reads config.ini and accounts.csv from and writes its
// results to when no --dir is given.
#pragma once

#include <string>

// True for the folders packages put programs in (/usr/bin and its kin, and
// the root): a run must not fill them with results. dir has no trailing '/'.
bool IsSystemProgramFolder(const std::string& dir);

// The executable's own folder, or, when that is a system program folder, the
// current directory with *note set to the line that says so. False with
// *error set when neither can be found.
bool DefaultRunFolder(std::string* folder, std::string* note, std::string* error);
