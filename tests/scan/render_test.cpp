// Rendering of received variables: every type of the value table, read by the
// library's own layout and never past val_len (the value buffers here are
// heap blocks of exactly val_len bytes, so the sanitizer build catches any
// read beyond).
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "scan/walk.h"

namespace {

struct Value {
  u_char type;
  std::vector<u_char> bytes;  // exactly val_len bytes
};

template <class T>
Value Typed(u_char type, const T& v) {
  Value value{type, std::vector<u_char>(sizeof v)};
  memcpy(value.bytes.data(), &v, sizeof v);
  return value;
}
Value Long(u_char type, long v) { return Typed(type, v); }
Value Bytes(u_char type, const std::string& s) {
  return Value{type, std::vector<u_char>(s.begin(), s.end())};
}
Value Oids(std::vector<oid> ids) {
  Value value{ASN_OBJECT_ID, std::vector<u_char>(ids.size() * sizeof(oid))};
  if (!ids.empty()) memcpy(value.bytes.data(), ids.data(), value.bytes.size());
  return value;
}
Value C64(u_long high, u_long low) {
  counter64 c;
  c.high = high;
  c.low = low;
  return Typed(ASN_COUNTER64, c);
}
std::string Range(int first, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s.push_back(static_cast<char>(first + i));
  return s;
}

// Stores one variable named `name` into job as a row of version, the value in
// a heap block of exactly its length.
bool Store(Walker* job, const std::vector<oid>& name, const Value& value, int version = 0) {
  netsnmp_variable_list var{};
  std::vector<oid> name_copy = name;
  var.name = name_copy.empty() ? nullptr : name_copy.data();
  var.name_length = name_copy.size();
  var.type = value.type;
  std::unique_ptr<u_char[]> block(new u_char[value.bytes.size() ? value.bytes.size() : 1]);
  if (!value.bytes.empty()) memcpy(block.get(), value.bytes.data(), value.bytes.size());
  var.val.string = block.get();
  var.val_len = value.bytes.size();
  return job->StoreVariable(&var, version);
}

const ScanSettings kSettings;
const char kTarget[] = "127.0.0.1";
const std::vector<oid> kName = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const char kKey[] = "1.3.6.1.2.1.1.3.0";

struct RenderCase {
  const char* name;
  Value value;
  std::string expected;
};

TEST(StoreVariableTest, RendersEveryTypeOfTheTable) {
  const RenderCase cases[] = {
      {"integer negative", Long(ASN_INTEGER, -5), "-5"},
      {"integer -1", Long(ASN_INTEGER, -1), "-1"},
      {"integer max", Long(ASN_INTEGER, 2147483647), "2147483647"},
      {"integer takes the 32-bit value of the long", Long(ASN_INTEGER, 0x1FFFFFFFFL), "-1"},
      {"counter", Long(ASN_COUNTER, 7), "7"},
      {"gauge max", Long(ASN_GAUGE, 4294967295L), "4294967295"},
      {"gauge of a sign-extended long", Long(ASN_GAUGE, -1), "4294967295"},
      {"timeticks raw hundredths", Long(ASN_TIMETICKS, 100), "100"},
      {"uinteger", Long(ASN_UINTEGER, 4000000000L), "4000000000"},
      {"counter64 high 1 low 0", C64(1, 0), "4294967296"},
      {"counter64 high 0 low 5", C64(0, 5), "5"},
      {"counter64 max", C64(0xFFFFFFFFul, 0xFFFFFFFFul), "18446744073709551615"},
      {"bit string", Bytes(ASN_BIT_STR, "\x0a\xff"), "0a:ff"},
      {"bit string with zero byte", Bytes(ASN_BIT_STR, std::string("\x0a\xff\x00", 3)), "0a:ff:00"},
      {"empty bit string", Bytes(ASN_BIT_STR, ""), ""},
      {"text", Bytes(ASN_OCTET_STR, "Linux host 6.1"), "Linux host 6.1"},
      {"inner zero makes it binary", Bytes(ASN_OCTET_STR, std::string("abc\0def", 7)),
       "YWJjAGRlZg==\r\n"},
      {"trailing zero padding", Bytes(ASN_OCTET_STR, std::string("abc\0\0\0", 6)), "abc"},
      {"leading zero makes it binary", Bytes(ASN_OCTET_STR, std::string("\0abc", 4)),
       "AGFiYw==\r\n"},
      {"zeros only give empty text", Bytes(ASN_OCTET_STR, std::string(6, '\0')), ""},
      {"empty string", Bytes(ASN_OCTET_STR, ""), ""},
      {"CR and LF are text", Bytes(ASN_OCTET_STR, "a\r\nb"), "a\r\nb"},
      {"DEL is text", Bytes(ASN_OCTET_STR, "a\x7f"), "a\x7f"},
      {"UTF-8 bytes pass unchanged", Bytes(ASN_OCTET_STR, "caf\xc3\xa9 \xe2\x82\xac"),
       "caf\xc3\xa9 \xe2\x82\xac"},
      // The renderer's code set here is UTF-8: other bytes above 0x7F are not text.
      {"Latin-1 bytes are binary", Bytes(ASN_OCTET_STR, "caf\xe9"), "Y2Fm6Q==\r\n"},
      {"MAC with a leading zero", Bytes(ASN_OCTET_STR, std::string("\x00\x21\x9b\xaa\xbb\xcc", 6)),
       "ACGbqrvM\r\n"},
      {"MAC of high bytes", Bytes(ASN_OCTET_STR, "\xae\xe3\xf0\x52\xe6\xc0"), "ruPwUubA\r\n"},
      {"U+FFFE is binary", Bytes(ASN_OCTET_STR, "\xef\xbf\xbe"), "77++\r\n"},
      {"binary keeps trailing zeros", Bytes(ASN_OCTET_STR, std::string("\x01\0", 2)), "AQA=\r\n"},
      {"tab makes it binary", Bytes(ASN_OCTET_STR, "a\tb"), "YQli\r\n"},
      {"byte 0x01 makes it binary", Bytes(ASN_OCTET_STR, "\x01"), "AQ==\r\n"},
      {"binary keeps bytes after a zero", Bytes(ASN_OCTET_STR, std::string("abc\0\x1f", 5)),
       "YWJjAB8=\r\n"},
      {"48 binary bytes give one line", Bytes(ASN_OCTET_STR, Range(0, 48)),
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\n"},
      {"49 binary bytes give two lines", Bytes(ASN_OCTET_STR, Range(0, 49)),
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\nMA==\r\n"},
      {"oid value", Oids({1, 3, 6, 1, 2, 1, 1, 3, 0}), "1.3.6.1.2.1.1.3.0"},
      {"oid value of zeros", Oids({0, 0}), "0.0"},
      {"oid value max sub-identifier", Oids({1, 4294967295u}), "1.4294967295"},
      {"empty oid value", Oids({}), ""},
      {"oid value with a partial sub-identifier",
       Value{ASN_OBJECT_ID,
             [] {
               std::vector<u_char> b(sizeof(oid) + 3, 0);
               b[0] = 7;
               return b;
             }()},
       "7"},
      {"ip address", Bytes(ASN_IPADDRESS, std::string("\xc0\x00\x02\x01", 4)), "192.0.2.1"},
      {"ip address high bytes unsigned", Bytes(ASN_IPADDRESS, "\xff\xff\xff\xfe"),
       "255.255.255.254"},
      {"ip address of 3 bytes", Bytes(ASN_IPADDRESS, "\x01\x02\x03"), ""},
      {"ip address of 5 bytes", Bytes(ASN_IPADDRESS, "\x01\x02\x03\x04\x05"), ""},
      // Values shorter than the library's layout are read as far as they go.
      {"short integer", Value{ASN_INTEGER, {0x05}}, "5"},
      {"empty integer", Value{ASN_INTEGER, {}}, "0"},
      {"short counter64", Value{ASN_COUNTER64, {0x02}}, "8589934592"},
  };
  for (const auto& c : cases) {
    Walker job(kTarget, kSettings);
    ASSERT_TRUE(Store(&job, kName, c.value, 2)) << c.name;
    const std::optional<ResultRow> row = job.rows().Find(kKey);
    ASSERT_TRUE(row.has_value()) << c.name;
    EXPECT_EQ(row->value, c.expected) << c.name;
    EXPECT_EQ(row->version, 2) << c.name;
  }
}

TEST(StoreVariableTest, UnrenderedTypesStoreNothing) {
  const u_char types[] = {ASN_NULL,
                          ASN_OPAQUE,
                          ASN_NSAP,
                          SNMP_NOSUCHOBJECT,
                          SNMP_NOSUCHINSTANCE,
                          SNMP_ENDOFMIBVIEW,
                          ASN_BOOLEAN,
                          ASN_SEQUENCE,
                          0x48,
                          0xFF};
  for (u_char type : types) {
    Walker job(kTarget, kSettings);
    EXPECT_FALSE(Store(&job, kName, Value{type, {1, 2, 3, 4}}, 1)) << "type " << int(type);
    EXPECT_EQ(job.rows().GetCount(), 0u) << "type " << int(type);
  }
}

TEST(StoreVariableTest, OidTextOfTheName) {
  struct {
    std::vector<oid> name;
    const char* key;
  } cases[] = {
      {{1, 3, 6, 1, 4, 1, 4294967295u}, "1.3.6.1.4.1.4294967295"},
      {{0, 0}, "0.0"},
      {{}, ""},  // no sub-identifiers: the empty key
  };
  for (const auto& c : cases) {
    Walker job(kTarget, kSettings);
    ASSERT_TRUE(Store(&job, c.name, Long(ASN_INTEGER, 1))) << c.key;
    EXPECT_TRUE(job.rows().Find(c.key).has_value()) << c.key;
    EXPECT_EQ(job.rows().GetCount(), 1u) << c.key;
  }
}

TEST(StoreVariableTest, LaterStoreOfTheSameOidWins) {
  Walker job(kTarget, kSettings);
  ASSERT_TRUE(Store(&job, kName, Bytes(ASN_OCTET_STR, "first"), 1));
  ASSERT_TRUE(Store(&job, kName, Bytes(ASN_OCTET_STR, "second"), 3));
  EXPECT_EQ(job.rows().GetCount(), 1u);
  EXPECT_EQ(job.rows().Find(kKey)->value, "second");
  EXPECT_EQ(job.rows().Find(kKey)->version, 3);
}

TEST(StoreVariableTest, NullValuePointerIsReadAsEmpty) {
  Walker job(kTarget, kSettings);
  netsnmp_variable_list var{};
  oid name[] = {1, 3};
  var.name = name;
  var.name_length = 2;
  var.val_len = 16;  // a claimed length with nothing behind it
  const u_char types[] = {ASN_OCTET_STR, ASN_INTEGER, ASN_BIT_STR, ASN_COUNTER64, ASN_IPADDRESS};
  for (u_char type : types) {
    var.type = type;
    var.val.string = nullptr;
    EXPECT_TRUE(job.StoreVariable(&var, 1)) << int(type);
  }
  EXPECT_FALSE(job.StoreVariable(nullptr, 1));
}

}  // namespace

// Names around the size where the key text stops fitting the stack buffer,
// and sub-identifiers of every digit count.
TEST(StoreVariableTest, OidTextOfLongNamesAndEveryDigitCount) {
  struct Case {
    const char* name;
    std::vector<oid> ids;
  };
  std::vector<Case> cases = {
      {"digit counts", {0, 9, 10, 99, 100, 999, 1000, 65535, 4294967295u}},
      {"64 maximal", std::vector<oid>(64, 4294967295u)},
      {"65 maximal", std::vector<oid>(65, 4294967295u)},
      {"128 maximal", std::vector<oid>(128, 4294967295u)},
      {"128 small", std::vector<oid>(128, 7)},
  };
  for (const auto& c : cases) {
    std::string expected;
    for (size_t i = 0; i < c.ids.size(); ++i) expected += (i ? "." : "") + std::to_string(c.ids[i]);
    Walker job(kTarget, kSettings);
    ASSERT_TRUE(Store(&job, c.ids, Long(ASN_INTEGER, 1))) << c.name;
    std::vector<std::string> keys;
    job.rows().ForEach([&](std::string_view k, const ResultRow&) { keys.emplace_back(k); });
    EXPECT_EQ(keys, std::vector<std::string>{expected}) << c.name;
  }
}
