#include "app/targets.h"

#include <set>
#include <unordered_set>

#include "app/target_list.h"

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string EscapeControlCharacters(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    switch (c) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (IsControl(c)) {
          char hex[5];
          snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::vector<std::string> UsableTargets(const std::vector<std::string>& targets, FILE* err) {
  std::vector<std::string> usable;
  usable.reserve(targets.size());
  for (const auto& target : targets) {
    if (target.empty()) {
      fputs("mibscan: empty target skipped\n", err);
      continue;
    }
    bool control = false;
    for (unsigned char c : target) control = control || IsControl(c);
    if (control) {
      fprintf(err, "mibscan: target \"%s\" refused: it holds control characters\n",
              EscapeControlCharacters(target).c_str());
      continue;
    }
    usable.push_back(target);
  }
  return usable;
}

void ReportAccountsWithoutTarget(const std::string& path, const std::vector<std::string>& ips,
                                 const std::vector<std::string>& targets, uint32_t shard,
                                 uint32_t shard_count, FILE* err) {
  constexpr size_t kNamed = 5;
  const std::unordered_set<std::string> wanted(targets.begin(), targets.end());
  std::set<std::string> counted;
  std::string named;
  for (const std::string& ip : ips) {
    if (wanted.count(ip) != 0) continue;
    if (shard_count > 0 && ShardOf(ip, shard_count) != shard) continue;
    if (!counted.insert(ip).second) continue;
    if (counted.size() <= kNamed)
      named += (counted.size() > 1 ? ", " : "") + EscapeControlCharacters(ip);
  }
  if (counted.empty()) return;
  if (counted.size() > kNamed) named += ", ...";
  fprintf(err,
          "mibscan: accounts file \"%s\": %zu %s no target (matched byte for byte, quotes "
          "included): %s\n",
          path.c_str(), counted.size(), counted.size() == 1 ? "ip matches" : "ips match",
          named.c_str());
}
