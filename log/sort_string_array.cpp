#include "log/sort_string_array.h"

#include <algorithm>

namespace {

unsigned char FoldCase(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

int CompareNoCase(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = FoldCase(static_cast<unsigned char>(a[i]));
    unsigned char y = FoldCase(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

void CSortStringArray::Sort() {
  std::stable_sort(begin(), end(), [](const std::string& a, const std::string& b) {
    return CompareNoCase(a, b) < 0;
  });
}
