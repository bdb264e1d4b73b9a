// The command-line forms: which arguments become which targets.
#pragma once

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

// Removes leading and trailing space, \t, \n, \v, \f and \r.
std::string TrimWhite(std::string_view s);
