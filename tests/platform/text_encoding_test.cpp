#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

class TextEncodingTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetTextCodeset("UTF-8"); }
};

// UTF-8 of a code point, written out independently of the code under test.
std::string Utf8(uint32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | c >> 6);
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | c >> 12);
    s += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

TEST(SanitizeUtf8, EveryIllFormedByteBecomesOneReplacement) {
  struct Case {
    const char* name;
    std::string in, out;
  };
  const Case cases[] = {
      {"ascii and well-formed kept", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"lone continuation", "\x80x", kFffd + "x"},
      {"overlong two bytes", "\xC0\x80", kFffd + kFffd},
      {"overlong three bytes", "\xE0\x80\xAF", kFffd + kFffd + kFffd},
      {"overlong four bytes", "\xF0\x80\x80\xAF", kFffd + kFffd + kFffd + kFffd},
      {"surrogate", "\xED\xBF\xBF", kFffd + kFffd + kFffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
      {"F5 lead", "\xF5\x80", kFffd + kFffd},
      {"truncated then ascii",
       "\xE2\x82"
       "a",
       kFffd + kFffd + "a"},
      {"NUL and controls are characters here", std::string("\0\x01\xEF\xBF\xBF", 5),
       std::string("\0\x01\xEF\xBF\xBF", 5)},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::SanitizeUtf8(c.in), c.out) << c.name;
}

TEST(SanitizeXmlText, OnlyXmlCharactersSurvive) {
  std::string all_controls;
  std::string expected;
  for (int c = 0; c < 0x20; ++c) {
    all_controls += static_cast<char>(c);
    expected += (c == 9 || c == 10 || c == 13) ? std::string(1, static_cast<char>(c)) : kFffd;
  }
  EXPECT_EQ(platform::SanitizeXmlText(all_controls), expected);
  struct Case {
    const char* name;
    std::string in, out;
  };
  const Case cases[] = {
      {"U+FFFE and U+FFFF", "\xEF\xBF\xBE\xEF\xBF\xBF", kFffd + kFffd},
      {"neighbours kept", "\xEF\xBF\xBD\xEF\xBF\xBC\xEE\x80\x80\xED\x9F\xBF",
       "\xEF\xBF\xBD\xEF\xBF\xBC\xEE\x80\x80\xED\x9F\xBF"},
      {"DEL and C1 kept", "\x7F\xC2\x80\xC2\x9F", "\x7F\xC2\x80\xC2\x9F"},
      {"planes above the BMP kept", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
       "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {"ill-formed bytes too",
       "a\xFF"
       "b",
       "a" + kFffd + "b"},
      {"markup untouched", "<&>\"'", "<&>\"'"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::SanitizeXmlText(c.in), c.out) << c.name;
}

TEST_F(TextEncodingTest, Latin1EveryByteAcrossBufferBoundaries) {
  ASSERT_TRUE(platform::SetTextCodeset("ISO-8859-1"));
  EXPECT_EQ(platform::LocaleCodeset(), "ISO-8859-1");
  std::string in, want;
  for (int round = 0; round < 12; ++round)  // output well past one conversion buffer
    for (int b = 0; b < 256; ++b) {
      in += static_cast<char>(b);
      want += Utf8(static_cast<uint32_t>(b));
    }
  EXPECT_EQ(platform::LocaleToUtf8(in), want);
}

TEST_F(TextEncodingTest, InvalidBytesBecomeReplacementsNothingDropped) {
  struct Case {
    const char* name;
    const char* codeset;
    std::string in, out;
  };
  const std::string euro = "\xE2\x82\xAC";
  const Case cases[] = {
      {"CP1252 undefined byte", "CP1252",
       "a\x80\x81"
       "b",
       "a" + euro + kFffd + "b"},
      {"CP932 character", "CP932", "\x82\xA0", "\xE3\x81\x82"},
      {"CP932 bad trail byte", "CP932", "\x82\x20x", kFffd + " x"},
      {"CP932 lead byte at the end", "CP932", "ab\x82", "ab" + kFffd},
      {"UTF-8 passes through sanitised", "UTF-8", "\xC3\xA9\xE9", "\xC3\xA9" + kFffd},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(platform::SetTextCodeset(c.codeset)) << c.name;
    EXPECT_EQ(platform::LocaleToUtf8(c.in), c.out) << c.name;
  }
  // An invalid byte right where the output buffer fills up.
  ASSERT_TRUE(platform::SetTextCodeset("CP1252"));
  for (size_t pad : {1022u, 1023u, 1024u, 1025u}) {
    const std::string in = std::string(pad, 'x') + "\x81" + "\x80" + std::string(pad, 'y');
    EXPECT_EQ(platform::LocaleToUtf8(in),
              std::string(pad, 'x') + kFffd + euro + std::string(pad, 'y'))
        << pad;
  }
}

TEST_F(TextEncodingTest, CodesetSelection) {
  ASSERT_TRUE(platform::SetTextCodeset("ISO-8859-1"));
  EXPECT_FALSE(platform::SetTextCodeset("NO-SUCH-CODESET"));
  EXPECT_EQ(platform::LocaleCodeset(), "ISO-8859-1");  // kept
  for (const char* utf8 : {"UTF-8", "utf8", "ANSI_X3.4-1968", ""}) {
    ASSERT_TRUE(platform::SetTextCodeset("ISO-8859-1"));
    EXPECT_TRUE(platform::SetTextCodeset(utf8)) << utf8;
    EXPECT_EQ(platform::LocaleCodeset(), "UTF-8") << utf8;
    EXPECT_EQ(platform::LocaleToUtf8("\xE9"), kFffd) << utf8;
  }
}

TEST_F(TextEncodingTest, LocaleFromEnvironment) {
  const char* old = getenv("LC_ALL");
  const std::string saved = old ? old : "";
  for (const char* env : {"C", "POSIX", "C.UTF-8", "xx_NOT.INSTALLED"}) {
    ASSERT_TRUE(platform::SetTextCodeset("ISO-8859-1"));
    setenv("LC_ALL", env, 1);
    EXPECT_TRUE(platform::InitTextEncoding()) << env;
    EXPECT_EQ(platform::LocaleCodeset(), "UTF-8") << env;
  }
  if (old)
    setenv("LC_ALL", saved.c_str(), 1);
  else
    unsetenv("LC_ALL");
  setlocale(LC_ALL, "C");
}

// Texts that need no change come back as themselves; any other comes back
// from the storage. The byte to replace is put at every position of a text
// longer than a few 8-byte blocks, so each block and each tail position is
// checked.
TEST_F(TextEncodingTest, ViewsCopyOnlyWhatChanges) {
  const std::string base = "1.3.6.1.2.1.2.2.1.2.17 <a & b> \r\n\t";
  std::string storage;
  for (const std::string& clean : {std::string(), base, std::string("\x7F caf\xC3\xA9")}) {
    EXPECT_EQ(platform::SanitizeXmlTextView(clean, &storage).data(), clean.data()) << clean;
    EXPECT_EQ(platform::LocaleToUtf8View(clean, &storage).data(), clean.data()) << clean;
  }
  struct Bad {
    char byte;
    bool xml_only;  // well-formed UTF-8, refused by XML alone
  };
  for (const Bad bad : {Bad{'\x01', true}, Bad{'\x1F', true}, Bad{'\0', true}, Bad{'\x80', false},
                        Bad{'\xFF', false}})
    for (size_t pos = 0; pos < base.size(); ++pos) {
      std::string in = base;
      in[pos] = bad.byte;
      std::string want = base;
      want.replace(pos, 1, kFffd);
      EXPECT_EQ(platform::SanitizeXmlTextView(in, &storage), want)
          << int(bad.byte) << " at " << pos;
      EXPECT_EQ(platform::SanitizeXmlText(in), want) << int(bad.byte) << " at " << pos;
      EXPECT_EQ(platform::LocaleToUtf8View(in, &storage), bad.xml_only ? in : want)
          << int(bad.byte) << " at " << pos;
    }
}

// Pure ASCII passes unconverted only through code sets that keep ASCII as it
// is; others convert it like any text.
TEST_F(TextEncodingTest, AsciiShortcutOnlyForAsciiCompatibleCodesets) {
  struct Case {
    const char* codeset;
    std::string in, out;
  };
  const Case cases[] = {
      {"ISO-8859-1", "public 1.3.6", "public 1.3.6"}, {"CP1252", "a<b>&c", "a<b>&c"},
      {"UTF-16LE", std::string("A\0B\0", 4), "AB"},   {"IBM037", "\xC1\x81", "Aa"},  // EBCDIC
      {"IBM037", "AB", "\xC2\xA0\xC3\xA2"},  // ASCII bytes are other characters there
  };
  for (const auto& c : cases) {
    if (!platform::SetTextCodeset(c.codeset)) {
      ADD_FAILURE() << "no converter for " << c.codeset;
      continue;
    }
    std::string storage;
    EXPECT_EQ(platform::LocaleToUtf8View(c.in, &storage), c.out) << c.codeset;
    EXPECT_EQ(platform::LocaleToUtf8(c.in), c.out) << c.codeset;
  }
}

// The conversion and the clean-up in one give what the two give one after
// the other, in every kind of code set; a clean ASCII text is not copied.
TEST_F(TextEncodingTest, XmlTextInOneStep) {
  const std::string texts[] = {"",
                               "1.3.6.1.2.1.2.2.1.2.17 <a & b> \r\n\t\x7F",
                               "abcdefghij\x1F",
                               std::string("a\0b", 3),
                               "caf\xE9 \xC3\xA9 \xE2\x82",
                               "\xEF\xBF\xBE\x80\xFF",
                               std::string("A\0B\0", 4)};
  for (const char* codeset : {"UTF-8", "ISO-8859-1", "CP932", "UTF-16LE", "IBM037"}) {
    ASSERT_TRUE(platform::SetTextCodeset(codeset)) << codeset;
    for (const std::string& text : texts) {
      std::string storage;
      EXPECT_EQ(platform::LocaleToXmlTextView(text, &storage),
                platform::SanitizeXmlText(platform::LocaleToUtf8(text)))
          << codeset << ": " << text;
    }
  }
  platform::SetTextCodeset("UTF-8");
  std::string storage;
  EXPECT_EQ(platform::LocaleToXmlTextView(texts[1], &storage).data(), texts[1].data());
}

// A text that passes reaches the file unchanged but for the conversion; one
// that fails would have needed a replacement somewhere on the way.
TEST_F(TextEncodingTest, XmlTextOfTheCodeset) {
  struct Case {
    const char* name;
    const char* codeset;
    std::string text;
    bool storable;
  };
  const Case cases[] = {
      {"empty", "UTF-8", "", true},
      {"ascii with CR LF and tab", "UTF-8", "a\r\n\tb <&>", true},
      {"UTF-8 of every length", "UTF-8", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", true},
      {"Latin-1 byte under UTF-8", "UTF-8", "caf\xE9", false},
      {"truncated UTF-8", "UTF-8", "caf\xC3", false},
      {"surrogate", "UTF-8", "\xED\xA0\x80", false},
      {"U+FFFE", "UTF-8", "\xEF\xBF\xBE", false},
      {"U+FFFF", "UTF-8", "\xEF\xBF\xBF", false},
      {"control", "UTF-8", "a\x01", false},
      {"NUL", "UTF-8", std::string("a\0", 2), false},
      {"control beyond the first 8-byte block", "UTF-8", "abcdefghij\x1F", false},
      {"Latin-1 every high byte", "ISO-8859-1", "\x80\x9F\xA0\xE9\xFF", true},
      {"Latin-1 control", "ISO-8859-1", "caf\xE9\x02", false},
      {"CP1252 euro", "CP1252", "\x80", true},
      {"CP1252 undefined byte", "CP1252", "a\x81", false},
      {"CP932 character", "CP932", "\x82\xA0", true},
      {"CP932 bad trail byte", "CP932", "\x82\x20", false},
      {"CP932 lead byte at the end", "CP932", "ab\x82", false},
      {"EBCDIC letters", "IBM037", "\xC1\x81", true},
      {"EBCDIC control", "IBM037", "\x01", false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(platform::SetTextCodeset(c.codeset)) << c.name;
    EXPECT_EQ(platform::IsXmlTextOfCodeset(c.text), c.storable) << c.name;
    if (c.storable) {
      const std::string utf8 = platform::LocaleToUtf8(c.text);
      EXPECT_EQ(utf8.find(kFffd), std::string::npos) << c.name;
      EXPECT_EQ(platform::SanitizeXmlText(utf8), utf8) << c.name;
    }
  }
}

}  // namespace
