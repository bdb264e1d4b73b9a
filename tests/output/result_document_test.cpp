#include "output/result_document.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "log/log.h"
#include "output/atomic_file.h"
#include "output/parsed_xml.h"
#include "output/reference_layout.h"
#include "output/xml_document.h"
#include "platform/text_encoding.h"
#include "support/locale_env.h"
#include "support/test_util.h"

namespace {

using testutil::FileExists;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

struct Row {
  std::string oid;
  std::string value;
  std::string ver;  // empty: no VER attribute
};

class ResultFileTest : public ::testing::Test {
 protected:
  void SetUp() override { module_dir_ = dir_.path(); }
  void TearDown() override {
    UseLogSettings(LogSettings{});
    platform::SetTextCodeset("UTF-8");
  }

  // Runs WriteResultFile on the path the target and oid give in the module
  // directory; returns its result and what it printed.
  bool Write(std::string* printed) {
    testing::internal::CaptureStdout();
    bool ok = WriteResultFile(ResultFilePath(module_dir_, target_, oid_), target_, rows_);
    *printed = testing::internal::GetCapturedStdout();
    return ok;
  }

  // Writes the file, expects success, and returns its rows.
  std::vector<Row> WriteAndRead(const std::string& expected_path) {
    std::string printed;
    EXPECT_TRUE(Write(&printed));
    EXPECT_EQ(printed, "output: " + expected_path + "\n");
    testxml::Element root;
    std::string error;
    EXPECT_TRUE(testxml::Parse(ReadFile(expected_path), &root, &error)) << error;
    EXPECT_EQ(root.name, "RESULTS");
    EXPECT_TRUE(root.attrs.empty());
    std::vector<Row> rows;
    for (const auto& r : root.children) {
      EXPECT_EQ(r.name, "RESULT");
      EXPECT_TRUE(r.attrs.empty());
      EXPECT_TRUE(testxml::IsBlank(r.text));
      if (r.children.size() != 2 || r.children[0].name != "OID" || r.children[1].name != "VALUE") {
        ADD_FAILURE() << "RESULT without exactly OID and VALUE";
        continue;
      }
      EXPECT_TRUE(r.children[1].attrs.empty());
      EXPECT_LE(r.children[0].attrs.size(), 1u);
      auto ver = r.children[0].attrs.find("VER");
      rows.push_back({r.children[0].text, r.children[1].text,
                      ver == r.children[0].attrs.end() ? "" : ver->second});
    }
    return rows;
  }

  std::string DefaultPath() const { return dir_ / "127.0.0.1.xml"; }

  TempDir dir_;
  std::string module_dir_;
  std::string target_ = "127.0.0.1";
  std::string oid_;  // of the `oid` form
  ResultRows rows_;
};

void ExpectRows(const std::vector<Row>& got, const std::vector<Row>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].oid, want[i].oid) << "row " << i;
    EXPECT_EQ(got[i].value, want[i].value) << "row " << i;
    EXPECT_EQ(got[i].ver, want[i].ver) << "row " << i;
  }
}

TEST_F(ResultFileTest, RowsInMapOrderWithVersions) {
  rows_.SetAt("1.3.6.1.2.1.1.5.0", {"host", 1});
  rows_.SetAt("1.3.6.1.2.1.1.1.0", {"", 3});
  rows_.SetAt("1.3.6.1.2.1.1.3.0", {"a<b & c", 0});  // no version known
  rows_.SetAt("", {"empty OID", 2});
  std::vector<Row> want;
  rows_.ForEach([&](std::string_view oid, const ResultRow& row) {
    want.push_back(
        {std::string(oid), std::string(row.value), row.version ? std::to_string(row.version) : ""});
  });
  std::vector<Row> rows = WriteAndRead(DefaultPath());
  ExpectRows(rows, want);
  // Stored as 5.0, 1.0, 3.0; written in bucket order.
  std::vector<std::string> system;
  for (const auto& r : rows)
    if (!r.oid.empty()) system.push_back(r.oid);
  EXPECT_EQ(system, (std::vector<std::string>{"1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.1.0",
                                              "1.3.6.1.2.1.1.5.0"}));
}

TEST_F(ResultFileTest, NoRowsStillWritesTheFile) {
  EXPECT_TRUE(WriteAndRead(DefaultPath()).empty());
  EXPECT_EQ(ReadFile(DefaultPath()), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<RESULTS/>\n");
}

TEST_F(ResultFileTest, Base64ValueKeepsItsCrLf) {
  const std::string b64 =
      "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\n"
      "MDEyMw==\r\n";
  rows_.SetAt("1.3.6.1.4.1.1.0", {b64, 2});
  ExpectRows(WriteAndRead(DefaultPath()), {{"1.3.6.1.4.1.1.0", b64, "2"}});
  EXPECT_NE(ReadFile(DefaultPath()).find("&#13;\n"), std::string::npos);
}

// Row texts are in the locale's code set; the file holds their UTF-8 form.
// Bytes that are no character of it cannot come from the renderer, which
// makes them Base64; here they still leave a well-formed file.
TEST_F(ResultFileTest, TextsConvertedFromTheCodeSet) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    const char* name;
    const char* codeset;
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {"UTF-8 locale, UTF-8 bytes", "UTF-8", "Z\xC3\xBCrich \xE2\x82\xAC",
       "Z\xC3\xBCrich \xE2\x82\xAC"},
      {"UTF-8 locale, Latin-1 bytes of no agent value", "UTF-8", "Z\xFCrich \xA4",
       "Z" + fffd + "rich " + fffd},
      {"Latin-1 locale, Latin-1 bytes", "ISO-8859-1", "Z\xFCrich \xA4", "Z\xC3\xBCrich \xC2\xA4"},
      {"Latin-1 locale, UTF-8 bytes", "ISO-8859-1", "\xC3\xBC", "\xC3\x83\xC2\xBC"},
      {"Latin-1 locale, control byte", "ISO-8859-1", "a\x01", "a" + fffd},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(platform::SetTextCodeset(c.codeset)) << c.name;
    rows_.SetAt("1.3.6.1.2.1.1.1.0", {c.value, 0});
    std::vector<Row> rows = WriteAndRead(DefaultPath());
    ASSERT_EQ(rows.size(), 1u) << c.name;
    EXPECT_EQ(rows[0].value, c.expected) << c.name;
  }
}

// The file is laid out straight from the rows: every byte as libxml2's own
// writer lays out the document AddResultRows builds, whatever the texts hold.
TEST(ResultRowsLayout, IsTheWritersLayoutOfTheTree) {
  // Names every OID it is asked about with the text given for it.
  class TableNamer : public RowNamer {
   public:
    explicit TableNamer(std::map<std::string, std::string> names) : names_(std::move(names)) {}
    bool Name(std::string_view oid, std::string* out) override {
      auto it = names_.find(std::string(oid));
      if (it == names_.end()) return false;
      *out += it->second;
      return true;
    }

   private:
    std::map<std::string, std::string> names_;
  };
  struct OwnedRow {  // a ResultRow that owns its text
    std::string value;
    int version = 0;
    const char* type = nullptr;
    bool base64 = false;
  };
  struct Case {
    const char* name;
    const char* codeset;
    std::vector<std::pair<std::string, OwnedRow>> rows;
    bool value_types;
    std::map<std::string, std::string> names;  // none: no namer
  };
  const Case cases[] = {
      {"no rows", "UTF-8", {}, false, {}},
      {"plain rows, versions and none",
       "UTF-8",
       {{"1.3.6.1.2.1.1.3.0", {"12345", 2}}, {"1.3.6.1.2.1.1.1.0", {"", 1}}, {"1.3", {"x", 0}}},
       false,
       {}},
      {"empty OID", "UTF-8", {{"", {"v", 3}}, {"", {"", 3}}}, false, {}},
      {"markup, line ends and blanks in texts",
       "UTF-8",
       {{"1.3.<&>\"", {"a <b> & \"c\" ' ]]>\r\nline\ttwo\n ", 2}},
        {"1.3.6.1.2.1.2.2.1.2.1000000<",
         {"0123456789<abcdefgh>&ijklmnop\"qrstuvwx\ryz01234567&", 2}}},
       false,
       {}},
      {"ill-formed UTF-8, controls, NUL, U+FFFE",
       "UTF-8",
       {{std::string("1.\xC3", 3),
         {std::string("a\0b\x01\x7F\xED\xA0\x80\xEF\xBF\xBE\xE2\x82", 14), 2}}},
       false,
       {}},
      {"Latin-1 code set", "ISO-8859-1", {{"1.3.\xE9", {"caf\xE9 \xA4\x01", 1}}}, false, {}},
      {"types and Base64",
       "UTF-8",
       {{"1.1", {"AAEC\r\n", 2, "OCTET STRING", true}},
        {"1.2", {"7", 2, "INTEGER", false}},
        {"1.3", {"", 2, "OCTET STRING", false}},
        {"1.4", {"no type", 2, nullptr, false}}},
       true,
       {}},
      {"types off: no TYPE", "UTF-8", {{"1.1", {"AAEC\r\n", 2, "OCTET STRING", true}}}, false, {}},
      {"names with markup, blanks and characters beyond ASCII",
       "UTF-8",
       {{"1.1", {"v", 2, "INTEGER"}},
        {"1.2", {"v", 0}},
        {"1.3", {"", 1}},
        {"1.4", {"w", 1}},
        {"1.5", {"w", 1}}},
       true,
       {{"1.1", "M::a<&>\"\r\n\t'b"},
        {"1.2", "M::gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\x80"},
        {"1.3", ""},
        {"1.4", std::string("M::\xFF\x01\0x", 7)}}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(platform::SetTextCodeset(c.codeset)) << c.name;
    ResultRows rows;
    for (const auto& [oid, row] : c.rows)
      rows.SetAt(oid, {row.value, row.version, row.type, row.base64});
    TableNamer namer(c.names);
    const RowExtras extras{c.value_types, c.names.empty() ? nullptr : &namer};
    std::string direct;
    ASSERT_TRUE(WriteResultRows(
        rows,
        [&](const char* data, size_t size) {
          direct.append(data, size);
          return true;
        },
        extras))
        << c.name;
    CXmlDocument doc;
    ASSERT_TRUE(doc.Create());
    ASSERT_TRUE(AddResultRows(doc, rows, nullptr, extras)) << c.name;
    std::string tree;
    ASSERT_TRUE(doc.Serialize(&tree));
    testxml::Element root;
    std::string error;
    ASSERT_TRUE(testxml::Parse(tree, &root, &error)) << c.name << ": " << error;
    // The reference is the tree handed to the writer element by element.
    xmlDocPtr parsed = xmlReadMemory(tree.data(), static_cast<int>(tree.size()), nullptr, nullptr,
                                     XML_PARSE_NONET | XML_PARSE_NOBLANKS);
    ASSERT_NE(parsed, nullptr) << c.name;
    const std::string reference = testxml::ReferenceLayout(parsed);
    xmlFreeDoc(parsed);
    EXPECT_EQ(direct, tree) << c.name;
    EXPECT_EQ(direct, reference) << c.name;
  }
  platform::SetTextCodeset("UTF-8");
}

// A sink that refuses a piece gets nothing more, and the layout says so.
TEST(ResultRowsLayout, RefusedPieceEndsTheWriting) {
  ResultRows rows;
  const std::string value(70 * 1024, 'v');  // more than one piece
  rows.SetAt("1.1", {value, 2});
  rows.SetAt("1.2", {"x", 2});
  int calls = 0;
  EXPECT_FALSE(WriteResultRows(rows, [&](const char*, size_t) {
    ++calls;
    return false;
  }));
  EXPECT_EQ(calls, 1);
  std::string whole;
  EXPECT_TRUE(WriteResultRows(rows, [&](const char* data, size_t size) {
    EXPECT_LE(size, value.size() + 64);
    whole.append(data, size);
    return true;
  }));
  EXPECT_NE(whole.find("<VALUE>" + value + "</VALUE>"), std::string::npos);
}

// The same through a real Latin-1 locale, as the program selects it at start.
TEST_F(ResultFileTest, Latin1Locale) {
  testutil::ScopedLocaleEnv restore;
  TempDir locales;
  const std::string name = testutil::FindOrMakeLatin1Locale(locales.path());
  if (name.empty()) GTEST_SKIP() << "no Latin-1 locale installed and localedef cannot make one";
  setenv("LC_ALL", name.c_str(), 1);
  ASSERT_TRUE(platform::InitTextEncoding());
  EXPECT_EQ(platform::LocaleCodeset(), "ISO-8859-1");
  rows_.SetAt("1.3.6.1.2.1.1.1.0", {"Z\xFCrich \xE9t\xE9", 0});
  target_ = "h\xF4te";  // the file name keeps the locale's bytes
  std::vector<Row> rows = WriteAndRead(dir_ / "h\xF4te.xml");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].value, "Z\xC3\xBCrich \xC3\xA9t\xC3\xA9");
}

TEST(ResultFilePath, NamesStayInTheDirectory) {
  std::string kEuros;
  for (int i = 0; i < 10; ++i) kEuros += "\xE2\x82\xAC";
  struct Case {
    const char* name;
    std::string target, oid, expected;
  };
  const Case cases[] = {
      {"plain target", "192.168.1.10", "", "/d/192.168.1.10.xml"},
      {"oid form", "192.168.1.10", "1.3.6.1.2.1.1", "/d/192.168.1.10_[1.3.6.1.2.1.1].xml"},
      {"oid blanks kept", "192.168.1.10", " 1.3.6 ", "/d/192.168.1.10_[ 1.3.6 ].xml"},
      {"slash in target", "../../etc/x", "", "/d/.._.._etc_x.xml"},
      {"slash in oid", "h", "1/../../2", "/d/h_[1_.._.._2].xml"},
      {"dot dot target", "..", "", "/d/...xml"},
      {"empty target", "", "", "/d/.xml"},
      {"longest kept whole", std::string(246, 'a'), "", "/d/" + std::string(246, 'a') + ".xml"},
      {"one byte over", std::string(247, 'a'), "",
       "/d/" + std::string(229, 'a') + "~1d4db4a3fed17e6e.xml"},
      // Cut before a character, not inside one: the euro sign at bytes 228-230 goes whole.
      {"cut at a character", std::string(228, 'a') + kEuros, "",
       "/d/" + std::string(228, 'a') + "~e686f841ede3d559.xml"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ResultFilePath("/d", c.target, c.oid), c.expected) << c.name;
}

TEST_F(ResultFileTest, OidFormAndSlashesWriteIntoTheModuleDirectory) {
  std::filesystem::create_directory(dir_ / "sub");
  module_dir_ = dir_ / "sub";
  oid_ = " 1.3.6/1 ";
  target_ = "../x";
  rows_.SetAt("1.3.6.1.0", {"v", 0});
  const std::string path = dir_ / "sub/.._x_[ 1.3.6_1 ].xml";
  ExpectRows(WriteAndRead(path), {{"1.3.6.1.0", "v", ""}});
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}), 1);  // only sub/
}

TEST_F(ResultFileTest, ExistingFileIsReplaced) {
  WriteFile(DefaultPath(), std::string(5000, '#'));
  rows_.SetAt("1.3.6.1.2.1.1.1.0", {"new", 0});
  ExpectRows(WriteAndRead(DefaultPath()), {{"1.3.6.1.2.1.1.1.0", "new", ""}});
}

// Each failure prints "output error", leaves what was there, and logs why.
TEST_F(ResultFileTest, OutputErrorsLogTheirCauseAndKeepTheOldFile) {
  LogSettings log;
  log.enabled = true;
  log.direct = true;
  log.dir = dir_ / "log";
  std::filesystem::create_directory(log.dir);
  UseLogSettings(log);
  WriteFile(dir_ / "file", "x");
  WriteFile(dir_ / "elsewhere", "not ours");
  struct Case {
    const char* name;
    std::string module_dir;
    std::function<int()> hold;  // sets the fault up; returns a descriptor to close after, or -1
    std::string old_content;    // of the result path before and after; "" for none
    std::string cause;
  };
  const std::string temp = AtomicTempPath(DefaultPath());
  const Case cases[] = {
      {"directory missing", dir_ / "file/sub", [] { return -1; }, "", "Not a directory"},
      {"another writer", dir_.path(),
       [&] {
         WriteFile(DefaultPath(), "other job");
         int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
         if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) ADD_FAILURE() << "cannot lock";
         return fd;
       },
       "other job", "another writer is saving this file"},
      {"symbolic link", dir_.path(),
       [&] {
         std::filesystem::remove(DefaultPath());
         if (symlink((dir_ / "elsewhere").c_str(), DefaultPath().c_str()) != 0)
           ADD_FAILURE() << "symlink";
         return -1;
       },
       "not ours", "is a symbolic link"},
  };
  for (const auto& c : cases) {
    module_dir_ = c.module_dir;
    const int held = c.hold();
    std::string printed;
    EXPECT_FALSE(Write(&printed)) << c.name;
    EXPECT_EQ(printed, "output error\n") << c.name;
    if (!c.old_content.empty()) {
      EXPECT_EQ(ReadFile(DefaultPath()), c.old_content) << c.name;
    }
    EXPECT_NE(ReadFile(log.dir + "/log.txt").find("|-|127.0.0.1|output error: " + c.cause + "\n"),
              std::string::npos)
        << c.name;
    if (held >= 0) {
      close(held);
      std::filesystem::remove(temp);
    }
  }
  EXPECT_EQ(ReadFile(dir_ / "elsewhere"), "not ours");
}

// A name longer than a file name may be still gets its file, under a
// shortened name that is the same in every run and differs between targets.
TEST_F(ResultFileTest, OverlongNamesAreShortenedWithAHash) {
  const std::string long_oid = "1.3.6.1.4.1.9999.1." + std::string(300, '7');
  oid_ = long_oid;
  rows_.SetAt(long_oid, {"v", 0});
  const std::string path = ResultFilePath(dir_.path(), target_, long_oid);
  ExpectRows(WriteAndRead(path), {{long_oid, "v", ""}});
  const std::string name = std::filesystem::path(path).filename();
  EXPECT_LE(AtomicTempPath(name).size(), 255u);
  EXPECT_TRUE(name.starts_with("127.0.0.1_[1.3.6.1.4.1.9999.1.777")) << name;
  EXPECT_EQ(ResultFilePath(dir_.path(), target_, long_oid), path);
  EXPECT_NE(ResultFilePath(dir_.path(), target_, long_oid + "8"), path);
  EXPECT_NE(ResultFilePath(dir_.path(), "127.0.0.2", long_oid), path);
}

// The names a list of targets gets: a repeated target keeps its file, names
// that meet (directly, when over-long, or with a marked name already taken)
// never share one, and the same list always gives the same names.
TEST(DistinctResultFilePaths, TargetsNeverShareAFile) {
  const std::string long_part(300, 'x');
  const std::string marked_ab =
      std::filesystem::path(DistinctResultFilePaths("/d", {"a/b", "a_b"}, "")[1]).stem();
  struct Case {
    const char* name;
    std::vector<std::string> targets;
    std::string oid;
  };
  const Case cases[] = {
      {"no meeting", {"192.0.2.1", "192.0.2.2"}, ""},
      {"repeated and meeting", {"a/b", "a/b", "a_b", "a/b", "a_b"}, ""},
      {"meeting in the oid form", {"a/b", "a_b"}, "1.3.6.1.2.1.1.5.0"},
      {"over-long names that meet", {"h/" + long_part, "h_" + long_part}, ""},
      {"a marked name taken by a target", {"a/b", marked_ab, "a_b"}, ""},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> paths = DistinctResultFilePaths("/d", c.targets, c.oid);
    ASSERT_EQ(paths.size(), c.targets.size()) << c.name;
    EXPECT_EQ(DistinctResultFilePaths("/d", c.targets, c.oid), paths) << c.name;
    // The first of each file name keeps the designed name.
    EXPECT_EQ(paths[0], ResultFilePath("/d", c.targets[0], c.oid)) << c.name;
    for (size_t i = 0; i < paths.size(); ++i) {
      const std::string name = std::filesystem::path(paths[i]).filename();
      EXPECT_LE(AtomicTempPath(name).size(), 255u) << c.name << ": " << name;
      EXPECT_EQ(paths[i].rfind("/d/", 0), 0u) << paths[i];
      for (size_t j = 0; j < i; ++j)
        EXPECT_EQ(paths[i] == paths[j], c.targets[i] == c.targets[j])
            << c.name << ": " << c.targets[j] << " and " << c.targets[i] << " -> " << paths[i];
    }
  }
}

}  // namespace
