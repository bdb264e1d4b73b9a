// Conversion of the program's 8-bit texts (in the locale's code set) to UTF-8
// for the result files.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Sets the process locale from the environment (falling back to "C" when the
// environment names a locale that is not installed) and checks that texts of
// its code set can be converted to UTF-8. Main thread, once, before any other
// thread starts. Returns false when no converter exists for the code set.
bool InitTextEncoding();

// The code set in use ("UTF-8" also for the plain C/POSIX locale).
const std::string& LocaleCodeset();

// Converts text from the locale's code set to UTF-8. Never fails and drops
// nothing: every byte that is not part of a valid character becomes U+FFFD.
// Any thread may call it.
std::string LocaleToUtf8(std::string_view text);

// Replaces every byte that does not belong to a well-formed UTF-8 character
// (overlong forms, surrogates and values above U+10FFFF included) with U+FFFD.
std::string SanitizeUtf8(std::string_view text);

}  // namespace platform
