// The rows of one target's result: OID text -> what was stored for it, in the
// order the result file lists them (platform/string_map.h).
//
// Plain data; one thread fills a map (the scan's own), any thread reads it
// once that is done.
#pragma once

#include <string>

#include "platform/string_map.h"

struct ResultRow {
  std::string value;  // rendered text, in the locale's code set
  int version = 0;    // SNMP version (1, 2, 3) of the walk that stored it; 0: not known
};

using ResultRows = CStringMap<ResultRow>;
