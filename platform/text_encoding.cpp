#include "platform/text_encoding.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstring>

namespace platform {
namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

std::string g_codeset = "UTF-8";
bool g_utf8 = true;
bool g_ascii_compatible = true;  // of g_codeset, when it is not UTF-8
unsigned g_selection = 0;        // counts code set selections, for the converters

// Each thread's converter from g_codeset, opened on first use and again after
// another code set is selected; closed when the thread ends.
class ThreadConverter {
 public:
  ~ThreadConverter() { Close(); }
  // The converter in its initial state; (iconv_t)-1 when iconv has none.
  iconv_t Get() {
    if (selection_ != g_selection || cd_ == kNone) {
      Close();
      cd_ = iconv_open("UTF-8", g_codeset.c_str());
      selection_ = g_selection;
    } else {
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return cd_;
  }

 private:
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);
  void Close() {
    if (cd_ != kNone) iconv_close(cd_);
    cd_ = kNone;
  }
  iconv_t cd_ = kNone;
  unsigned selection_ = 0;
};

bool IsUtf8Name(const char* name) {
  return strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0 ||
         // The C and POSIX locales report ASCII; their bytes are taken as UTF-8.
         strcmp(name, "ANSI_X3.4-1968") == 0;
}

// Length of the well-formed UTF-8 character at s, or 0 when it is not one.
size_t Utf8CharLength(std::string_view s) {
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  auto cont = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
    if (c == 0xF4 && b(1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

// Code point of the well-formed UTF-8 character of n bytes at s.
uint32_t DecodeUtf8(const char* s, size_t n) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i])); };
  switch (n) {
    case 1:
      return b(0);
    case 2:
      return (b(0) & 0x1F) << 6 | (b(1) & 0x3F);
    case 3:
      return (b(0) & 0x0F) << 12 | (b(1) & 0x3F) << 6 | (b(2) & 0x3F);
    default:
      return (b(0) & 0x07) << 18 | (b(1) & 0x3F) << 12 | (b(2) & 0x3F) << 6 | (b(3) & 0x3F);
  }
}

// XML 1.0 Char, for code points that are already valid scalar values.
bool IsXmlChar(uint32_t c) {
  if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
  return c != 0xFFFE && c != 0xFFFF;
}

// True when the 8 bytes at s are all in 0x20..0x7F, tested at once.
bool IsPrintableAscii8(const char* s) {
  uint64_t w;
  memcpy(&w, s, 8);
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  // A byte below 0x20 borrows into its high bit when 0x20 is taken away
  // (bytes of 0x80 and up are caught by the first test).
  return (w & kHigh) == 0 && ((w - 0x2020202020202020ull) & kHigh) == 0;
}

// Position of the first character at or after from that keep refuses, or of
// the first byte that starts no well-formed character; npos when there is
// none. *length is how many bytes that character or byte takes.
template <class Keep>
size_t FindRefused(std::string_view text, size_t from, Keep keep, size_t* length) {
  size_t i = from;
  while (i < text.size()) {
    if (i + 8 <= text.size() && IsPrintableAscii8(text.data() + i)) {
      i += 8;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x80) {  // printable ASCII: always kept
      ++i;
      continue;
    }
    size_t n = Utf8CharLength(text.substr(i));
    if (n != 0 && keep(DecodeUtf8(text.data() + i, n))) {
      i += n;
      continue;
    }
    *length = n == 0 ? 1 : n;
    return i;
  }
  return std::string_view::npos;
}

// The text itself when every character passes keep; otherwise its copy in
// *storage with each failing character or ill-formed byte as U+FFFD.
template <class Keep>
std::string_view Sanitize(std::string_view text, Keep keep, std::string* storage) {
  size_t length = 0;
  size_t bad = FindRefused(text, 0, keep, &length);
  if (bad == std::string_view::npos) return text;
  storage->clear();
  storage->reserve(text.size() + 8);
  size_t run = 0;  // start of the good characters not yet copied
  while (bad != std::string_view::npos) {
    storage->append(text.data() + run, bad - run);
    *storage += kReplacement;
    run = bad + length;
    bad = FindRefused(text, run, keep, &length);
  }
  storage->append(text.data() + run, text.size() - run);
  return *storage;
}

bool KeepAny(uint32_t) { return true; }

// True when iconv turns each byte 0x00..0x7F of the code set into the same
// ASCII character, so pure-ASCII texts need no conversion.
bool AsciiCompatible(iconv_t cd) {
  char in[128], out[512];
  for (int b = 0; b < 128; ++b) in[b] = static_cast<char>(b);
  char* ip = in;
  char* op = out;
  size_t in_left = sizeof in, out_left = sizeof out;
  if (iconv(cd, &ip, &in_left, &op, &out_left) == static_cast<size_t>(-1) || in_left != 0)
    return false;
  if (iconv(cd, nullptr, nullptr, &op, &out_left) == static_cast<size_t>(-1)) return false;
  return static_cast<size_t>(op - out) == sizeof in && memcmp(in, out, sizeof in) == 0;
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text)
    if (c >= 0x80) return false;
  return true;
}

// Converts text from the selected code set (not UTF-8) into *out. A byte that
// starts no character becomes U+FFFD and the conversion goes on, or, when
// strict, ends it with false. Also false when iconv has no converter.
bool IconvToUtf8(std::string_view text, bool strict, std::string* out) {
  thread_local ThreadConverter converter;
  iconv_t cd = converter.Get();
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out->clear();
  out->reserve(text.size() * 2);
  char buf[1024];
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  bool ok = true;
  while (in_left > 0) {
    char* o = buf;
    size_t o_left = sizeof buf;
    size_t rc = iconv(cd, &in, &in_left, &o, &o_left);
    out->append(buf, static_cast<size_t>(o - buf));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      // EILSEQ or EINVAL: this byte starts no character.
      if (strict) {
        ok = false;
        break;
      }
      *out += kReplacement;
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  if (ok) {
    char* o = buf;
    size_t o_left = sizeof buf;
    if (iconv(cd, nullptr, nullptr, &o, &o_left) == static_cast<size_t>(-1) && strict) ok = false;
    out->append(buf, static_cast<size_t>(o - buf));
  }
  return ok;
}

}  // namespace

bool InitTextEncoding() {
  if (!setlocale(LC_ALL, "")) setlocale(LC_ALL, "C");
  const char* cs = nl_langinfo(CODESET);
  return SetTextCodeset(cs ? cs : "");
}

bool SetTextCodeset(const std::string& codeset) {
  if (codeset.empty() || IsUtf8Name(codeset.c_str())) {
    g_codeset = "UTF-8";
    g_utf8 = true;
    return true;
  }
  iconv_t cd = iconv_open("UTF-8", codeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  g_ascii_compatible = AsciiCompatible(cd);
  iconv_close(cd);
  g_codeset = codeset;
  g_utf8 = false;
  ++g_selection;
  return true;
}

const std::string& LocaleCodeset() { return g_codeset; }

std::string SanitizeUtf8(std::string_view text) {
  std::string storage;
  return std::string(Sanitize(text, KeepAny, &storage));
}

std::string SanitizeXmlText(std::string_view text) {
  std::string storage;
  return std::string(SanitizeXmlTextView(text, &storage));
}

std::string_view SanitizeXmlTextView(std::string_view text, std::string* storage) {
  return Sanitize(text, IsXmlChar, storage);
}

std::string LocaleToUtf8(std::string_view text) {
  std::string storage;
  return std::string(LocaleToUtf8View(text, &storage));
}

std::string_view LocaleToUtf8View(std::string_view text, std::string* storage) {
  if (g_utf8) return Sanitize(text, KeepAny, storage);
  if (g_ascii_compatible && IsAscii(text)) return text;
  if (!IconvToUtf8(text, false, storage)) return Sanitize(text, KeepAny, storage);
  return *storage;
}

std::string_view LocaleToXmlTextView(std::string_view text, std::string* storage) {
  if (g_utf8 || g_ascii_compatible) {
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8)
      if (!IsPrintableAscii8(text.data() + i)) break;
    for (; i < text.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x80) break;
    }
    if (i == text.size()) return text;
  }
  std::string utf8;
  const std::string_view converted = LocaleToUtf8View(text, &utf8);
  const std::string_view clean = SanitizeXmlTextView(converted, storage);
  if (clean.empty() || clean.data() != utf8.data()) return clean;
  *storage = std::move(utf8);  // converted, and clean as it is
  return *storage;
}

bool IsXmlTextOfCodeset(std::string_view text) {
  size_t length;
  if (g_utf8 || (g_ascii_compatible && IsAscii(text)))
    return FindRefused(text, 0, IsXmlChar, &length) == std::string_view::npos;
  std::string utf8;
  return IconvToUtf8(text, true, &utf8) &&
         FindRefused(utf8, 0, IsXmlChar, &length) == std::string_view::npos;
}

}  // namespace platform
