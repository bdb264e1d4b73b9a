// The opt-in row additions through the real binary: TYPE and ENCODING
// checked against the bytes an agent sent, NAME on a full walk of snmpd, and
// the JSON Lines stream holding exactly the rows of the result files.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "output/parsed_xml.h"
#include "scan/mib_names.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using testutil::TempDir;

// One row as a result file or the stream shows it.
struct Row {
  std::string version, type, value, encoding, name;
  bool operator==(const Row&) const = default;
};
using Rows = std::map<std::string, Row>;  // by OID

std::string Version(const std::string& ver) { return ver == "2" ? "2c" : ver; }

Rows XmlRows(const std::string& path) {
  Rows rows;
  testxml::Element root;
  std::string error;
  if (!testxml::Parse(testutil::ReadFile(path), &root, &error)) {
    ADD_FAILURE() << path << ": " << error;
    return rows;
  }
  for (const auto& result : root.children) {
    const auto& oid = result.children.at(0);
    const auto& value = result.children.at(1);
    auto attr = [](const testxml::Element& e, const char* name) {
      auto it = e.attrs.find(name);
      return it == e.attrs.end() ? std::string() : it->second;
    };
    rows[oid.text] = {Version(attr(oid, "VER")), attr(value, "TYPE"), value.text,
                      attr(value, "ENCODING").empty() ? "text" : attr(value, "ENCODING"),
                      attr(oid, "NAME")};
  }
  return rows;
}

Rows JsonRows(const std::string& text, const std::string& target) {
  Rows rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseValidateEncodingFlag>(line.c_str(), line.size());
    if (doc.HasParseError() || !doc.IsObject()) {
      ADD_FAILURE() << "not a JSON object: " << line;
      continue;
    }
    auto field = [&doc](const char* name) {
      return doc.HasMember(name) && doc[name].IsString()
                 ? std::string(doc[name].GetString(), doc[name].GetStringLength())
                 : std::string();
    };
    EXPECT_EQ(field("target"), target) << line;
    rows[field("oid")] = {field("version"), field("type"), field("value"), field("encoding"),
                          field("name")};
  }
  return rows;
}

TEST(RowExtrasRunTest, TypesAndEncodingOfEveryRenderedTypeMatchWhatTheAgentSent) {
  testutil::ScriptedAgent agent;
  std::string error;
  ASSERT_TRUE(agent.Start("all-types", "parseable", &error)) << error;
  TempDir dir;
  testutil::WriteFile(dir / "config.ini",
                      "[Config]\nTimeout=300000\nRetry=1\nVersions=2c\nValueTypes=1\n");
  const std::string bin = testutil::InstallBinary(dir.path());
  const auto run = testutil::RunProcess({bin, "--jsonl", dir / "rows.jsonl", agent.peer()}, 120);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const Rows xml = XmlRows(dir / (agent.peer() + ".xml"));
  const std::string base = "1.3.6.1.4.1.8072.9999.";
  // The values the agent's all-types table sends (tests/support/scripted_agent.py).
  const std::map<std::string, Row> expected = {
      {"1.0", {"2c", "INTEGER", "-123456", "text", ""}},
      {"2.0", {"2c", "OCTET STRING", "text value", "text", ""}},
      {"3.0", {"2c", "OCTET STRING", "AAEC/v+ACg==\r\n", "base64", ""}},
      {"5.0", {"2c", "OBJECT IDENTIFIER", "1.3.6.1.4.1.8072.42", "text", ""}},
      {"6.0", {"2c", "IpAddress", "192.0.2.1", "text", ""}},
      {"7.0", {"2c", "Counter32", "4294967295", "text", ""}},
      {"8.0", {"2c", "Gauge32", "4000000000", "text", ""}},
      {"9.0", {"2c", "TimeTicks", "123456789", "text", ""}},
      {"11.0", {"2c", "Counter64", "18364758544493064720", "text", ""}},
      {"13.0", {"2c", "UInteger32", "4294967295", "text", ""}},
      {"14.0", {"2c", "BITS", "00:a5", "text", ""}},
  };
  for (const auto& [sub, row] : expected) {
    auto it = xml.find(base + sub);
    ASSERT_NE(it, xml.end()) << sub;
    EXPECT_EQ(it->second, row) << sub;
  }
  // The Base64 row is the agent's bytes exactly.
  EXPECT_EQ(testutil::DecodeBase64Lines(xml.at(base + "3.0").value),
            std::string("\x00\x01\x02\xfe\xff\x80\n", 7));
  // Every row has a type; the stream holds the same rows.
  for (const auto& [oid, row] : xml) EXPECT_FALSE(row.type.empty()) << oid;
  EXPECT_EQ(JsonRows(testutil::ReadFile(dir / "rows.jsonl"), agent.peer()), xml);
}

TEST(RowExtrasRunTest, StreamHoldsTheRowsOfTheResultFilesOfHostileAgents) {
  const struct {
    const char* scenario;
    const char* arg;
  } agents[] = {{"garbage", ""},    {"truncated", ""},      {"long-oid", ""},
                {"big-string", ""}, {"not-increasing", ""}, {"table", ""}};
  std::vector<std::unique_ptr<testutil::ScriptedAgent>> started;
  std::vector<std::string> args;
  TempDir dir;
  testutil::WriteFile(dir / "config.ini",
                      "[Config]\nTimeout=200000\nRetry=0\nValueTypes=1\nNames=1\n");
  args.push_back(testutil::InstallBinary(dir.path()));
  args.push_back("--jsonl");
  args.push_back(dir / "rows.jsonl");
  for (const auto& a : agents) {
    auto agent = std::make_unique<testutil::ScriptedAgent>();
    std::string error;
    ASSERT_TRUE(agent->Start(a.scenario, a.arg, &error)) << a.scenario << ": " << error;
    args.push_back(agent->peer());
    started.push_back(std::move(agent));
  }
  const auto run = testutil::RunProcess(args, 180);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // Each target's lines together, and the same rows as its result file.
  const std::string stream = testutil::ReadFile(dir / "rows.jsonl");
  std::map<std::string, std::string> by_target;
  std::vector<std::string> order;
  std::istringstream in(stream);
  for (std::string line; std::getline(in, line);) {
    rapidjson::Document doc;
    doc.Parse(line.c_str(), line.size());
    ASSERT_FALSE(doc.HasParseError()) << line;
    const std::string target = doc["target"].GetString();
    if (order.empty() || order.back() != target) order.push_back(target);
    by_target[target] += line + "\n";
  }
  EXPECT_EQ(order.size(), by_target.size()) << "a target's lines are split";
  for (const auto& agent : started) {
    const Rows xml = XmlRows(dir / (agent->peer() + ".xml"));
    EXPECT_EQ(JsonRows(by_target[agent->peer()], agent->peer()), xml) << agent->peer();
  }
}

TEST(RowExtrasRunTest, NamesOnAFullWalkAndTheStreamOnStandardOutput) {
  testutil::SnmpdOptions options;
  options.config_lines = {"rocommunity tkvwqz 127.0.0.1", "sysLocation names test"};
  std::string error;
  auto snmpd = testutil::StartSnmpd(options, &error);
  ASSERT_NE(snmpd, nullptr) << error;
  const std::string target = snmpd->Target(0);
  TempDir dir;
  testutil::WriteFile(dir / "config.ini",
                      "[Config]\nTimeout=1000000\nRetry=1\nValueTypes=1\nNames=1\n");
  const std::string bin = testutil::InstallBinary(dir.path());
  const auto run = testutil::RunProcess({bin, "--jsonl", "-", target}, 180);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // The console's lines went to standard error; standard output is the stream alone.
  EXPECT_NE(run.err.find("output: " + dir / (target + ".xml")), std::string::npos) << run.err;
  const Rows xml = XmlRows(dir / (target + ".xml"));
  ASSERT_GT(xml.size(), 500u);
  EXPECT_EQ(JsonRows(run.out, target), xml);

  const MibNames names;
  size_t mib2 = 0, mib2_named = 0;
  for (const auto& [oid, row] : xml) {
    std::string expected;
    names.Name(oid, &expected);
    EXPECT_EQ(row.name, expected) << oid;
    if (oid.rfind("1.3.6.1.2.1.", 0) == 0) {
      ++mib2;
      mib2_named += !row.name.empty() && row.name.rfind("SNMPv2-SMI::mib-2.", 0) != 0;
    }
  }
  EXPECT_GE(mib2_named * 100, mib2 * 95) << mib2_named << " of " << mib2;
  EXPECT_EQ(xml.at("1.3.6.1.2.1.1.6.0").name, "SNMPv2-MIB::sysLocation.0");
  EXPECT_EQ(xml.at("1.3.6.1.2.1.1.6.0").value, "names test");

  // Without the keys and the option: no attribute of them, no stream.
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=1000000\nRetry=1\n");
  const auto plain = testutil::RunProcess({bin, target}, 180);
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const std::string text = testutil::ReadFile(dir / (target + ".xml"));
  for (const char* attr : {"NAME=", "TYPE=", "ENCODING="})
    EXPECT_EQ(text.find(attr), std::string::npos) << attr;
  EXPECT_NE(plain.out.find("output: "), std::string::npos);
}

}  // namespace
