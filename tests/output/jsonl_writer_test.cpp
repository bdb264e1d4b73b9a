// The JSON Lines stream: every line parsed back with RapidJSON's reader;
// targets' lines whole when many threads write at once; a file that only
// appears complete; standard output.
#include "output/jsonl_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/text_encoding.h"
#include "support/test_util.h"

namespace {

using testutil::TempDir;

std::vector<std::map<std::string, std::string>> ParseLines(const std::string& text) {
  std::vector<std::map<std::string, std::string>> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(line.c_str(), line.size());
    EXPECT_FALSE(doc.HasParseError()) << line;
    if (doc.HasParseError() || !doc.IsObject()) continue;
    std::map<std::string, std::string> row;
    for (auto& m : doc.GetObject()) {
      EXPECT_TRUE(m.value.IsString()) << line;
      if (m.value.IsString())
        row[m.name.GetString()] = std::string(m.value.GetString(), m.value.GetStringLength());
    }
    rows.push_back(row);
  }
  return rows;
}

TEST(JsonLinesBatchTest, FieldsParseBackToTheRow) {
  JsonLinesBatch batch("udp6:[::1]:1161");
  batch.Add({"1.3.6.1.2.1.1.5.0", 1, "OCTET STRING", "say \"hi\" \\ \r\n\x7f caf\xc3\xa9", false,
             "SNMPv2-MIB::sysName.0"});
  batch.Add({"1.3.6.1.2.1.2.2.1.6.2", 2, "OCTET STRING", "ACGbqrvM\r\n", true, ""});
  batch.Add({"1.3.6.1.2.1.31.1.1.1.6.1", 3, "Counter64", "18446744073709551615", false, ""});
  ASSERT_EQ(batch.rows(), 3u);
  const auto rows = ParseLines(batch.text());
  ASSERT_EQ(rows.size(), 3u);
  const std::map<std::string, std::string> first = {{"target", "udp6:[::1]:1161"},
                                                    {"oid", "1.3.6.1.2.1.1.5.0"},
                                                    {"version", "1"},
                                                    {"type", "OCTET STRING"},
                                                    {"value", "say \"hi\" \\ \r\n\x7f caf\xc3\xa9"},
                                                    {"encoding", "text"},
                                                    {"name", "SNMPv2-MIB::sysName.0"}};
  EXPECT_EQ(rows[0], first);
  EXPECT_EQ(rows[1].at("version"), "2c");
  EXPECT_EQ(rows[1].at("encoding"), "base64");
  EXPECT_EQ(rows[1].at("value"), "ACGbqrvM\r\n");
  EXPECT_EQ(rows[1].count("name"), 0u);  // no name: no field
  EXPECT_EQ(rows[2].at("version"), "3");
  EXPECT_EQ(rows[2].at("value"), "18446744073709551615");  // a string, not a double
  // One object a line, the fields in the documented order.
  EXPECT_EQ(batch.text().rfind("{\"target\":\"udp6:[::1]:1161\",\"oid\":", 0), 0u);
  EXPECT_EQ(std::count(batch.text().begin(), batch.text().end(), '\n'), 3);
}

TEST(JsonLinesBatchTest, TextOfTheLocalesCodeSetBecomesUtf8) {
  ASSERT_TRUE(platform::SetTextCodeset("ISO-8859-1"));
  JsonLinesBatch batch("h\xf4te");
  batch.Add({"1.3.6.1.2.1.1.6.0", 1, "OCTET STRING", "caf\xe9", false, ""});
  batch.Add({"1.3.6.1.2.1.1.7.0", 1, "OCTET STRING", "6ek=\r\n", true, ""});  // Base64 as it is
  platform::SetTextCodeset("UTF-8");
  const auto rows = ParseLines(batch.text());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].at("target"), "h\xc3\xb4te");
  EXPECT_EQ(rows[0].at("value"), "caf\xc3\xa9");
  EXPECT_EQ(rows[1].at("value"), "6ek=\r\n");
}

TEST(JsonLinesWriterTest, TargetsFromManyThreadsStayWholeAndTheFileAppearsAtTheEnd) {
  TempDir dir;
  const std::string path = dir / "rows.jsonl";
  JsonLinesWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, &error)) << error;
  constexpr int kThreads = 4, kTargets = 25, kRows = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&writer, t] {
      for (int i = 0; i < kTargets; ++i) {
        JsonLinesBatch batch("10.0." + std::to_string(t) + "." + std::to_string(i));
        for (int r = 0; r < kRows; ++r)
          batch.Add({"1.3.6.1.2.1.2.2.1.2." + std::to_string(r), 2, "OCTET STRING",
                     "eth" + std::to_string(r), false, ""});
        EXPECT_TRUE(writer.Write(batch));
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(testutil::FileExists(path));  // not before Finish
  ASSERT_TRUE(writer.Finish(&error)) << error;
  const auto rows = ParseLines(testutil::ReadFile(path));
  ASSERT_EQ(rows.size(), size_t{kThreads * kTargets * kRows});
  // Each target's rows in one run, in the order given.
  std::map<std::string, int> runs;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i % kRows == 0) ++runs[rows[i].at("target")];
    EXPECT_EQ(rows[i].at("target"), rows[i - i % kRows].at("target")) << i;
    EXPECT_EQ(rows[i].at("value"), "eth" + std::to_string(i % kRows)) << i;
  }
  EXPECT_EQ(runs.size(), size_t{kThreads * kTargets});
  EXPECT_FALSE(testutil::FileExists(AtomicTempPath(path)));
}

TEST(JsonLinesWriterTest, UnwritablePathsFailAndKeepTheOldFile) {
  TempDir dir;
  JsonLinesWriter writer;
  std::string error;
  EXPECT_FALSE(writer.Open(dir.path(), &error));  // a directory
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(writer.Write(JsonLinesBatch("a")));
  EXPECT_FALSE(writer.Finish(&error));
  EXPECT_FALSE(writer.Open(dir / "missing/rows.jsonl", &error));
  // An old file stays when the new stream is dropped without Finish.
  testutil::WriteFile(dir / "rows.jsonl", "old\n");
  {
    JsonLinesWriter dropped;
    ASSERT_TRUE(dropped.Open(dir / "rows.jsonl", &error)) << error;
    JsonLinesBatch batch("a");
    batch.Add({"1.3", 1, "INTEGER", "1", false, ""});
    EXPECT_TRUE(dropped.Write(batch));
  }
  EXPECT_EQ(testutil::ReadFile(dir / "rows.jsonl"), "old\n");
}

// Runs body with standard output on fd, then puts it back.
template <class Body>
void WithStdout(int fd, Body body) {
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  dup2(fd, STDOUT_FILENO);
  body();
  dup2(saved, STDOUT_FILENO);
  close(saved);
}

TEST(JsonLinesWriterTest, DashWritesToStandardOutputAndReportsAFailedWrite) {
  TempDir dir;
  const int out = open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(out, 0);
  JsonLinesBatch batch("t");
  batch.Add({"1.3.6.1.2.1.1.3.0", 1, "TimeTicks", "100", false, ""});
  WithStdout(out, [&] {
    JsonLinesWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open("-", &error));
    EXPECT_TRUE(writer.Write(batch));
    EXPECT_TRUE(writer.Finish(&error)) << error;
  });
  close(out);
  EXPECT_EQ(testutil::ReadFile(dir / "out"), batch.text());

  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  WithStdout(full, [&] {
    JsonLinesWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open("-", &error));
    EXPECT_FALSE(writer.Write(batch));
    EXPECT_FALSE(writer.Write(batch));
    EXPECT_FALSE(writer.Finish(&error));
    EXPECT_NE(error.find("No space"), std::string::npos) << error;
  });
  close(full);
}

}  // namespace
