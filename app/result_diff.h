// mibscan --diff: what changed between two scans, read from their result
// files, as CSV.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

struct DiffRequest {
  std::string old_path;  // a folder of result files, or one result file
  std::string new_path;  // the same kind as old_path
  bool all = false;      // --all: volatile rows too
};

// Whether the arguments (program name excluded) ask for a comparison:
// "--diff" first, or "--all" then "--diff".
bool IsDiffCommand(const std::vector<std::string>& args);

// Reads "--diff [--all] [--] OLD NEW" ("--all" may also come first). False
// with a one-line message when anything else is given.
bool ParseDiffArguments(const std::vector<std::string>& args, DiffRequest* request,
                        std::string* error);

// Compares as the README describes: the CSV on out, a line per unreadable
// folder or file and the closing line on err. Returns diff(1)'s exit code:
// 0 nothing changed, 1 changes, 2 trouble (which wins over changes). Holds at
// most one target's two files at a time.
int RunDiff(const DiffRequest& request, FILE* out, FILE* err);

// "--diff ..." from the command line to the exit code; a refused command
// line is trouble (2).
int RunDiffCommand(const std::vector<std::string>& args);

// Orders OIDs arc by arc: numeric arcs by value, before any other arc, which
// go by bytes; a prefix first; equal arcs written differently ("01", "1") by
// their bytes. Negative, zero or positive as a is before, equal to or after b.
int CompareOids(std::string_view a, std::string_view b);
