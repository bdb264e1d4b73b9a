#include "scan/scan_settings.h"

#include <algorithm>

bool ParseVersionList(const std::string& text, std::vector<int>* versions) {
  std::vector<int> parsed;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    std::string item =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const size_t first = item.find_first_not_of(" \t");
    const size_t last = item.find_last_not_of(" \t");
    item = first == std::string::npos ? "" : item.substr(first, last - first + 1);
    int version = 0;
    if (item == "1")
      version = 1;
    else if (item == "2c" || item == "2C")
      version = 2;
    else if (item == "3")
      version = 3;
    if (version == 0 || std::find(parsed.begin(), parsed.end(), version) != parsed.end())
      return false;
    parsed.push_back(version);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *versions = std::move(parsed);
  return true;
}
