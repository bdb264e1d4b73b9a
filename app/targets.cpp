#include "app/targets.h"

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
