// Splits the input at NUL bytes into arguments (none for an empty input) and
// checks what the command-line forms promise about the resulting targets.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "fuzz/fuzz_check.h"

namespace {

bool IsWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsOid(const std::string& s) {
  return s.size() == 3 && (s[0] == 'o' || s[0] == 'O') && (s[1] == 'i' || s[1] == 'I') &&
         (s[2] == 'd' || s[2] == 'D');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args;
  if (!input.empty()) {
    for (;;) {
      size_t nul = input.find('\0');
      args.emplace_back(input.substr(0, nul));
      if (nul == std::string_view::npos) break;
      input.remove_prefix(nul + 1);
    }
  }

  CommandLine cl = ParseCommandLine(args);

  for (const auto& t : cl.targets) {
    FUZZ_CHECK(t.empty() || (!IsWhite(t.front()) && !IsWhite(t.back())));
    FUZZ_CHECK(TrimWhite(t) == t);
  }
  const bool oid_form = args.size() == 3 && IsOid(args[0]);
  if (oid_form) {
    FUZZ_CHECK(cl.oid == args[1]);
    FUZZ_CHECK(cl.targets.size() == 1 && cl.targets[0] == TrimWhite(args[2]));
  } else {
    FUZZ_CHECK(cl.oid.empty());
  }
  if (args.empty()) FUZZ_CHECK(cl.targets.empty());
  if (args.size() == 1) {
    const std::string& arg = args[0];
    if (arg.find(',') == std::string::npos) {
      FUZZ_CHECK(cl.targets.size() == 1 && cl.targets[0] == TrimWhite(arg));
    } else {
      size_t tokens = 0;  // non-empty pieces between commas
      size_t start = 0;
      for (size_t comma; (comma = arg.find(',', start)) != std::string::npos; start = comma + 1)
        tokens += comma > start;
      tokens += arg.size() > start;
      FUZZ_CHECK(cl.targets.size() == tokens);
      size_t from = 0;  // each target appears in the argument, in order
      for (const auto& t : cl.targets) {
        FUZZ_CHECK(t.find(',') == std::string::npos);
        size_t at = arg.find(t, from);
        FUZZ_CHECK(at != std::string::npos);
        from = at + t.size();
      }
    }
  }
  if (args.size() >= 2 && !oid_form) {
    FUZZ_CHECK(cl.targets.size() == args.size());
    for (size_t i = 0; i < args.size(); ++i)
      FUZZ_CHECK(args[i].find(cl.targets[i]) != std::string::npos);
  }
  return 0;
}
