#include "scan/start_oid.h"

#include <cstdint>

namespace {

// The C library's atoi as the walk relies on it: white space, an optional
// sign and decimal digits, saturating at the limits of a 32-bit int (glibc's
// atoi truncates instead). Reads [text, end).
int SaturatingAtoi(const char* text, const char* end) {
  const char* p = text;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  long long value = 0;
  const long long limit = negative ? 2147483648LL : 2147483647LL;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) value = limit;  // stays saturated; no overflow
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

int ParseStartOid(const char* text, oid* ids, int capacity) {
  int count = 0;
  const char* p = text;
  for (;;) {
    while (*p == '.') ++p;
    if (!*p) break;
    const char* start = p;
    while (*p && *p != '.') ++p;
    if (count < capacity) ids[count] = static_cast<uint32_t>(SaturatingAtoi(start, p));
    ++count;
  }
  return count;
}
