// FNV-1a, 64-bit, over the bytes of text: offset basis 14695981039346656037,
// prime 1099511628211, each byte XORed in before the multiply. Fixed by
// definition, so every machine, process and build agrees on it (shards of a
// target list, hashed result-file names). Any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

inline uint64_t Fnv1a64(std::string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : text) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return hash;
}

}  // namespace platform
