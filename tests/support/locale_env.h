// Locales for the tests that run under a chosen code set.
#pragma once

#include <string>
#include <tuple>

namespace testutil {

// Restores LC_ALL and LOCPATH, the C locale and the UTF-8 text code set when
// it goes.
class ScopedLocaleEnv {
 public:
  ScopedLocaleEnv();
  ~ScopedLocaleEnv();
  ScopedLocaleEnv(const ScopedLocaleEnv&) = delete;
  ScopedLocaleEnv& operator=(const ScopedLocaleEnv&) = delete;

 private:
  std::tuple<const char*, std::string, bool> saved_[2] = {{"LC_ALL", "", false},
                                                          {"LOCPATH", "", false}};
};

// A Latin-1 locale: an installed one, or one compiled into dir with
// localedef (needs the locales package's sources), in which case LOCPATH is
// set to dir. Empty when neither works.
std::string FindOrMakeLatin1Locale(const std::string& dir);

}  // namespace testutil
