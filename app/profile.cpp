#include "app/profile.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include "platform/files.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// "section\0key", lower-cased, as names compare without case.
std::string EntryId(std::string_view section, std::string_view key) {
  std::string id;
  id.reserve(section.size() + 1 + key.size());
  for (char c : section) id.push_back(LowerAscii(c));
  id.push_back('\0');
  for (char c : key) id.push_back(LowerAscii(c));
  return id;
}

}  // namespace

Profile Profile::Parse(std::string_view text) {
  Profile profile;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  Section* current = nullptr;
  std::unordered_map<std::string, size_t> by_lower_name;  // keeps many sections linear
  while (!text.empty()) {
    size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = TrimBlanks(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::string_view name = line.substr(1);
      name = TrimBlanks(name.substr(0, name.find(']')));
      std::string lower(name);
      for (char& c : lower) c = LowerAscii(c);
      auto [it, added] = by_lower_name.emplace(std::move(lower), profile.sections_.size());
      if (added) profile.sections_.push_back(Section{std::string(name), {}});
      current = &profile.sections_[it->second];
      continue;
    }
    size_t eq = line.find('=');
    if (!current || eq == std::string_view::npos) continue;
    std::string_view key = TrimBlanks(line.substr(0, eq));
    std::string_view value = TrimBlanks(line.substr(eq + 1));
    value = value.substr(0, value.find('\0'));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    if (value.size() > kMaxValueBytes) value = value.substr(0, kMaxValueBytes);
    const size_t section_index = static_cast<size_t>(current - profile.sections_.data());
    profile.first_entry_.emplace(
        EntryId(current->name, key),
        std::make_pair(section_index, current->entries.size()));  // first wins
    current->entries.push_back(Entry{std::string(key), std::string(value)});
  }
  return profile;
}

Profile Profile::Load(const std::string& path, std::string* problem) {
  std::string text, why;
  if (!platform::ReadRegularFile(path, &text, &why)) {
    if (problem) *problem = why;
    return Profile{};
  }
  if (problem) problem->clear();
  return Parse(text);
}

const std::string* Profile::Find(std::string_view section, std::string_view key) const {
  auto it = first_entry_.find(EntryId(section, key));
  if (it == first_entry_.end()) return nullptr;
  return &sections_[it->second.first].entries[it->second.second].value;
}

std::string Profile::GetString(std::string_view section, std::string_view key,
                               std::string_view default_value) const {
  const std::string* v = Find(section, key);
  if (!v) return std::string(default_value.substr(0, kMaxValueBytes));
  return *v;
}

int Profile::GetInt(std::string_view section, std::string_view key, int default_value) const {
  const std::string* v = Find(section, key);
  if (!v || v->empty()) return default_value;
  return ParseProfileInt(*v);
}

int ParseProfileInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  if (negative) value = 0u - value;
  return static_cast<int>(value);
}

WholeNumber ParseWholeNumber(std::string_view text, int64_t minimum, int64_t maximum,
                             int64_t* value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return WholeNumber::kNotWhole;
  // Saturates rather than wraps, so that a long number stays out of range.
  constexpr uint64_t kCap = uint64_t{1} << 63;
  uint64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return WholeNumber::kNotWhole;
    magnitude = magnitude > kCap / 10 ? kCap + 1 : magnitude * 10u + static_cast<uint64_t>(c - '0');
  }
  if (magnitude > kCap || (!negative && magnitude == kCap)) return WholeNumber::kOutOfRange;
  const int64_t n = magnitude == kCap ? INT64_MIN
                    : negative        ? -static_cast<int64_t>(magnitude)
                                      : static_cast<int64_t>(magnitude);
  if (n < minimum || n > maximum) return WholeNumber::kOutOfRange;
  *value = n;
  return WholeNumber::kOk;
}
