#include "output/xml_document.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "output/atomic_file.h"
#include "output/parsed_xml.h"
#include "output/reference_layout.h"
#include "support/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string Saved(CXmlDocument& doc) {
  std::string out;
  EXPECT_TRUE(doc.Serialize(&out)) << doc.m_strError;
  return out;
}

testxml::Element ParsedRoot(const std::string& bytes) {
  testxml::Element root;
  std::string error;
  EXPECT_TRUE(testxml::Parse(bytes, &root, &error)) << error << "\n" << bytes;
  return root;
}

TEST(XmlDocument, LayoutOneElementPerLineIndentedByDepth) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.Create());
  XmlElement r = doc.AddRootElement("RESULT", "", "", "");
  doc.AddElement(r, "OID", "1.3.6.1.2.1.1.3.0", "VER", "2", false);
  doc.AddElement(r, "VALUE", "12345", "", "", false);
  r = doc.AddRootElement("RESULT", "", "", "");
  doc.AddElement(r, "OID", "1.3.6.1.2.1.1.1.0", "", "", false);
  doc.AddElement(r, "VALUE", "", "", "", false);
  EXPECT_EQ(Saved(doc), std::string(kDeclaration) +
                            "<RESULTS>\n"
                            "\t<RESULT>\n"
                            "\t\t<OID VER=\"2\">1.3.6.1.2.1.1.3.0</OID>\n"
                            "\t\t<VALUE>12345</VALUE>\n"
                            "\t</RESULT>\n"
                            "\t<RESULT>\n"
                            "\t\t<OID>1.3.6.1.2.1.1.1.0</OID>\n"
                            "\t\t<VALUE/>\n"
                            "\t</RESULT>\n"
                            "</RESULTS>\n");
}

TEST(XmlDocument, EmptyDocumentAndRecreate) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.Create());
  EXPECT_EQ(Saved(doc), std::string(kDeclaration) + "<RESULTS/>\n");
  doc.AddRootElement("RESULT", "x", "", "");
  ASSERT_TRUE(doc.Create());  // back to the bare template
  EXPECT_EQ(Saved(doc), std::string(kDeclaration) + "<RESULTS/>\n");
}

TEST(XmlDocument, NamesAttributesAndTextNodes) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.Create());
  XmlElement amp = doc.AddRootElement("A&B&", "x&y", "k&", "v&w");
  XmlElement no_name = doc.AddRootElement("N", "t", "", "ignored");
  XmlElement empty_value = doc.AddRootElement("E", "t", "at", "");
  XmlElement empty_text = doc.AddRootElement("T", "", "", "");
  XmlElement no_text = doc.AddElement(empty_text, "U", "ignored", "", "", true);
  XmlElement two = doc.AddRootElement("OID", "1.3", "VER", "1");
  doc.AddAttribute(two, "NAME", "M::o\x01<&\"");

  // In the tree: an empty text node is there, bNoText adds none.
  ASSERT_NE(empty_text->children, nullptr);
  EXPECT_EQ(empty_text->children->type, XML_TEXT_NODE);
  EXPECT_STREQ(reinterpret_cast<const char*>(empty_text->children->content), "");
  EXPECT_EQ(no_text->children, nullptr);
  EXPECT_EQ(no_name->properties, nullptr);
  (void)amp;
  (void)empty_value;

  const std::string saved = Saved(doc);
  EXPECT_NE(saved.find("<OID VER=\"1\" NAME=\"M::o\xEF\xBF\xBD&lt;&amp;&quot;\">1.3</OID>"),
            std::string::npos)
      << saved;  // after the attribute AddElement set, the value cleaned and escaped
  testxml::Element root = ParsedRoot(saved);
  ASSERT_EQ(root.children.size(), 5u);
  EXPECT_EQ(root.children[0].name, "A-B-");
  EXPECT_EQ(root.children[0].text, "x&y");
  EXPECT_EQ(root.children[0].attrs, (std::map<std::string, std::string>{{"k-", "v&w"}}));
  EXPECT_TRUE(root.children[1].attrs.empty());
  EXPECT_EQ(root.children[2].attrs, (std::map<std::string, std::string>{{"at", ""}}));
  ASSERT_EQ(root.children[3].children.size(), 1u);
  EXPECT_TRUE(testxml::IsBlank(root.children[3].text));
  EXPECT_FALSE(root.children[3].children[0].has_text_node);
}

// Whatever bytes a text or attribute value holds, the file is well-formed and
// reads back as the text with every unstorable character as U+FFFD.
TEST(XmlDocument, TextsReadBackExactly) {
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"markup characters", "<a href=\"x\">&amp;</a> ]]> '", "<a href=\"x\">&amp;</a> ]]> '"},
      {"base64 with CR LF", "QUJD\r\nREVG\r\n", "QUJD\r\nREVG\r\n"},
      {"lone CR and blanks", "\r a\t b \n\n", "\r a\t b \n\n"},
      {"leading and trailing blanks", "  x  ", "  x  "},
      {"UTF-8 kept", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
       "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"Latin-1 bytes", "caf\xE9!", "caf" + fffd + "!"},
      {"controls", std::string("a\x01\x1F\x7F", 4) + "b",
       "a" + fffd + fffd +
           "\x7F"
           "b"},
      {"NUL inside", std::string("a\0b", 3), "a" + fffd + "b"},
      {"U+FFFE and U+FFFF", "\xEF\xBF\xBE\xEF\xBF\xBF", fffd + fffd},
      {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
      {"truncated sequence at the end", "x\xE2\x82", "x" + fffd + fffd},
      {"highest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.Create());
    XmlElement r = doc.AddRootElement("RESULT", "", "", "");
    doc.AddElement(r, "VALUE", c.in, "VER", c.in, false);
    testxml::Element root = ParsedRoot(Saved(doc));
    ASSERT_EQ(root.children.size(), 1u) << c.name;
    ASSERT_EQ(root.children[0].children.size(), 1u) << c.name;
    const testxml::Element& v = root.children[0].children[0];
    EXPECT_EQ(v.text, c.out) << c.name;
    EXPECT_EQ(v.attrs.at("VER"), c.out) << c.name;
  }
}

TEST(XmlDocument, TextBesideChildElementsGetsNoIndentation) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.Create());
  XmlElement outer = doc.AddRootElement("OUTER", "", "", "");
  XmlElement mixed = doc.AddElement(outer, "MIXED", "head", "", "", false);
  XmlElement inner = doc.AddElement(mixed, "INNER", "x", "", "", false);
  doc.AddElement(inner, "LEAF", "y", "", "", false);
  doc.AddElement(mixed, "LAST", "", "", "", false);
  doc.AddRootElement("AFTER", "z", "", "");
  const std::string bytes = Saved(doc);
  testxml::Element root = ParsedRoot(bytes);
  ASSERT_EQ(root.children.size(), 2u);
  const testxml::Element& m = root.children[0].children.at(0);
  EXPECT_EQ(m.text, "head");
  ASSERT_EQ(m.children.size(), 2u);
  EXPECT_EQ(m.children[0].text, "x");
  EXPECT_EQ(m.children[0].children.at(0).text, "y");
  EXPECT_EQ(root.children[1].text, "z");
  // The following sibling still starts a line of its own.
  EXPECT_NE(bytes.find("\n\t<AFTER>z</AFTER>\n"), std::string::npos) << bytes;
}

TEST(XmlDocument, ElementErrorsAreRefusedWithTheirCause) {
  // The cause of a refused element operation; "" when it was taken.
  auto cause = [](auto&& fn) {
    std::string error;
    if (fn(&error)) return std::string();
    EXPECT_NE(error, "");
    return error;
  };
  const std::string no_parent = "no document or parent";
  const std::string foreign_parent = "parent is not an element of this document";
  const std::string bad_name = "invalid XML name";
  CXmlDocument empty;
  EXPECT_EQ(cause([&](std::string* e) { return empty.AddRootElement("RESULT", "", "", "", e); }),
            "no document element");

  CXmlDocument doc, other;
  ASSERT_TRUE(doc.Create());
  ASSERT_TRUE(other.Create());
  XmlElement foreign = other.AddRootElement("X", "", "", "");
  EXPECT_EQ(
      cause([&](std::string* e) { return doc.AddElement(nullptr, "A", "", "", "", false, e); }),
      no_parent);
  EXPECT_EQ(
      cause([&](std::string* e) { return empty.AddElement(foreign, "A", "", "", "", false, e); }),
      no_parent);
  EXPECT_EQ(
      cause([&](std::string* e) { return doc.AddElement(foreign, "A", "", "", "", false, e); }),
      foreign_parent);
  // Ill-formed UTF-8 too: the library's name check alone would read it as Latin-1.
  const std::vector<std::string> bad_names = {
      "",     "1A",      "a b",      "a<b",          "a\"", std::string("a\0b", 3),
      "\xFF", "caf\xE9", "\xA9\xBE", "a\xEF\xBF\xBF"};
  for (const std::string& bad : bad_names)
    EXPECT_EQ(cause([&](std::string* e) { return doc.AddRootElement(bad, "", "", "", e); }),
              bad_name)
        << bad;
  EXPECT_EQ(cause([&](std::string* e) { return doc.AddRootElement("A", "", "V E R", "1", e); }),
            bad_name);
  EXPECT_EQ(cause([&](std::string* e) { return doc.AddAttribute(foreign, "A", "", e); }),
            "not an element of this document");
  EXPECT_EQ(cause([&](std::string* e) { return doc.AddAttribute(nullptr, "A", "", e); }),
            "no document or element");
  // Refused names leave no element behind.
  EXPECT_EQ(Saved(doc), std::string(kDeclaration) + "<RESULTS/>\n");
}

class XmlSaveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(doc_.Create());
    XmlElement r = doc_.AddRootElement("RESULT", "", "", "");
    doc_.AddElement(r, "VALUE", "v", "", "", false);
    ASSERT_TRUE(doc_.Serialize(&expected_));
  }
  TempDir dir_;
  CXmlDocument doc_;
  std::string expected_;
};

TEST_F(XmlSaveTest, WritesAndReplacesAWholeFile) {
  const std::string path = dir_ / "r.xml";
  WriteFile(path, std::string(10000, 'x'));  // longer than the document
  ASSERT_TRUE(doc_.Save(path));
  EXPECT_EQ(ReadFile(path), expected_);
  ASSERT_TRUE(doc_.Save(path));
  EXPECT_EQ(ReadFile(path), expected_);
}

TEST_F(XmlSaveTest, FailuresNameTheirCauseAndTouchNothing) {
  WriteFile(dir_ / "plain", "x");
  WriteFile(dir_ / "target", "link target");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink((dir_ / "target").c_str(), (dir_ / "link.xml").c_str()), 0);
  ASSERT_EQ(symlink((dir_ / "nowhere").c_str(), (dir_ / "dangling.xml").c_str()), 0);
  struct Case {
    std::string path;
    std::string cause;
  };
  const Case cases[] = {
      {dir_ / "missing/r.xml", "No such file or directory"},
      {dir_ / "plain/r.xml", "Not a directory"},
      {dir_.path(), "not a regular file"},
      {dir_ / "fifo", "not a regular file"},
      {dir_ / "link.xml", "is a symbolic link"},
      {dir_ / "dangling.xml", "is a symbolic link"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(doc_.Save(c.path)) << c.path;
    EXPECT_EQ(doc_.m_strError, c.cause) << c.path;
    EXPECT_FALSE(testutil::FileExists(AtomicTempPath(c.path))) << c.path;
  }
  EXPECT_FALSE(testutil::FileExists(dir_ / "missing/r.xml"));
  EXPECT_EQ(ReadFile(dir_ / "plain"), "x");
  EXPECT_EQ(ReadFile(dir_ / "target"), "link target");
  EXPECT_FALSE(testutil::FileExists(dir_ / "nowhere"));
}

TEST_F(XmlSaveTest, SecondWriterFailsWhileTheFirstHoldsTheTemporaryFile) {
  const std::string path = dir_ / "r.xml";
  WriteFile(path, "previous run");
  const std::string temp = AtomicTempPath(path);
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(doc_.Save(path));
  EXPECT_EQ(doc_.m_strError, "another writer is saving this file");
  EXPECT_EQ(ReadFile(path), "previous run");
  close(fd);
  // A temporary file left behind (a crashed run) is taken over.
  EXPECT_TRUE(doc_.Save(path));
  EXPECT_EQ(ReadFile(path), expected_);
  EXPECT_FALSE(testutil::FileExists(temp));
}

TEST_F(XmlSaveTest, SaveWithoutDocumentFails) {
  CXmlDocument none;
  EXPECT_FALSE(none.Save(dir_ / "r.xml"));
  EXPECT_EQ(none.m_nErrorCode, CXmlDocument::E_POINTER);
  EXPECT_FALSE(testutil::FileExists(dir_ / "r.xml"));
}

TEST(XmlDocument, ThreadsBuildAndSaveTheirOwnDocuments) {
  TempDir dir;
  constexpr int kThreads = 8, kRounds = 20;
  std::vector<std::thread> threads;
  std::vector<int> saved(kThreads, 0);
  std::vector<std::string> failure(kThreads);  // the first failure of each thread, for the report
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        CXmlDocument doc;
        if (!doc.Create()) {
          if (failure[t].empty()) failure[t] = "Create: " + doc.m_strError;
          continue;
        }
        for (int row = 0; row < 50; ++row) {
          XmlElement r = doc.AddRootElement("RESULT", "", "", "");
          doc.AddElement(r, "OID", std::to_string(t) + "." + std::to_string(row), "VER", "1",
                         false);
        }
        if (doc.Save(dir / ("t" + std::to_string(t) + ".xml")))
          ++saved[t];
        else if (failure[t].empty())
          failure[t] = "Save: " + std::to_string(doc.m_nErrorCode) + " " + doc.m_strError;
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(saved[t], kRounds) << t << " " << failure[t];
    testxml::Element root = ParsedRoot(ReadFile(dir / ("t" + std::to_string(t) + ".xml")));
    ASSERT_EQ(root.children.size(), 50u) << t;
    EXPECT_EQ(root.children[49].children.at(0).text, std::to_string(t) + ".49");
  }
}

// Whatever the tree, the saved bytes are the ones the writer produces when
// fed element by element: escapes of every special byte in texts and in
// attribute values (non-ASCII values included), empty and missing texts,
// texts of many lengths, nesting, mixed
// content at any depth among ordinary rows, and documents larger than one
// run of rows.
TEST(XmlDocument, LayoutIsTheWritersOwn) {
  const std::string specials = "<>&\"'\r\n\t]]>";
  std::vector<std::string> texts = {
      "", "x", specials, "caf\xC3\xA9 \xE2\x82\xAC", "a\r\nb\r\n", "  lead and trail  "};
  for (size_t n = 12; n <= 20; ++n) texts.push_back(std::string(n, 'z'));
  auto rows = [&](CXmlDocument& doc, int count) {
    for (int i = 0; i < count; ++i) {
      const std::string& t = texts[static_cast<size_t>(i) % texts.size()];
      XmlElement r = doc.AddRootElement("RESULT", "", "", "");
      doc.AddElement(r, "OID", "1.3.6.1.4.1." + std::to_string(i), "VER", std::to_string(i % 3 + 1),
                     false);
      doc.AddElement(r, "VALUE", t, "", "", false);
    }
  };
  auto mixed = [](CXmlDocument& doc, XmlElement parent) {
    XmlElement m = doc.AddElement(parent, "MIXED", "head", "", "", false);
    doc.AddElement(m, "IN", "x", "", "", false);
  };
  struct Case {
    const char* name;
    std::function<void(CXmlDocument&)> build;
  };
  const Case cases[] = {
      {"rows", [&](CXmlDocument& d) { rows(d, 40); }},
      {"attribute values",
       [&](CXmlDocument& d) {
         for (const auto& t : texts) d.AddRootElement("A", t, "at", t);
         d.AddRootElement("B", "", "at", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80");
         d.AddRootElement("C", "", "at", "");
       }},
      {"nesting and empty elements",
       [&](CXmlDocument& d) {
         XmlElement a = d.AddRootElement("A", "", "", "");
         XmlElement b = d.AddElement(a, "B", "", "k", "v", true);
         d.AddElement(d.AddElement(b, "C", "", "", "", false), "D", "deep", "", "", false);
         d.AddElement(b, "E", "", "", "", true);
         d.AddRootElement("F", "", "", "");
       }},
      {"mixed first, middle, last",
       [&](CXmlDocument& d) {
         mixed(d, d.AddRootElement("R0", "", "", ""));
         rows(d, 3);
         mixed(d, d.AddRootElement("R1", "", "", ""));
         d.AddElement(d.AddRootElement("R2", "", "", ""), "X", "y", "", "", false);
         XmlElement deep = d.AddRootElement("R3", "", "", "");
         mixed(d, d.AddElement(deep, "S", "", "", "", false));
       }},
      {"mixed root child",
       [&](CXmlDocument& d) {
         d.AddElement(d.AddRootElement("MIXED", "head", "", ""), "IN", "x", "", "", false);
       }},
      {"larger than a run",
       [&](CXmlDocument& d) {
         rows(d, 1500);
         mixed(d, d.AddRootElement("R", "", "", ""));
         rows(d, 1500);
       }},
  };
  for (const auto& c : cases) {
    CXmlDocument doc;
    ASSERT_TRUE(doc.Create());
    XmlElement first = doc.AddRootElement("FIRST", "", "", "");
    c.build(doc);
    EXPECT_EQ(Saved(doc), testxml::ReferenceLayout(first->doc)) << c.name;
  }
}

}  // namespace
