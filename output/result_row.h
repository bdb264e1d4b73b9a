// The rows of one target's result: OID text -> what was stored for it, in the
// order the result file lists them (platform/string_map.h). A row's value
// text lives in the map's own blocks, beside the OIDs: a row costs no
// allocation of its own.
//
// Plain data; one thread fills a map (the scan's own), any thread reads it
// once that is done.
#pragma once

#include <string>
#include <string_view>

#include "platform/string_map.h"

struct ResultRow {
  std::string_view value;      // rendered text, in the locale's code set (in the map's blocks)
  int version = 0;             // SNMP version (1, 2, 3) of the walk that stored it; 0: not known
  const char* type = nullptr;  // SMI name of the value's type (a static text); null: not known
  bool base64 = false;         // value is Base64 of the bytes rather than text
};

// What a result document may add to the designed rows (each opt-in).
class RowNamer {
 public:
  virtual ~RowNamer() = default;
  // Appends the MIB name of the row's OID; false, appending nothing, when no
  // object is known.
  virtual bool Name(std::string_view oid, std::string* out) = 0;
};
struct RowExtras {
  bool value_types = false;   // TYPE (and ENCODING="base64") on VALUE
  RowNamer* namer = nullptr;  // NAME on OID; null: none. One thread's own.
};

// The map of a target's rows. SetAt copies the row's value text into the
// map's blocks, so a row may be given a view of any text that lives until
// SetAt returns.
class ResultRows : public CStringMap<ResultRow> {
 public:
  void SetAt(std::string_view oid, ResultRow row) {
    row.value = Keep(row.value);
    CStringMap<ResultRow>::SetAt(oid, row);
  }
};
