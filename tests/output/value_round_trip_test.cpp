// Byte strings an agent sends reach the result file whole, under each kind of
// locale: as the text their bytes spell in the locale's code set, or as Base64
// of every byte. Checked through the renderer, the saved file and a parse
// back, and for a full walk of a real snmpd by the program itself.
#include <gtest/gtest.h>
#include <locale.h>

#include <cctype>
#include <cstdlib>
#include <iterator>
#include <map>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "output/parsed_xml.h"
#include "output/result_document.h"
#include "platform/text_encoding.h"
#include "scan/walk.h"
#include "support/locale_env.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using testutil::TempDir;

const char kReplacement[] = "\xEF\xBF\xBD";

enum class Codeset { kUtf8, kLatin1 };

// The locale a test runs under, by the name the parameter gives.
struct LocaleChoice {
  const char* label;
  Codeset codeset;
};

void PrintTo(const LocaleChoice& choice, std::ostream* os) { *os << choice.label; }

// Sets LC_ALL to the locale and selects it as the program does at start.
// Returns the locale name, or empty with *why when it is not available.
std::string UseLocale(const LocaleChoice& choice, const TempDir& locales, std::string* why) {
  std::string name = choice.label;
  if (choice.codeset == Codeset::kLatin1) {
    name = testutil::FindOrMakeLatin1Locale(locales.path());
    if (name.empty()) {
      *why = "no ISO-8859-1 locale installed and localedef cannot make one (package locales)";
      return "";
    }
  } else if (locale_t l = newlocale(LC_ALL_MASK, name.c_str(), nullptr)) {
    freelocale(l);
  } else {
    *why = "locale " + name + " is not installed";
    return "";
  }
  setenv("LC_ALL", name.c_str(), 1);
  return name;
}

// What the file should hold for bytes read as text in the code set (UTF-8
// under the UTF-8 and C locales), written out independently of the program.
std::string AsUtf8(const std::string& bytes, Codeset codeset) {
  if (codeset == Codeset::kUtf8) return bytes;
  std::string out;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string WithoutTrailingZeros(std::string s) {
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

// Lines of at most 64 Base64 characters, every line ending in CR LF and all
// but the last exactly 64 long, decoded into *bytes. False for any other text.
bool DecodeBase64Lines(const std::string& text, std::string* bytes) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string joined;
  for (size_t pos = 0; pos < text.size();) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos || end == pos || end - pos > 64) return false;
    if (end + 2 != text.size() && end - pos != 64) return false;
    joined.append(text, pos, end - pos);
    pos = end + 2;
  }
  if (joined.empty() || joined.size() % 4 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < joined.size(); i += 4) {
    uint32_t group = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = joined[i + k];
      size_t v = kAlphabet.find(c);
      if (c == '=' && i + 4 == joined.size() && k >= 2) {
        ++pad;
        v = 0;
      } else if (v == std::string::npos || pad) {
        return false;
      }
      group = group << 6 | static_cast<uint32_t>(v);
    }
    for (int k = 0; k < 3 - pad; ++k)
      bytes->push_back(static_cast<char>(group >> (16 - 8 * k) & 0xFF));
  }
  return true;
}

// Empty when the file's text gives back the agent's bytes: as their text in
// the code set (trailing zeros dropped) or as Base64 of all of them.
std::string Unrecoverable(const std::string& file_text, const std::string& bytes, Codeset codeset) {
  if (file_text == AsUtf8(WithoutTrailingZeros(bytes), codeset)) return "";
  std::string decoded;
  if (DecodeBase64Lines(file_text, &decoded) && decoded == bytes) return "";
  return "file text \"" + file_text + "\" gives back neither the text nor the bytes";
}

// Stores bytes as an OCTET STRING named name, from a heap block of exactly
// their length.
void StoreBytes(Walker* job, const std::vector<oid>& name, const std::string& bytes) {
  netsnmp_variable_list var{};
  std::vector<oid> ids = name;
  var.name = ids.data();
  var.name_length = ids.size();
  var.type = ASN_OCTET_STR;
  std::unique_ptr<u_char[]> block(new u_char[bytes.empty() ? 1 : bytes.size()]);
  std::copy(bytes.begin(), bytes.end(), block.get());
  var.val.string = block.get();
  var.val_len = bytes.size();
  ASSERT_TRUE(job->StoreVariable(&var, 2));
}

enum class Form { kText, kBase64 };

class RoundTripTest : public testing::TestWithParam<LocaleChoice> {
 protected:
  void TearDown() override { UseLogSettings(LogSettings{}); }

  testutil::ScopedLocaleEnv restore_;
  TempDir locales_;
};

TEST_P(RoundTripTest, RenderSaveAndParseBack) {
  std::string why;
  if (UseLocale(GetParam(), locales_, &why).empty()) GTEST_SKIP() << why;
  ASSERT_TRUE(platform::InitTextEncoding());
  const Codeset codeset = GetParam().codeset;
  ASSERT_EQ(platform::LocaleCodeset(), codeset == Codeset::kUtf8 ? "UTF-8" : "ISO-8859-1");

  struct Case {
    const char* name;
    std::string bytes;
    Form utf8, latin1;  // the form under each kind of code set
  };
  const Form T = Form::kText, B = Form::kBase64;
  const Case cases[] = {
      {"MAC with a leading zero", std::string("\x00\x21\x9B\xAA\xBB\xCC", 6), B, B},
      {"MAC of high bytes", "\xAE\xE3\xF0\x52\xE6\xC0", B, T},
      {"IPv4 address as bytes", std::string("\xC0\xA8\x00\x20", 4), B, B},
      {"inner zero", std::string("abc\0def", 7), B, B},
      {"trailing zeros", std::string("abc\0\0\0", 6), T, T},
      {"zeros only", std::string(4, '\0'), T, T},
      {"empty", "", T, T},
      {"valid UTF-8", "Z\xC3\xBCrich \xE2\x82\xAC \xF0\x9F\x98\x80", T, T},
      {"Latin-1", "Z\xFCrich caf\xE9", B, T},
      {"U+FFFE", "a\xEF\xBF\xBE", B, T},
      {"U+FFFF", "\xEF\xBF\xBF", B, T},
      {"CR LF text", "line 1\r\nline 2\r\n", T, T},
      {"tab", "a\tb", B, B},
      {"markup", "<a href=\"x\">&amp;</a>", T, T},
      {"truncated UTF-8", "caf\xC3", B, T},
      {"every byte",
       [] {
         std::string s;
         for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
         return s;
       }(),
       B, B},
  };

  UseLogSettings(LogSettings{});
  TempDir dir;
  const ScanSettings settings;
  Walker job("127.0.0.1", settings);
  for (size_t i = 0; i < std::size(cases); ++i)
    StoreBytes(&job, {1, 3, 6, 1, 4, 1, 99999, i, 0}, cases[i].bytes);
  testing::internal::CaptureStdout();
  const bool written = WriteResultFile(dir / "127.0.0.1.xml", job.target(), job.rows());
  const std::string printed = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(written) << printed;

  const std::string file = testutil::ReadFile(dir / "127.0.0.1.xml");
  EXPECT_EQ(file.find(kReplacement), std::string::npos) << file;
  std::map<std::string, std::string> rows;
  std::string error;
  ASSERT_TRUE(testxml::ReadResultRows(dir / "127.0.0.1.xml", &rows, &error)) << error;
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const auto row = rows.find("1.3.6.1.4.1.99999." + std::to_string(i) + ".0");
    ASSERT_NE(row, rows.end()) << c.name;
    const Form form = codeset == Codeset::kUtf8 ? c.utf8 : c.latin1;
    if (form == Form::kText) {
      EXPECT_EQ(row->second, AsUtf8(WithoutTrailingZeros(c.bytes), codeset)) << c.name;
    } else {
      std::string decoded;
      EXPECT_TRUE(DecodeBase64Lines(row->second, &decoded)) << c.name << ": " << row->second;
      EXPECT_EQ(decoded, c.bytes) << c.name;
    }
  }
}

// The program's own full walk of snmpd: every OCTET STRING that did not
// change while it ran comes back from the file, and nothing in the file is a
// replacement character.
TEST_P(RoundTripTest, FullWalkOfSnmpdKeepsEveryValue) {
  std::string why;
  const std::string locale = UseLocale(GetParam(), locales_, &why);
  if (locale.empty()) GTEST_SKIP() << why;
  const Codeset codeset = GetParam().codeset;

  const char kCommunity[] = "roundtrip";
  testutil::SnmpdFixture agent;
  testutil::SnmpdOptions options;
  options.config_lines = {
      std::string("rocommunity ") + kCommunity + " 127.0.0.1",
      "sysLocation R\xC3\xA4um 2",
      "pass_persist .1.3.6.1.4.1.99999 /usr/bin/python3 " MIBSCAN_SOURCE_DIR
      "/tests/support/snmpd_typed_objects.py",
  };
  ASSERT_TRUE(agent.Start(options, &why)) << why;
  const std::string target = agent.Target();

  // OID -> bytes of every OCTET STRING snmpwalk prints in hex.
  auto strings = [&] {
    std::map<std::string, std::string> values;
    for (const char* root : {"1.3.6.1.2.1", "1.3.6.1.4.1"}) {
      testutil::ProcessResult r = testutil::RunSnmpTool(
          "snmpwalk", {"-v1", "-c", kCommunity, "-On", "-Ox", "-t", "5", "-r", "2", target, root});
      EXPECT_EQ(r.exit_code, 0) << root << ": " << r.err;
      std::istringstream lines(r.out);
      std::string line, *current = nullptr;
      while (std::getline(lines, line)) {
        const size_t eq = line.find(" = ");
        if (!line.empty() && line[0] == '.' && eq != std::string::npos) {
          current = nullptr;
          const std::string value = line.substr(eq + 3);
          if (value.rfind("Hex-STRING:", 0) != 0 && value != "\"\"") continue;
          current = &values[line.substr(1, eq - 1)];
          line = value.substr(value[0] == '"' ? 2 : 11);
        }
        if (!current) continue;
        std::istringstream hex(line);
        for (std::string pair; hex >> pair;)
          current->push_back(static_cast<char>(std::stoi(pair, nullptr, 16)));
      }
    }
    return values;
  };

  TempDir dir;
  testutil::WriteFile(
      dir / "config.ini",
      std::string("[Config]\nTimeout=5000000\nRetry=2\nCommunity=") + kCommunity + "\n");
  const std::string exe = testutil::InstallBinary(dir.path());
  const std::map<std::string, std::string> before = strings();
  const testutil::ProcessResult run =
      testutil::RunProcess({exe, target}, 180, {"LC_ALL=" + locale});
  const std::map<std::string, std::string> after = strings();
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;

  const std::string path = dir / (target + ".xml");
  const std::string file = testutil::ReadFile(path);
  EXPECT_EQ(file.find(kReplacement), std::string::npos);
  std::map<std::string, std::string> rows;
  std::string error;
  ASSERT_TRUE(testxml::ReadResultRows(path, &rows, &error)) << error;

  size_t compared = 0;
  for (const auto& [oid, bytes] : before) {
    const auto later = after.find(oid);
    if (later == after.end() || later->second != bytes) continue;  // changed during the run
    const auto row = rows.find(oid);
    if (row == rows.end()) {
      ADD_FAILURE() << oid << " missing from the result file\n" << run.out;
      continue;
    }
    EXPECT_EQ(Unrecoverable(row->second, bytes, codeset), "") << oid;
    ++compared;
  }
  // The agent's own strings and every kind the typed objects serve were among them.
  for (const char* oid :
       {"1.3.6.1.2.1.1.6.0", "1.3.6.1.4.1.99999.9.0", "1.3.6.1.4.1.99999.10.0",
        "1.3.6.1.4.1.99999.11.0", "1.3.6.1.4.1.99999.15.0", "1.3.6.1.4.1.99999.16.0",
        "1.3.6.1.4.1.99999.17.0", "1.3.6.1.4.1.99999.18.0", "1.3.6.1.4.1.99999.19.0",
        "1.3.6.1.4.1.99999.20.0", "1.3.6.1.4.1.99999.21.0"})
    EXPECT_TRUE(before.count(oid) && after.count(oid) && before.at(oid) == after.at(oid)) << oid;
  EXPECT_GE(compared, 11u);
}

INSTANTIATE_TEST_SUITE_P(Locales, RoundTripTest,
                         testing::Values(LocaleChoice{"C", Codeset::kUtf8},
                                         LocaleChoice{"C.UTF-8", Codeset::kUtf8},
                                         LocaleChoice{"ISO-8859-1", Codeset::kLatin1}),
                         [](const testing::TestParamInfo<LocaleChoice>& info) {
                           std::string name;
                           for (char c : std::string(info.param.label))
                             if (isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

}  // namespace
