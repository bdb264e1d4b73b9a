#include "app/command_line.h"

#include <charconv>

namespace {

bool IsWhite(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsOidKeyword(const std::string& s) {
  return s.size() == 3 && (s[0] | 0x20) == 'o' && (s[1] | 0x20) == 'i' && (s[2] | 0x20) == 'd';
}

// The "oid OID TARGET" form, whose OID and target are taken as they are.
bool IsOidForm(const std::vector<std::string>& args) {
  return args.size() == 3 && IsOidKeyword(args[0]);
}

// The argument as it may be echoed on a terminal: control bytes become '?',
// and a long one is cut.
std::string Printable(std::string_view arg) {
  std::string out(arg.substr(0, 64));
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  if (arg.size() > out.size()) out += "...";
  return out;
}

// A whole number written with digits only, no sign or blanks, that fits.
bool ParseCount(std::string_view text, uint32_t* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseShard(std::string_view text, uint32_t* k, uint32_t* n) {
  const size_t slash = text.find('/');
  if (slash == std::string_view::npos) return false;
  return ParseCount(text.substr(0, slash), k) && ParseCount(text.substr(slash + 1), n) && *k >= 1 &&
         *k <= *n;
}

}  // namespace

bool TakeOptions(std::vector<std::string>* args, RunOptions* options, std::string* error) {
  size_t i = 0;
  bool seen_dir = false, seen_targets = false, seen_shard = false;
  // One option taking a value; false (with the message) when it cannot.
  auto value_of = [&](const std::string& name, bool* seen, std::string* value) {
    if (*seen) {
      *error = name + ": given more than once";
      return false;
    }
    *seen = true;
    if (i + 1 >= args->size()) {
      *error = name + ": a value is missing";
      return false;
    }
    *value = (*args)[++i];
    return true;
  };
  bool ended_by_dashes = false;
  for (; i < args->size(); ++i) {
    const std::string& arg = (*args)[i];
    if (arg.rfind("--", 0) != 0) break;
    if (arg == "--") {
      ++i;
      ended_by_dashes = true;
      break;
    }
    std::string value;
    if (arg == "--dir") {
      if (!value_of(arg, &seen_dir, &options->dir)) return false;
      if (options->dir.empty()) {
        *error = "--dir: the directory name is empty";
        return false;
      }
    } else if (arg == "--targets") {
      if (!value_of(arg, &seen_targets, &options->targets_file)) return false;
      if (options->targets_file.empty()) {
        *error = "--targets: the file name is empty";
        return false;
      }
    } else if (arg == "--shard") {
      if (!value_of(arg, &seen_shard, &value)) return false;
      if (!ParseShard(value, &options->shard, &options->shard_count)) {
        *error = "--shard: expected K/N, whole numbers with 1 <= K <= N";
        return false;
      }
    } else if (arg == "--resume") {
      options->resume = true;
    } else if (arg == "--help") {
      options->help = true;
    } else if (arg == "--version") {
      options->version = true;
    } else {
      *error = Printable(arg) + ": unknown option (see --help)";
      return false;
    }
  }
  args->erase(args->begin(), args->begin() + static_cast<std::ptrdiff_t>(i));
  // No peer name starts with "--": one after the targets is an option in the
  // wrong place, which would otherwise be looked up as a host and its value
  // scanned, with the files written where the option did not send them.
  if (!ended_by_dashes && !IsOidForm(*args)) {
    for (const std::string& arg : *args) {
      if (arg.rfind("--", 0) == 0) {
        *error = "options go before the targets: " + Printable(arg);
        return false;
      }
    }
  }
  return true;
}

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
      if (comma > start)
        cl.targets.push_back(TrimWhite(std::string_view(arg).substr(start, comma - start)));
      start = comma + 1;
    }
    return cl;
  }
  if (IsOidForm(args)) {
    cl.oid = args[1];
    cl.targets.push_back(TrimWhite(args[2]));
    return cl;
  }
  for (const auto& a : args) cl.targets.push_back(TrimWhite(a));
  return cl;
}
