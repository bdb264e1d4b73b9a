// mibscan --diff through the real binary: two folders (or files) of result
// files written by hand, with and without the TYPE, ENCODING and NAME marks,
// against the CSV, the closing line and the exit code.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "app/result_diff.h"
#include "output/result_document.h"
#include "support/test_util.h"

namespace {

const char kHeader[] = "target,oid,name,change,old,new\r\n";
const char kSysName[] = "1.3.6.1.2.1.1.5.0";
const char kIfDescr[] = "1.3.6.1.2.1.2.2.1.2.1";
const char kIfInOctets[] = "1.3.6.1.2.1.2.2.1.10.1";
const char kIfPhys[] = "1.3.6.1.2.1.2.2.1.6.1";

// One RESULT as a file holds it: OID attributes (VER, NAME) and VALUE
// attributes (TYPE, ENCODING) as written in the tag.
struct Row {
  std::string oid;
  std::string value;
  std::string value_attrs = "";  // e.g. TYPE="Counter32"
  std::string oid_attrs = "VER=\"1\"";
};

// Escaped as the writer escapes a text: CR as a character reference, so it
// survives the parser's line-end handling.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '\r')
      out += "&#13;";
    else
      out += c;
  }
  return out;
}

std::string ResultXml(const std::vector<Row>& rows) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<RESULTS>\n";
  for (const Row& r : rows) {
    xml += "\t<RESULT>\n\t\t<OID" + (r.oid_attrs.empty() ? "" : " " + r.oid_attrs) + ">" + r.oid +
           "</OID>\n\t\t<VALUE" + (r.value_attrs.empty() ? "" : " " + r.value_attrs) + ">" +
           Escaped(r.value) + "</VALUE>\n\t</RESULT>\n";
  }
  return xml + "</RESULTS>\n";
}

using Folder = std::map<std::string, std::vector<Row>>;  // file name -> rows

void WriteFolder(const std::string& dir, const Folder& files) {
  std::filesystem::create_directories(dir);
  for (const auto& [name, rows] : files) testutil::WriteFile(dir + "/" + name, ResultXml(rows));
}

testutil::ProcessResult Diff(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {MIBSCAN_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return testutil::RunProcess(argv, 60);
}

struct DiffCase {
  const char* name;
  Folder old_files, new_files;
  bool all;
  std::string expected_rows;  // the CSV after its header
};

TEST(DiffCommand, EveryKindOfChange) {
  const std::string typed_int = "TYPE=\"INTEGER\"";
  const std::string counter = "TYPE=\"Counter32\"";
  const std::string b64 = "TYPE=\"OCTET STRING\" ENCODING=\"base64\"";
  const std::string text = "TYPE=\"OCTET STRING\"";
  const std::vector<DiffCase> cases = {
      {"nothing changed",
       {{"a.xml", {{kSysName, "core-1"}}}},
       {{"a.xml", {{kSysName, "core-1"}}}},
       false,
       ""},
      {"value changed",
       {{"a.xml", {{kSysName, "core-1"}, {kIfDescr, "eth0"}}}},
       {{"a.xml", {{kIfDescr, "eth0"}, {kSysName, "core-2"}}}},
       false,
       "a,1.3.6.1.2.1.1.5.0,,changed,core-1,core-2\r\n"},
      {"rows added and removed, in OID order whatever the file order",
       {{"a.xml", {{"1.3.6.1.2.1.2.2.1.2.10", "ten"}, {kSysName, "x"}}}},
       {{"a.xml", {{"1.3.6.1.2.1.2.2.1.2.9", "nine"}, {kSysName, "x"}}}},
       false,
       "a,1.3.6.1.2.1.2.2.1.2.9,,added,,nine\r\n"
       "a,1.3.6.1.2.1.2.2.1.2.10,,removed,ten,\r\n"},
      {"targets added and removed; the oid form's OID in the oid column",
       {{"gone.xml", {{kSysName, "x"}}}, {"kept.xml", {{kSysName, "x"}}}},
       {{"kept.xml", {{kSysName, "x"}}}, {"new_[1.3.6.1.2.1.1.5.0].xml", {{kSysName, "x"}}}},
       false,
       "gone,,,target removed,,\r\n"
       "new,1.3.6.1.2.1.1.5.0,,target added,,\r\n"},
      {"Base64 of a file that marks nothing equals text of the same bytes",
       {{"a.xml", {{kIfDescr, "QUJD\r\n"}, {kSysName, "aGVsbG8AAA==\r\n"}}}},
       {{"a.xml", {{kIfDescr, "ABC"}, {kSysName, "hello"}}}},
       false,
       ""},
      {"marked Base64 against text of the same bytes and of other bytes",
       {{"a.xml", {{kIfDescr, "QUJD\r\n", b64}, {kIfPhys, "AAECAwQF\r\n", b64}}}},
       {{"a.xml", {{kIfDescr, "ABC", text}, {kIfPhys, "ABC", text}}}},
       false,
       "a,1.3.6.1.2.1.2.2.1.6.1,,changed,\"AAECAwQF\r\n\",ABC\r\n"},
      {"in a file with types an unmarked value is text, even one of Base64's form",
       {{"a.xml", {{kIfDescr, "QUJD\r\n", text}}}},
       {{"a.xml", {{kIfDescr, "ABC", text}}}},
       false,
       "a,1.3.6.1.2.1.2.2.1.2.1,,changed,\"QUJD\r\n\",ABC\r\n"},
      {"Base64 lines of one value laid out differently are the same bytes",
       {{"a.xml",
         {{kIfDescr,
           "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFB\r\nQUFB\r\n"}}}},
       {{"a.xml",
         {{kIfDescr, "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFB\nQUFB\n",
           b64}}}},
       false,
       ""},
      {"type changed, value the same",
       {{"a.xml", {{kIfDescr, "5", typed_int}}}},
       {{"a.xml", {{kIfDescr, "5", "TYPE=\"Gauge32\""}}}},
       false,
       "a,1.3.6.1.2.1.2.2.1.2.1,,changed,INTEGER: 5,Gauge32: 5\r\n"},
      {"counters, time ticks and sysUpTime.0 left out",
       {{"a.xml",
         {{kIfInOctets, "100", counter},
          {"1.3.6.1.2.1.31.1.1.1.6.1", "1", "TYPE=\"Counter64\""},
          {"1.3.6.1.2.1.1.3.0", "5", "TYPE=\"TimeTicks\""},
          {"1.3.6.1.2.1.2.2.1.9.1", "7", "TYPE=\"TimeTicks\""},
          {"1.3.6.1.2.1.2.2.1.11.1", "3", counter}}}},
       {{"a.xml",
         {{kIfInOctets, "200", counter},
          {"1.3.6.1.2.1.31.1.1.1.6.1", "2", "TYPE=\"Counter64\""},
          {"1.3.6.1.2.1.1.3.0", "6", "TYPE=\"TimeTicks\""},
          {"1.3.6.1.2.1.2.2.1.9.1", "8", "TYPE=\"TimeTicks\""},
          {"1.3.6.1.2.1.2.2.1.10.2", "1", counter}}}},
       false,
       ""},
      {"--all keeps them",
       {{"a.xml", {{kIfInOctets, "100", counter}, {"1.3.6.1.2.1.1.3.0", "5"}}}},
       {{"a.xml", {{kIfInOctets, "200", counter}, {"1.3.6.1.2.1.1.3.0", "6"}}}},
       true,
       "a,1.3.6.1.2.1.1.3.0,,changed,5,6\r\n"
       "a,1.3.6.1.2.1.2.2.1.10.1,,changed,100,200\r\n"},
      {"sysUpTime.0 left out in files without types; other rows are not",
       {{"a.xml", {{"1.3.6.1.2.1.1.3.0", "5"}, {kIfInOctets, "100"}}}},
       {{"a.xml", {{"1.3.6.1.2.1.1.3.0", "6"}, {kIfInOctets, "200"}}}},
       false,
       "a,1.3.6.1.2.1.2.2.1.10.1,,changed,100,200\r\n"},
      {"a counter that became a gauge is a change",
       {{"a.xml", {{kIfInOctets, "100", counter}}}},
       {{"a.xml", {{kIfInOctets, "100", "TYPE=\"Gauge32\""}}}},
       false,
       "a,1.3.6.1.2.1.2.2.1.10.1,,changed,Counter32: 100,Gauge32: 100\r\n"},
      {"names from NAME; fields quoted as RFC 4180 has them",
       {{"a.xml", {{kSysName, "a,b", "", "VER=\"2\" NAME=\"SNMPv2-MIB::sysName.0\""}}}},
       {{"a.xml", {{kSysName, "say \"hi\"", "", "VER=\"2\" NAME=\"SNMPv2-MIB::sysName.0\""}}}},
       false,
       "a,1.3.6.1.2.1.1.5.0,SNMPv2-MIB::sysName.0,changed,\"a,b\",\"say \"\"hi\"\"\"\r\n"},
      {"a version that changed is no change of the row",
       {{"a.xml", {{kSysName, "x", "", "VER=\"1\""}}}},
       {{"a.xml", {{kSysName, "x", "", "VER=\"2\""}}}},
       false,
       ""},
      {"an empty value against a missing row and a text",
       {{"a.xml", {{kSysName, ""}, {kIfDescr, ""}}}},
       {{"a.xml", {{kIfDescr, "eth0"}}}},
       false,
       "a,1.3.6.1.2.1.1.5.0,,removed,,\r\n"
       "a,1.3.6.1.2.1.2.2.1.2.1,,changed,,eth0\r\n"},
  };
  for (const DiffCase& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::TempDir dir;
    WriteFolder(dir / "old", c.old_files);
    WriteFolder(dir / "new", c.new_files);
    std::vector<std::string> args = {"--diff"};
    if (c.all) args.push_back("--all");
    args.insert(args.end(), {dir / "old", dir / "new"});
    const testutil::ProcessResult r = Diff(args);
    EXPECT_EQ(r.out, kHeader + c.expected_rows);
    EXPECT_EQ(r.exit_code, c.expected_rows.empty() ? 0 : 1) << r.err;
    EXPECT_EQ(testutil::CountOf(r.err, "\n"), 1u) << r.err;
  }
}

TEST(DiffCommand, ClosingLineCountsTargetsAndRows) {
  testutil::TempDir dir;
  WriteFolder(dir / "old", {{"a.xml", {{kSysName, "1"}, {kIfDescr, "x"}}},
                            {"b.xml", {{kSysName, "1"}}},
                            {"c.xml", {{kSysName, "1"}, {"1.3.6.1.2.1.1.3.0", "1"}}},
                            {"gone.xml", {}}});
  WriteFolder(dir / "new", {{"a.xml", {{kSysName, "2"}}},
                            {"b.xml", {{kSysName, "1"}, {kIfDescr, "y"}}},
                            {"c.xml", {{kSysName, "1"}, {"1.3.6.1.2.1.1.3.0", "2"}}},
                            {"d.xml", {}}});
  const testutil::ProcessResult r = Diff({"--diff", dir / "old", dir / "new"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "mibscan: 3 targets compared, 2 with changes, 1 added, 1 removed; rows: 1 added, "
            "1 removed, 1 changed; 1 volatile row left out (--all keeps them)\n");
}

TEST(DiffCommand, TwoFilesArePairedWhateverTheirNames) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "monday.xml", ResultXml({{kSysName, "a"}}));
  testutil::WriteFile(dir / "tuesday.xml", ResultXml({{kSysName, "b"}}));
  const testutil::ProcessResult r = Diff({"--diff", dir / "monday.xml", dir / "tuesday.xml"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string(kHeader) + "tuesday,1.3.6.1.2.1.1.5.0,,changed,a,b\r\n");
}

// A file the writer made is read back whole: text that needs escaping, line
// ends, non-ASCII text and Base64 values are no change against themselves.
TEST(DiffCommand, FilesOfTheWriterAgainstThemselves) {
  testutil::TempDir dir;
  ResultRows rows;
  rows.SetAt("1.3.6.1.2.1.1.1.0", {"a <b> & \"c\"\r\nline two\n", 2});
  rows.SetAt("1.3.6.1.2.1.1.5.0", {"h\xc3\xa9llo", 0});
  rows.SetAt("1.3.6.1.2.1.2.2.1.6.1", {"AAECAwQF\r\n", 1});
  rows.SetAt("1.3.6.1.2.1.1.6.0", {"", 1});
  std::filesystem::create_directories(dir / "old");
  std::filesystem::create_directories(dir / "new");
  ASSERT_TRUE(SaveResultDocument(dir / "old/t.xml", rows));
  ASSERT_TRUE(SaveResultDocument(dir / "new/t.xml", rows));
  testutil::ProcessResult r = Diff({"--diff", dir / "old", dir / "new"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out, kHeader);

  rows.SetAt("1.3.6.1.2.1.1.1.0", {"a <b> & \"c\"\r\nline 2\n", 2});
  ASSERT_TRUE(SaveResultDocument(dir / "new/t.xml", rows));
  r = Diff({"--diff", dir / "old", dir / "new"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, std::string(kHeader) +
                       "t,1.3.6.1.2.1.1.1.0,,changed,\"a <b> & \"\"c\"\"\r\nline two\n\",\"a <b> & "
                       "\"\"c\"\"\r\nline 2\n\"\r\n");
}

// Trouble is exit code 2 with one line naming what could not be read; the
// other targets are still compared.
TEST(DiffCommand, TroubleNamesWhatCouldNotBeRead) {
  testutil::TempDir dir;
  WriteFolder(dir / "old", {{"a.xml", {{kSysName, "1"}}}, {"b.xml", {{kSysName, "1"}}}});
  WriteFolder(dir / "new", {{"a.xml", {{kSysName, "2"}}}});
  testutil::WriteFile(dir / "new/b.xml", "<RESULTS><RESULT><OID>1.3</OID>");
  testutil::WriteFile(dir / "file.xml", ResultXml({}));
  ASSERT_EQ(mkfifo((dir / "fifo.xml").c_str(), 0600), 0);
  testutil::WriteFile(dir / "foreign.xml", "<?xml version=\"1.0\"?>\n<html><body/></html>\n");
  testutil::WriteFile(dir / "stray.xml",
                      "<RESULTS><RESULT><OID>1.3</OID><VALUE>1</VALUE><X/></RESULT></RESULTS>");

  testutil::ProcessResult r = Diff({"--diff", dir / "old", dir / "new"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, std::string(kHeader) + "a,1.3.6.1.2.1.1.5.0,,changed,1,2\r\n");
  EXPECT_EQ(testutil::CountOf(r.err, dir / "new/b.xml"), 1u) << r.err;
  EXPECT_EQ(testutil::CountOf(r.err, "\n"), 2u) << r.err;  // the file, the closing line

  struct Refusal {
    std::vector<std::string> args;
    std::string named;  // what the one line names
  };
  const std::vector<Refusal> refusals = {
      {{"--diff", dir / "missing", dir / "new"}, dir / "missing"},
      {{"--diff", dir / "old", dir / "file.xml"}, "not both folders or both files"},
      {{"--diff", dir / "fifo.xml", dir / "file.xml"}, dir / "fifo.xml"},
      {{"--diff", dir / "foreign.xml", dir / "file.xml"}, "not a result file"},
      {{"--diff", dir / "stray.xml", dir / "file.xml"}, "unexpected element X"},
      {{"--diff", dir / "old"}, "expected --diff [--all] OLD NEW"},
      {{"--diff", "--al", dir / "old", dir / "new"}, "--al"},
      {{"--diff", "--all", "--all", dir / "old", dir / "new"}, "more than once"},
  };
  for (const Refusal& c : refusals) {
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    r = Diff(c.args);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("changed"), std::string::npos) << r.out;
  }
}

TEST(DiffCommand, OidOrder) {
  const std::vector<std::string> ordered = {"1.3.6",    "1.3.6.1", "1.3.6.2", "1.3.6.010",
                                            "1.3.6.10", "1.3.6.x", "1.3.7",   "2"};
  for (size_t i = 0; i < ordered.size(); ++i) {
    EXPECT_EQ(CompareOids(ordered[i], ordered[i]), 0);
    for (size_t j = i + 1; j < ordered.size(); ++j) {
      EXPECT_LT(CompareOids(ordered[i], ordered[j]), 0) << ordered[i] << " " << ordered[j];
      EXPECT_GT(CompareOids(ordered[j], ordered[i]), 0) << ordered[j] << " " << ordered[i];
    }
  }
}

TEST(DiffCommand, TargetOfResultFileInvertsItsName) {
  for (const auto& [target, oid] :
       std::vector<std::pair<std::string, std::string>>{{"192.0.2.1", ""},
                                                        {"udp6:[::1]:161", ""},
                                                        {"udp6:[::1]", ""},
                                                        {"host", "1.3.6.1.2.1.1.5.0"},
                                                        {"host", "sysName.0"}}) {
    const std::string path = ResultFilePath("/d", target, oid);
    std::string form_oid;
    EXPECT_EQ(TargetOfResultFile(path.substr(3), &form_oid), target);
    EXPECT_EQ(form_oid, oid);
  }
}

}  // namespace
