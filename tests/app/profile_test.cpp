#include "app/profile.h"

#include <gtest/gtest.h>

namespace {

TEST(Profile, ReadsValuesByTheProfileRules) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;  // Config/Community, default "dflt"
  };
  const Case cases[] = {
      {"plain", "[Config]\nCommunity=abc\n", "abc"},
      {"missing key gives default", "[Config]\nOther=1\n", "dflt"},
      {"missing section gives default", "[Target]\nCommunity=abc\n", "dflt"},
      {"present but empty is empty", "[Config]\nCommunity=\n", ""},
      {"names without case", "[config]\ncommunity=abc\n", "abc"},
      {"blanks around names and value", "  [ Config ]  \n\t Community \t=\t a b \t\n", "a b"},
      {"double quotes removed", "[Config]\nCommunity=\"a b \"\n", "a b "},
      {"single quotes removed", "[Config]\nCommunity='x'\n", "x"},
      {"unmatched quote kept", "[Config]\nCommunity=\"x\n", "\"x"},
      {"lone quote kept", "[Config]\nCommunity=\"\n", "\""},
      {"first key wins", "[Config]\nCommunity=one\nCommunity=two\n", "one"},
      {"repeated section reads as one", "[Config]\nA=1\n[Target]\n[CONFIG]\nCommunity=late\n",
       "late"},
      {"comment line", "[Config]\n;Community=hidden\n", "dflt"},
      {"indented comment line", "[Config]\n   ; Community=hidden\n", "dflt"},
      {"semicolon inside a value stays", "[Config]\nCommunity=a;b\n", "a;b"},
      {"hash is no comment", "[Config]\n#x=1\nCommunity=#c\n", "#c"},
      {"byte-order mark", "\xEF\xBB\xBF[Config]\nCommunity=bom\n", "bom"},
      {"CR-LF line ends", "[Config]\r\nCommunity=crlf\r\n", "crlf"},
      {"no final newline", "[Config]\nCommunity=end", "end"},
      {"equals sign in value", "[Config]\nCommunity=a=b\n", "a=b"},
      {"key before any section ignored", "Community=none\n[Config]\n", "dflt"},
      {"line without equals ignored", "[Config]\nCommunity\nCommunity=v\n", "v"},
      {"section without closing bracket", "[Config\nCommunity=v\n", "v"},
      {"value cut at NUL", std::string("[Config]\nCommunity=ab\0cd\n", 24), "ab"},
      {"empty file", "", "dflt"},
  };
  for (const auto& c : cases) {
    Profile p = Profile::Parse(c.text);
    EXPECT_EQ(p.GetString("Config", "Community", "dflt"), c.expected) << c.name;
  }
}

TEST(Profile, CutsLongValuesAt1023Bytes) {
  std::string value(5 << 20, 'v');  // a line of megabytes
  Profile p = Profile::Parse("[Config]\nCommunity=" + value + "\nTimeout=7\n");
  EXPECT_EQ(p.GetString("Config", "Community", ""), std::string(1023, 'v'));
  EXPECT_EQ(p.GetInt("Config", "Timeout", 0), 7);
  EXPECT_EQ(
      Profile::Parse("[C]\nK=\"" + std::string(1023, 'q') + "\"\n").GetString("C", "K", "").size(),
      1023u);
}

TEST(Profile, ReadsIntegers) {
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {
      {"42", 42},         {"-5", -5},
      {"+7", 7},          {"12abc", 12},
      {"abc", 0},         {"  9", 9},
      {"0x10", 0},        {"-", 0},
      {"1 2", 1},         {"2147483647", 2147483647},
      {"4294967295", -1}, {"99999999999999999999", 1661992959}  // wraps modulo 2^32,
  };
  for (const auto& c : cases) {
    Profile p = Profile::Parse(std::string("[Config]\nTimeout=") + c.value + "\n");
    EXPECT_EQ(p.GetInt("Config", "Timeout", 500), c.expected) << c.value;
  }
  EXPECT_EQ(Profile::Parse("[Config]\nTimeout=\n").GetInt("Config", "Timeout", 500), 500);
  EXPECT_EQ(Profile::Parse("").GetInt("Config", "Timeout", 500), 500);
}

TEST(Profile, WholeNumbers) {
  struct Case {
    const char* text;
    int64_t minimum, maximum;
    WholeNumber expected;
    int64_t value;
  };
  constexpr int64_t kMax = INT64_MAX, kMin = INT64_MIN;
  const Case cases[] = {
      {"0", 0, 10, WholeNumber::kOk, 0},
      {"007", 0, 10, WholeNumber::kOk, 7},
      {"+10", 0, 10, WholeNumber::kOk, 10},
      {"-0", 0, 10, WholeNumber::kOk, 0},
      {"-3", -5, 10, WholeNumber::kOk, -3},
      {"11", 0, 10, WholeNumber::kOutOfRange, 0},
      {"-1", 0, 10, WholeNumber::kOutOfRange, 0},
      {"2147483648", 0, 2147483647, WholeNumber::kOutOfRange, 0},
      {"4294967296", 0, 2147483647, WholeNumber::kOutOfRange, 0},  // would wrap to 0
      {"9223372036854775807", kMin, kMax, WholeNumber::kOk, kMax},
      {"-9223372036854775808", kMin, kMax, WholeNumber::kOk, kMin},
      {"9223372036854775808", kMin, kMax, WholeNumber::kOutOfRange, 0},
      {"-9223372036854775809", kMin, kMax, WholeNumber::kOutOfRange, 0},
      {"99999999999999999999999999", kMin, kMax, WholeNumber::kOutOfRange, 0},
      {"", 0, 10, WholeNumber::kNotWhole, 0},
      {"-", 0, 10, WholeNumber::kNotWhole, 0},
      {"1e6", 0, kMax, WholeNumber::kNotWhole, 0},
      {"1.5", 0, kMax, WholeNumber::kNotWhole, 0},
      {"1.5s", 0, kMax, WholeNumber::kNotWhole, 0},
      {"100,000", 0, kMax, WholeNumber::kNotWhole, 0},
      {"abc", 0, kMax, WholeNumber::kNotWhole, 0},
      {"0x10", 0, kMax, WholeNumber::kNotWhole, 0},
      {"1 2", 0, kMax, WholeNumber::kNotWhole, 0},
      {" 5", 0, kMax, WholeNumber::kNotWhole, 0},
      {"--5", kMin, kMax, WholeNumber::kNotWhole, 0},
      {"99999999999999999999x", kMin, kMax, WholeNumber::kNotWhole, 0},
  };
  for (const auto& c : cases) {
    int64_t value = -42;
    EXPECT_EQ(ParseWholeNumber(c.text, c.minimum, c.maximum, &value), c.expected) << c.text;
    EXPECT_EQ(value, c.expected == WholeNumber::kOk ? c.value : -42) << c.text;
  }
}

TEST(Profile, ManySectionsAndKeys) {
  std::string text;
  for (int i = 0; i < 200000; ++i)
    text += "[S" + std::to_string(i) + "]\nK=" + std::to_string(i) + "\n";
  text += "[s199999]\nK=late\n[CONFIG]\nRetry=4\n";
  Profile p = Profile::Parse(text);
  EXPECT_EQ(p.GetString("S199999", "K", ""), "199999");
  EXPECT_EQ(p.GetString("S0", "k", ""), "0");
  EXPECT_EQ(p.GetInt("Config", "Retry", 3), 4);
}

TEST(Profile, ManyKeysInOneSection) {
  // The OID_n list is read one key at a time: a lookup must not walk the
  // section, or reading the list grows with the square of its length.
  std::string text = "[Target]\n";
  for (int n = 1; n <= 100000; ++n)
    text += "oid_" + std::to_string(n) + " = 1.3." + std::to_string(n) + "\n";
  text += "OID_1=repeated\n[target]\nOID_2=merged later\n";
  Profile p = Profile::Parse(text);
  for (int n = 1; n <= 100000; ++n)
    ASSERT_EQ(p.GetString("Target", "OID_" + std::to_string(n), ""), "1.3." + std::to_string(n))
        << n;
  EXPECT_EQ(p.GetString("Target", "OID_100001", "none"), "none");
}

TEST(Profile, SurvivesBinaryInput) {
  std::string junk;
  for (int i = 0; i < 100000; ++i) junk.push_back(static_cast<char>((i * 7919) & 0xFF));
  Profile p = Profile::Parse(junk + "\n[Config]\nRetry=2\n");
  EXPECT_EQ(p.GetInt("Config", "Retry", 3), 2);
}

}  // namespace
