// A list of strings that can sort itself without regard to letter case; the
// log pruning orders rotated file names with it.
#pragma once

#include <string>
#include <vector>

class CSortStringArray : public std::vector<std::string> {
 public:
  using std::vector<std::string>::vector;
  ~CSortStringArray() = default;

  // Orders the elements ascending, comparing bytes with ASCII letters folded
  // to lower case (so "_" sorts before letters, digits before both); equal
  // elements keep their order. Never fails. Not thread-safe.
  void Sort();
};
