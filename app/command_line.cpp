#include "app/command_line.h"

namespace {

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool IsOidKeyword(const std::string& s) {
  return s.size() == 3 && (s[0] | 0x20) == 'o' && (s[1] | 0x20) == 'i' && (s[2] | 0x20) == 'd';
}

}  // namespace

std::string TrimWhite(std::string_view s) {
  while (!s.empty() && IsWhite(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsWhite(s.back())) s.remove_suffix(1);
  return std::string(s);
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  if (args.empty()) return cl;
  if (args.size() == 1) {
    const std::string& arg = args[0];
    if (arg.find(',') == std::string::npos) {
      cl.targets.push_back(TrimWhite(arg));
      return cl;
    }
    size_t start = 0;
    while (start <= arg.size()) {
      size_t comma = arg.find(',', start);
      if (comma == std::string::npos) comma = arg.size();
      if (comma > start) cl.targets.push_back(TrimWhite(std::string_view(arg).substr(start, comma - start)));
      start = comma + 1;
    }
    return cl;
  }
  if (args.size() == 3 && IsOidKeyword(args[0])) {
    cl.oid = args[1];
    cl.targets.push_back(TrimWhite(args[2]));
    return cl;
  }
  for (const auto& a : args) cl.targets.push_back(TrimWhite(a));
  return cl;
}
