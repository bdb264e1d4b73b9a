// The command-line forms: which arguments become which targets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct CommandLine {
  std::vector<std::string> targets;  // in command-line order; entries may be empty
  std::string oid;                   // the "oid" form's OID, unchanged; else empty
};

// Turns the arguments (program name excluded) into the target list, by their
// number alone:
//   none                    -> no targets
//   1 with a ','            -> split at ',', empty tokens skipped, each trimmed
//   1 without a ','         -> that argument, trimmed
//   3, the first "oid" (any case) -> one target (the third, trimmed); the
//                              second is the OID, not trimmed
//   any other number        -> every argument, trimmed, unsplit
// Never fails; nothing is validated or de-duplicated.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// The options that may come before the command-line forms above.
struct RunOptions {
  std::string dir;           // --dir DIR, as given; empty: the executable's directory
  std::string targets_file;  // --targets FILE; "-" is standard input; empty: none
  uint32_t shard = 0;        // --shard K/N: K (1 <= K <= N); 0 when not given
  uint32_t shard_count = 0;  // N; 0 when not given
  bool resume = false;       // --resume: scan only what earlier runs left undone
  bool help = false;         // --help
  bool version = false;      // --version
};

// Takes the options off the front of *args, leaving the arguments that follow
// them for ParseCommandLine. Only arguments before the first one that does
// not start with "--" are options; "--" ends them and is removed, and only
// after it may a target start with "--". Each option is recognised in exactly
// the spellings of RunOptions (no "=VALUE" forms) and may be given once.
// Returns false with a one-line message naming the option (unknown, given
// twice, value missing or malformed, or an argument starting with "--" among
// the targets, except the "oid" form's own), *args then unspecified. The
// directory and the file are not looked at here.
bool TakeOptions(std::vector<std::string>* args, RunOptions* options, std::string* error);

// Removes leading and trailing space, \t, \n, \v, \f and \r.
std::string TrimWhite(std::string_view s);
