// A reader of Windows-style initialisation files (config.ini) with the
// semantics the program's settings rely on:
//  - section and key names compare without regard to ASCII case;
//  - sections of the same name read as one, and the first matching key wins;
//  - blanks (space, tab) around names and values are ignored;
//  - a value wrapped in matching single or double quotes loses them;
//  - lines whose first non-blank character is ';' are comments; nothing else
//    is (a ';' later in a line belongs to the value);
//  - a UTF-8 byte-order mark and CR-LF line ends are accepted;
//  - text values are cut to 1,023 bytes (and at a NUL byte);
//  - integers: optional sign and the leading decimal digits, else 0; an absent
//    or empty value gives the default.
// Any bytes are accepted; nothing here fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

class Profile {
 public:
  static constexpr size_t kMaxValueBytes = 1023;

  // Parses the text of a file.
  static Profile Parse(std::string_view text);

  // Reads and parses the file at path. A missing or unreadable file gives an
  // empty profile, in which every key takes its default; for one that exists
  // but cannot be read (no permission, not a regular file) *problem, if
  // given, holds the cause, else it is cleared. A FIFO never blocks the read.
  static Profile Load(const std::string& path, std::string* problem = nullptr);

  // The value of section/key, or default_value when the key is absent. A key
  // present with an empty value gives "", not the default.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view default_value) const;

  int GetInt(std::string_view section, std::string_view key, int default_value) const;

  // True when section/key is present, whatever its value.
  bool Has(std::string_view section, std::string_view key) const {
    return Find(section, key) != nullptr;
  }

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  const std::string* Find(std::string_view section, std::string_view key) const;

  // One entry per section name (compared without case), in order of first appearance.
  std::vector<Section> sections_;
  // Lower-cased "section\0key" to the first entry of that key (section and
  // entry index), so that a lookup costs the same however many keys a section
  // holds: the OID_n list is read one key at a time.
  std::unordered_map<std::string, std::pair<size_t, size_t>> first_entry_;
};

// Parses an integer the way the profile functions do: leading blanks, an
// optional sign, then decimal digits up to the first other character; no
// digits gives 0. Out-of-range values wrap modulo 2^32.
int ParseProfileInt(std::string_view text);

enum class WholeNumber { kOk, kNotWhole, kOutOfRange };

// Parses a whole decimal number: an optional sign, then digits only (no
// blanks, exponent, separator or unit). kOutOfRange for one outside
// [minimum, maximum], however many digits it has; *value is set only for kOk.
WholeNumber ParseWholeNumber(std::string_view text, int64_t minimum, int64_t maximum,
                             int64_t* value);
