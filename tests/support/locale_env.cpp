#include "support/locale_env.h"

#include <locale.h>

#include <clocale>
#include <cstdlib>

#include "platform/text_encoding.h"
#include "support/test_util.h"

namespace testutil {

ScopedLocaleEnv::ScopedLocaleEnv() {
  for (auto& [name, value, set] : saved_) {
    const char* v = getenv(name);
    set = v != nullptr;
    value = v ? v : "";
  }
}

ScopedLocaleEnv::~ScopedLocaleEnv() {
  for (auto& [name, value, set] : saved_) set ? setenv(name, value.c_str(), 1) : unsetenv(name);
  setlocale(LC_ALL, "C");
  platform::SetTextCodeset("UTF-8");
}

std::string FindOrMakeLatin1Locale(const std::string& dir) {
  for (const char* name :
       {"en_US.ISO-8859-1", "en_US.iso88591", "de_DE.ISO-8859-1", "de_DE.iso88591"})
    if (locale_t l = newlocale(LC_ALL_MASK, name, nullptr)) {
      freelocale(l);
      return name;
    }
  ProcessResult r = RunProcess(
      {"/usr/bin/localedef", "-i", "en_US", "-f", "ISO-8859-1", dir + "/en_US.ISO-8859-1"});
  if (r.exit_code != 0) return "";
  setenv("LOCPATH", dir.c_str(), 1);
  return "en_US.ISO-8859-1";
}

}  // namespace testutil
