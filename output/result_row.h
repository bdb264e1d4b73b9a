// The rows of one target's result: OID text -> what was stored for it, in the
// order the result file lists them (platform/string_map.h).
//
// Plain data; one thread fills a map (the scan's own), any thread reads it
// once that is done.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/string_map.h"

struct ResultRow {
  std::string_view value;      // rendered text, in the locale's code set
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

// The rows of a target, in the file's order. Small: the OID and the value
// text of a row lie one behind the other in the map's blocks, with a node of
// 32 bytes beside them; the rows are the bulk of a scan's memory. Not
// thread-safe: one thread fills it, any thread reads it once that is done.
class ResultRows {
 public:
  size_t GetCount() const { return map_.GetCount(); }
  bool IsEmpty() const { return map_.IsEmpty(); }

  // Adds the row at the head of its OID's bucket, or replaces the row of the
  // OID in place; the value's text is copied, so it need only live until
  // the call returns. A map takes up to 65,535 distinct type names (the
  // renderer has ten); a row of a further one has none (null).
  void SetAt(std::string_view oid, const ResultRow& row) {
    if (row.value.size() > UINT32_MAX) throw std::length_error("ResultRows: value too long");
    map_.SetAt(oid,
               Packed{static_cast<uint32_t>(row.value.size()), row.version, TypeIndex(row.type),
                      row.base64},
               row.value);
  }

  // The row of oid; none when absent. Its value stays valid as long as the map.
  std::optional<ResultRow> Find(std::string_view oid) const {
    std::string_view stored;
    const Packed* packed = map_.Find(oid, &stored);
    if (!packed) return std::nullopt;
    return Unpacked(stored, *packed);
  }

  // Calls fn(oid, row) for every row in the file's order; the views stay
  // valid as long as the map.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    map_.ForEach([&](std::string_view oid, const Packed& packed) {
      const ResultRow row = Unpacked(oid, packed);
      fn(oid, row);
    });
  }

 private:
  struct Packed {
    uint32_t value_size;  // the value's text lies behind the OID
    int version;
    uint16_t type;  // 1 + index into types_; 0: none
    bool base64;
  };

  uint16_t TypeIndex(const char* type) {
    if (!type) return 0;
    for (size_t i = 0; i < types_.size(); ++i)
      if (types_[i] == type) return static_cast<uint16_t>(i + 1);
    for (size_t i = 0; i < types_.size(); ++i)
      if (strcmp(types_[i], type) == 0) return static_cast<uint16_t>(i + 1);
    if (types_.size() >= UINT16_MAX) return 0;
    types_.push_back(type);
    return static_cast<uint16_t>(types_.size());
  }
  ResultRow Unpacked(std::string_view oid, const Packed& packed) const {
    return ResultRow{CStringMap<Packed>::TailOf(oid, packed.value_size), packed.version,
                     packed.type ? types_[packed.type - 1] : nullptr, packed.base64};
  }

  CStringMap<Packed> map_;
  std::vector<const char*> types_;  // static texts, each once
};
