// Feeds arbitrary bytes to the config.ini reader and reads every key the
// program reads, through the same code path as a run.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/config.h"
#include "app/profile.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return u;
}

// The profile's contract for one key, checked against itself.
void CheckKey(const Profile& p, std::string_view section, std::string_view key) {
  static const std::string kAbsent =
      "\x01"
      "absent";
  std::string value = p.GetString(section, key, kAbsent);
  FUZZ_CHECK(value.size() <= Profile::kMaxValueBytes);
  FUZZ_CHECK(value.find('\0') == std::string::npos);
  FUZZ_CHECK(p.GetString(Upper(section), Upper(key), kAbsent) == value);
  int a = p.GetInt(section, key, 7);
  int b = p.GetInt(section, key, 8);
  if (a != b) {
    FUZZ_CHECK(value == kAbsent ||
               value.empty());  // only an absent or empty value takes the default
  } else {
    FUZZ_CHECK(a == ParseProfileInt(value));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Profile p = Profile::Parse(std::string_view(reinterpret_cast<const char*>(data), size));

  const RunConfig config = ReadRunConfig(p);
  const int timeout = p.GetInt("Config", "Timeout", 500);
  FUZZ_CHECK(config.scan.timeout_us ==
             (timeout > 0 ? timeout : 500));  // no usable time: the default
  const int retry = p.GetInt("Config", "Retry", 3);
  FUZZ_CHECK(config.scan.retries == (retry >= 0 ? retry : 3));  // a negative count: the default
  FUZZ_CHECK(config.log_enabled == (p.GetInt("Config", "Log", 0) == 1));
  FUZZ_CHECK(config.scan.community.size() <= Profile::kMaxValueBytes);
  for (size_t i = 0; i < config.scan.oids.size(); ++i) {
    FUZZ_CHECK(config.scan.oids[i].find('.') != std::string::npos);
    FUZZ_CHECK(config.scan.oids[i].size() <= Profile::kMaxValueBytes);
  }

  for (const char* key : {"Timeout", "Retry", "Log", "Community"}) CheckKey(p, "Config", key);
  for (int n = 1; n <= 8; ++n) CheckKey(p, "Target", "OID_" + std::to_string(n));
  return 0;
}
