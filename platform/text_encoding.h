// Conversion of the program's 8-bit texts (in the locale's code set) to UTF-8
// for the result files, and the clean-up that keeps any text storable in XML.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Sets the process locale from the environment (falling back to "C" when the
// environment names a locale that is not installed) and selects its code set
// for LocaleToUtf8. Main thread, once, before any other thread starts.
// Returns false when no converter exists for the code set.
bool InitTextEncoding();

// Selects the code set LocaleToUtf8 converts from, as InitTextEncoding does
// with the locale's. "UTF-8", the C locale's "ANSI_X3.4-1968" and the empty
// name select UTF-8. Returns false, keeping the previous selection, when iconv
// cannot convert from it. Only while no other thread converts.
bool SetTextCodeset(const std::string& codeset);

// The code set in use ("UTF-8" also for the plain C/POSIX locale).
const std::string& LocaleCodeset();

// Converts text from the selected code set to UTF-8. Never fails and drops
// nothing: every byte that is not part of a valid character becomes U+FFFD.
// That replacement guards texts of unknown origin; values an agent sent are
// checked with IsXmlTextOfCodeset first and never take it. Any thread.
std::string LocaleToUtf8(std::string_view text);

// LocaleToUtf8 without a copy where none is needed: returns text itself when
// the conversion leaves it unchanged (pure ASCII, or well-formed UTF-8 in a
// UTF-8 locale), else converts into *storage and returns a view of it. The
// view lives as long as text and *storage; storage must not hold text.
std::string_view LocaleToUtf8View(std::string_view text, std::string* storage);

// SanitizeXmlTextView(LocaleToUtf8View(text)) in one: the text as an XML
// text or attribute value holds it, without a copy where none is needed (a
// printable ASCII text, the most common, is checked in one pass). The view
// lives as long as text and *storage; storage must not hold text. Any thread.
std::string_view LocaleToXmlTextView(std::string_view text, std::string* storage);

// True when every byte of text belongs to a character of the selected code
// set and XML 1.0 allows every one of those characters (for UTF-8: well-formed,
// no controls but tab, LF and CR, no U+FFFE or U+FFFF). Such a text passes
// LocaleToUtf8 and SanitizeXmlText unchanged but for the conversion, so it
// reaches a result file whole. Any thread.
bool IsXmlTextOfCodeset(std::string_view text);

// Replaces every byte that does not belong to a well-formed UTF-8 character
// (overlong forms, surrogates and values above U+10FFFF included) with U+FFFD.
std::string SanitizeUtf8(std::string_view text);

// SanitizeUtf8, and in addition every character that XML 1.0 does not allow
// (controls other than tab, LF and CR; U+FFFE; U+FFFF) becomes U+FFFD, so the
// result can stand in any XML text or attribute value. Any thread.
std::string SanitizeXmlText(std::string_view text);

// SanitizeXmlText returning text itself when it is already clean, else a
// view of the cleaned copy made in *storage (which must not hold text).
std::string_view SanitizeXmlTextView(std::string_view text, std::string* storage);

}  // namespace platform
