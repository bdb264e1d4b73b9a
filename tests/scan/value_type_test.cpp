// The type name and the encoding the renderer reports with each value: a
// reader that knows both gets every value back exactly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "scan/render.h"
#include "scan/snmp_setup.h"
#include "support/test_util.h"

namespace {

netsnmp_variable_list Variable(u_char type, std::vector<u_char>* bytes) {
  static oid name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  netsnmp_variable_list var{};
  var.name = name;
  var.name_length = sizeof name / sizeof name[0];
  var.type = type;
  var.val.string = bytes->empty() ? nullptr : bytes->data();
  var.val_len = bytes->size();
  return var;
}

TEST(ValueTypeTest, EveryRenderedTypeHasANameAndNoOtherTypeHasOne) {
  for (int type = 0; type < 256; ++type) {
    std::vector<u_char> bytes = {0, 0, 0, 0, 0, 0, 0, 1};
    netsnmp_variable_list var = Variable(static_cast<u_char>(type), &bytes);
    std::string text;
    const bool rendered = RenderValue(&var, &text, nullptr);
    EXPECT_EQ(rendered, SmiTypeName(static_cast<u_char>(type)) != nullptr) << type;
  }
}

TEST(ValueTypeTest, SmiNamesAndTheToolsNamesForTheRest) {
  const struct {
    u_char type;
    const char* name;
  } smi[] = {{ASN_INTEGER, "INTEGER"},
             {ASN_OCTET_STR, "OCTET STRING"},
             {ASN_OBJECT_ID, "OBJECT IDENTIFIER"},
             {ASN_IPADDRESS, "IpAddress"},
             {ASN_COUNTER, "Counter32"},
             {ASN_GAUGE, "Gauge32"},
             {ASN_TIMETICKS, "TimeTicks"},
             {ASN_COUNTER64, "Counter64"}};
  for (const auto& c : smi) EXPECT_STREQ(SmiTypeName(c.type), c.name) << int(c.type);
  EXPECT_EQ(SmiTypeName(ASN_UNSIGNED), SmiTypeName(ASN_GAUGE));  // one tag on the wire
  // The tools print a UInteger32 value with no type name; their MIB parser calls it so.
  EXPECT_STREQ(SmiTypeName(ASN_UINTEGER), "UInteger32");
  // BITS: as Net-SNMP's own printing names it.
  InitSnmpLibrary();
  for (u_char type : {ASN_BIT_STR}) {
    std::vector<u_char> bytes(sizeof(long), 0);
    bytes[0] = 5;
    netsnmp_variable_list var = Variable(type, &bytes);
    char printed[256] = "";
    {
      auto lock = LockSnmpLibrary();
      snprint_value(printed, sizeof printed, var.name, var.name_length, &var);
    }
    const std::string tools(printed, strcspn(printed, ":"));
    ASSERT_NE(SmiTypeName(type), nullptr) << int(type);
    EXPECT_EQ(SmiTypeName(type), tools) << printed;
  }
}

TEST(ValueTypeTest, Base64ExactlyWhenTheTextIsNotTheBytes) {
  struct Case {
    const char* codeset;
    std::string bytes;
    bool base64;
  };
  const Case cases[] = {
      {"UTF-8", "YWJj", false},  // a community string that looks like Base64 is text
      {"UTF-8", "abc", false},
      {"UTF-8", std::string("abc\0\0", 5), false},  // trailing zeros dropped, still text
      {"UTF-8", std::string(4, '\0'), false},       // the empty text
      {"UTF-8", "", false},
      {"UTF-8", "caf\xc3\xa9", false},
      {"UTF-8", "caf\xe9", true},
      {"UTF-8", std::string("\x00\x21\x9b\xaa\xbb\xcc", 6), true},
      {"UTF-8", "a\tb", true},
      {"UTF-8", std::string("ab\0c", 4), true},
      {"UTF-8", std::string(100, '\x01'), true},  // several Base64 lines
      {"ISO-8859-1", "caf\xe9", false},           // text of the locale's code set
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(platform::SetTextCodeset(c.codeset));
    std::vector<u_char> bytes(c.bytes.begin(), c.bytes.end());
    netsnmp_variable_list var = Variable(ASN_OCTET_STR, &bytes);
    std::string text;
    ValueEncoding encoding = ValueEncoding::kText;
    ASSERT_TRUE(RenderValue(&var, &text, &encoding));
    EXPECT_EQ(encoding == ValueEncoding::kBase64, c.base64) << c.bytes;
    if (encoding == ValueEncoding::kBase64) {
      EXPECT_EQ(testutil::DecodeBase64Lines(text), c.bytes);
    } else {
      EXPECT_EQ(text, c.bytes.substr(0, c.bytes.find_last_not_of('\0') + 1));
    }
  }
  platform::SetTextCodeset("UTF-8");
  // Other types are always text, also where they carry bytes.
  for (u_char type : {ASN_BIT_STR, ASN_IPADDRESS, ASN_OBJECT_ID, ASN_INTEGER}) {
    std::vector<u_char> bytes(sizeof(oid) * 2, 0);
    netsnmp_variable_list var = Variable(type, &bytes);
    std::string text;
    ValueEncoding encoding = ValueEncoding::kBase64;
    ASSERT_TRUE(RenderValue(&var, &text, &encoding)) << int(type);
    EXPECT_EQ(encoding, ValueEncoding::kText) << int(type);
  }
}

}  // namespace
