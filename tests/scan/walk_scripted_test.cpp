// The walk against a scripted agent, for answers snmpd never gives.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "scan/walk_test_support.h"
#include "support/scripted_agent.h"

namespace {

using testutil::ScriptedAgent;
using walktest::CapturedWalk;
using walktest::Count;
using walktest::Keys;
using walktest::QueuedLog;
using walktest::WalkRun;

class ScriptedWalkTest : public testing::Test {
 protected:
  // Starts the scenario and walks from `root` once, over SNMPv2c unless told.
  WalkRun WalkScenario(const std::string& scenario, const std::string& arg, const char* root, bool get_next = true,
                       int version = 2) {
    std::string error;
    EXPECT_TRUE(agent_.Start(scenario, arg, &error)) << error;
    job_.m_strTarget = agent_.peer();
    g_strCommunity = "tkvwqz";
    g_nTimeout = 300000;
    g_nRetry = 0;
    return CapturedWalk(&log_, &job_, root, version, get_next);
  }
  std::vector<std::string> Texts(const WalkRun& run) {
    std::vector<std::string> texts;
    for (const auto& l : run.log) texts.push_back(l.substr(std::min(l.size(), job_.m_strTarget.size() + 1)));
    return texts;
  }

  QueuedLog log_;
  ScriptedAgent agent_;
  CMIB job_;
};

TEST_F(ScriptedWalkTest, AnswerThatDoesNotIncreaseEndsTheWalk) {
  WalkRun run = WalkScenario("not-increasing", "", "1.3.6.1.2.1.1");
  // The repeated name is stored again (one row), then the walk stops; the
  // row it has keeps the second variant from running.
  EXPECT_EQ(Keys(job_), std::vector<std::string>{"1.3.6.1.2.1.1.1.0"});
  EXPECT_EQ(run.out, "target[" + job_.m_strTarget + "]start:1.3.6.1.2.1.1[v2]\nError: OID not increasing: \n");
  EXPECT_EQ(Texts(run), (std::vector<std::string>{"scan start: 1.3.6.1.2.1.1[v2]", "OID not increasing", "scan end"}));
  EXPECT_EQ(agent_.RequestCount(), 2);
}

TEST_F(ScriptedWalkTest, AnswerBeforeTheRequestEndsTheWalk) {
  WalkRun run = WalkScenario("not-increasing", "smaller", "1.3.6.1.2.1.1");
  // The parent name lies inside the subtree: stored, then the check stops.
  EXPECT_EQ(Keys(job_), (std::vector<std::string>{"1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.1.0"}));
  EXPECT_EQ(Count(run.out, "Error: OID not increasing: \n"), 1);
}

TEST_F(ScriptedWalkTest, ErrorStatusWithAnErrorIndexBeyondTheVariables) {
  WalkRun run = WalkScenario("error-index-beyond", "", "1.3.6.1.2.1.1");
  EXPECT_EQ(job_.m_mapValues.GetCount(), 0u);
  const std::string report = "Error in packet.\nReason: (genError) A general failure occured\nFailed object: \n";
  EXPECT_EQ(run.err, report + report);
  EXPECT_EQ(Texts(run), (std::vector<std::string>{
                            "scan start: 1.3.6.1.2.1.1[v2]", "Error in packet. (genError) A general failure occured",
                            "scan end", "scan start: snmp_sess_synch_response",
                            "Error in packet. (genError) A general failure occured", "scan end"}));
}

TEST_F(ScriptedWalkTest, ErrorIndexNamingAVariablePrintsIt) {
  WalkRun run = WalkScenario("error-index-beyond", "1", "1.3.6.1.2.1.1");
  // The name as the library's fprint_objid prints it without MIB files.
  EXPECT_EQ(Count(run.err, "Failed object: iso.3.6.1.2.1.1\n"), 2) << run.err;
  EXPECT_EQ(Count(run.err, "Failed object: iso.3.6.1.2.1.1\n\n"), 0) << run.err;  // one line end only
}

TEST_F(ScriptedWalkTest, NoSuchNameIsTheEndOfTheMib) {
  WalkRun run = WalkScenario("nosuchname", "", "1.3.6.1.2.1.1", true, 1);
  EXPECT_EQ(job_.m_mapValues.GetCount(), 0u);
  EXPECT_EQ(Count(run.out, "End of MIB\n"), 2);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Texts(run), (std::vector<std::string>{"scan start: 1.3.6.1.2.1.1[v1]", "End of MIB", "scan end",
                                                  "scan start: snmp_sess_synch_response", "End of MIB",
                                                  "scan end"}));
}

TEST_F(ScriptedWalkTest, AnswerExactlyAtTheEndBoundEndsTheWalk) {
  WalkRun run = WalkScenario("at-end-bound", "", "1.3.6.1.2.1.1.3");
  EXPECT_EQ(Keys(job_), std::vector<std::string>{"1.3.6.1.2.1.1.3.0"});
  EXPECT_EQ(Texts(run), (std::vector<std::string>{"scan start: 1.3.6.1.2.1.1.3[v2]", "scan end"}));
  EXPECT_EQ(agent_.RequestCount(), 2);
}

TEST_F(ScriptedWalkTest, AgentFallingSilentKeepsTheRows) {
  WalkRun run = WalkScenario("silent-after", "3", "1.3.6.1.2.1");
  EXPECT_EQ(Keys(job_), (std::vector<std::string>{"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.2.0", "1.3.6.1.2.1.1.3.0"}));
  EXPECT_EQ(run.err, "Timeout: No Response from " + job_.m_strTarget + "\n");
  // Rows were stored: no second variant.
  EXPECT_EQ(Texts(run), (std::vector<std::string>{"scan start: 1.3.6.1.2.1[v2]", "Timeout", "scan end"}));
}

TEST_F(ScriptedWalkTest, EveryValueTypeFromTheWire) {
  WalkRun run = WalkScenario("all-types", "parseable", "1.3.6.1.4.1.8072.9999");
  std::map<std::string, std::string> rows;
  job_.m_mapValues.ForEach([&](const std::string& k, const std::string& v) { rows[k] = v; });
  const std::string base = "1.3.6.1.4.1.8072.9999.";
  const std::map<std::string, std::string> expected = {
      {base + "1.0", "-123456"},
      {base + "2.0", "text value"},
      {base + "3.0", "AAEC/v+ACg==\r\n"},
      // 4.0 NULL: no row
      {base + "5.0", "1.3.6.1.4.1.8072.42"},
      {base + "6.0", "192.0.2.1"},
      {base + "7.0", "4294967295"},
      {base + "8.0", "4000000000"},
      {base + "9.0", "123456789"},
      // 10.0 Opaque: no row
      {base + "11.0", "18364758544493064720"},
      // 12.0 NSAP address: no row
      {base + "13.0", "4294967295"},
      {base + "14.0", "00:a5"},
      // 16.0 noSuchObject ends the walk without a row
  };
  EXPECT_EQ(rows, expected) << run.Everything();
  EXPECT_EQ(Texts(run), (std::vector<std::string>{"scan start: 1.3.6.1.4.1.8072.9999[v2]", "scan end"}));
}

TEST_F(ScriptedWalkTest, LongestNamesAndValues) {
  WalkRun run = WalkScenario("long-oid", "128", "1.3.6.1.2.1.1");
  std::string long_name = "1.3.6.1.2.1.1.9";
  for (int i = 1; i <= 128 - 8; ++i) long_name += "." + std::to_string(i);
  ASSERT_EQ(job_.m_mapValues.GetCount(), 2u) << run.Everything();
  EXPECT_EQ(*job_.m_mapValues.Find("1.3.6.1.2.1.1.8.0"), long_name);
  EXPECT_EQ(*job_.m_mapValues.Find(long_name), "long name");
}

TEST_F(ScriptedWalkTest, LargestStringFromOneDatagram) {
  WalkRun run = WalkScenario("big-string", "", "1.3.6.1.2.1.1.1");
  ASSERT_EQ(job_.m_mapValues.GetCount(), 1u) << run.Everything();
  const std::string& text = *job_.m_mapValues.Find("1.3.6.1.2.1.1.1.0");
  EXPECT_GT(text.size(), 65000u);
  EXPECT_EQ(text.substr(0, 12), "012345678901");
}

// Datagrams the library must drop: the walk times out, stores nothing and
// does not crash.
TEST_F(ScriptedWalkTest, MalformedOrForeignAnswersAreDropped) {
  struct Case {
    const char* scenario;
    const char* arg;
  };
  const Case cases[] = {
      {"garbage", "1"},        {"garbage", "7"},          {"truncated", ""},
      {"bad-length", "inner"}, {"bad-length", "beyond"},  {"bad-length", "short"},
      {"bad-length", "huge"},  {"bad-length", "indefinite"}, {"wrong-request-id", ""},
  };
  for (const auto& c : cases) {
    CMIB job;
    ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start(c.scenario, c.arg, &error)) << error;
    job.m_strTarget = agent.peer();
    g_strCommunity = "tkvwqz";
    g_nTimeout = 100000;
    g_nRetry = 0;
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1.1", 2, true);
    const std::string name = std::string(c.scenario) + " " + c.arg;
    EXPECT_EQ(job.m_mapValues.GetCount(), 0u) << name;
    EXPECT_EQ(Count(run.err, "Timeout: No Response from"), 2) << name << "\n" << run.Everything();
  }
}

TEST_F(ScriptedWalkTest, DuplicateAnswersAreReadOnce) {
  WalkRun run = WalkScenario("duplicate", "", "1.3.6.1.2.1.1");
  EXPECT_EQ(job_.m_mapValues.GetCount(), 5u) << run.Everything();
  EXPECT_EQ(run.err, "");
}

}  // namespace
