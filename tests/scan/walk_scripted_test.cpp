// The walk against a scripted agent, for answers snmpd never gives.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/interrupt.h"
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
  WalkRun WalkScenario(const std::string& scenario, const std::string& arg, const char* root,
                       bool get_next = true, int version = 2) {
    std::string error;
    EXPECT_TRUE(agent_.Start(scenario, arg, &error)) << error;
    job_.emplace(agent_.peer(), settings_);
    settings_.community = "tkvwqz";
    settings_.timeout_us = 300000;
    settings_.retries = 0;
    return CapturedWalk(&log_, &*job_, root, version, get_next);
  }
  std::vector<std::string> Texts(const WalkRun& run) {
    std::vector<std::string> texts;
    for (const auto& l : run.log)
      texts.push_back(l.substr(std::min(l.size(), job_->target().size() + 1)));
    return texts;
  }

  QueuedLog log_;
  ScriptedAgent agent_;
  ScanSettings settings_;
  std::optional<Walker> job_;
};

TEST_F(ScriptedWalkTest, AnswerThatDoesNotIncreaseEndsTheWalk) {
  WalkRun run = WalkScenario("not-increasing", "", "1.3.6.1.2.1.1");
  // The repeated name is stored again (one row), then the walk stops; the
  // row it has keeps the second variant from running.
  EXPECT_EQ(Keys(*job_), std::vector<std::string>{"1.3.6.1.2.1.1.1.0"});
  EXPECT_EQ(run.out,
            "target[" + job_->target() + "]start:1.3.6.1.2.1.1[v2]\nError: OID not increasing: \n");
  EXPECT_EQ(Texts(run), (std::vector<std::string>{"scan start: 1.3.6.1.2.1.1[v2]",
                                                  "OID not increasing", "scan end"}));
  EXPECT_EQ(agent_.RequestCount(), 2);
}

TEST_F(ScriptedWalkTest, AnswerBeforeTheRequestEndsTheWalk) {
  WalkRun run = WalkScenario("not-increasing", "smaller", "1.3.6.1.2.1.1");
  // The parent name lies inside the subtree: stored, then the check stops.
  EXPECT_EQ(Keys(*job_), (std::vector<std::string>{"1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.1.0"}));
  EXPECT_EQ(Count(run.out, "Error: OID not increasing: \n"), 1);
}

TEST_F(ScriptedWalkTest, ErrorStatusWithAnErrorIndexBeyondTheVariables) {
  WalkRun run = WalkScenario("error-index-beyond", "", "1.3.6.1.2.1.1");
  EXPECT_EQ(job_->rows().GetCount(), 0u);
  const std::string report =
      "Error in packet.\nReason: (genError) A general failure occured\nFailed object: \n";
  EXPECT_EQ(run.err, report + report);
  EXPECT_EQ(Texts(run), (std::vector<std::string>{
                            "scan start: 1.3.6.1.2.1.1[v2]",
                            "Error in packet. (genError) A general failure occured", "scan end",
                            "scan start: snmp_sess_synch_response",
                            "Error in packet. (genError) A general failure occured", "scan end"}));
}

TEST_F(ScriptedWalkTest, ErrorIndexNamingAVariablePrintsIt) {
  WalkRun run = WalkScenario("error-index-beyond", "1", "1.3.6.1.2.1.1");
  // The name as the library's fprint_objid prints it without MIB files.
  EXPECT_EQ(Count(run.err, "Failed object: iso.3.6.1.2.1.1\n"), 2) << run.err;
  EXPECT_EQ(Count(run.err, "Failed object: iso.3.6.1.2.1.1\n\n"), 0)
      << run.err;  // one line end only
}

TEST_F(ScriptedWalkTest, NoSuchNameIsTheEndOfTheMib) {
  WalkRun run = WalkScenario("nosuchname", "", "1.3.6.1.2.1.1", true, 1);
  EXPECT_EQ(job_->rows().GetCount(), 0u);
  EXPECT_EQ(Count(run.out, "End of MIB\n"), 2);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Texts(run), (std::vector<std::string>{
                            "scan start: 1.3.6.1.2.1.1[v1]", "End of MIB", "scan end",
                            "scan start: snmp_sess_synch_response", "End of MIB", "scan end"}));
}

TEST_F(ScriptedWalkTest, AnswerExactlyAtTheEndBoundEndsTheWalk) {
  WalkRun run = WalkScenario("at-end-bound", "", "1.3.6.1.2.1.1.3");
  EXPECT_EQ(Keys(*job_), std::vector<std::string>{"1.3.6.1.2.1.1.3.0"});
  EXPECT_EQ(Texts(run), (std::vector<std::string>{"scan start: 1.3.6.1.2.1.1.3[v2]", "scan end"}));
  EXPECT_EQ(agent_.RequestCount(), 2);
}

TEST_F(ScriptedWalkTest, AgentFallingSilentKeepsTheRows) {
  WalkRun run = WalkScenario("silent-after", "3", "1.3.6.1.2.1");
  EXPECT_EQ(Keys(*job_), (std::vector<std::string>{"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.2.0",
                                                   "1.3.6.1.2.1.1.3.0"}));
  EXPECT_EQ(run.err, "Timeout: No Response from " + job_->target() + "\n");
  // Rows were stored: no second variant.
  EXPECT_EQ(Texts(run),
            (std::vector<std::string>{"scan start: 1.3.6.1.2.1[v2]", "Timeout", "scan end"}));
}

TEST_F(ScriptedWalkTest, EveryValueTypeFromTheWire) {
  WalkRun run = WalkScenario("all-types", "parseable", "1.3.6.1.4.1.8072.9999");
  std::map<std::string, std::string> rows;
  job_->rows().ForEach(
      [&](std::string_view k, const ResultRow& row) { rows[std::string(k)] = row.value; });
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
  EXPECT_EQ(Texts(run),
            (std::vector<std::string>{"scan start: 1.3.6.1.4.1.8072.9999[v2]", "scan end"}));
}

TEST_F(ScriptedWalkTest, LongestNamesAndValues) {
  WalkRun run = WalkScenario("long-oid", "128", "1.3.6.1.2.1.1");
  std::string long_name = "1.3.6.1.2.1.1.9";
  for (int i = 1; i <= 128 - 8; ++i) long_name += "." + std::to_string(i);
  ASSERT_EQ(job_->rows().GetCount(), 2u) << run.Everything();
  EXPECT_EQ(job_->rows().Find("1.3.6.1.2.1.1.8.0")->value, long_name);
  EXPECT_EQ(job_->rows().Find(long_name)->value, "long name");
}

TEST_F(ScriptedWalkTest, LargestStringFromOneDatagram) {
  WalkRun run = WalkScenario("big-string", "", "1.3.6.1.2.1.1.1");
  ASSERT_EQ(job_->rows().GetCount(), 1u) << run.Everything();
  const std::string_view text = job_->rows().Find("1.3.6.1.2.1.1.1.0")->value;
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
      {"garbage", "1"},         {"garbage", "7"},
      {"truncated", ""},        {"bad-length", "inner"},
      {"bad-length", "beyond"}, {"bad-length", "short"},
      {"bad-length", "huge"},   {"bad-length", "indefinite"},
      {"wrong-request-id", ""},
  };
  for (const auto& c : cases) {
    ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start(c.scenario, c.arg, &error)) << error;
    Walker job(agent.peer(), settings_);
    settings_.community = "tkvwqz";
    settings_.timeout_us = 100000;
    settings_.retries = 0;
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1.1", 2, true);
    const std::string name = std::string(c.scenario) + " " + c.arg;
    EXPECT_EQ(job.rows().GetCount(), 0u) << name;
    EXPECT_EQ(Count(run.err, "Timeout: No Response from"), 2) << name << "\n" << run.Everything();
  }
}

// Only a walk that stored rows and then stopped short of its subtree's end is
// cut; the end of the subtree, of the view or of the MIB is no cut.
TEST_F(ScriptedWalkTest, WalksCutShortAreNoted) {
  struct Case {
    const char* scenario;
    const char* arg;
    const char* root;
    const char* cut;  // "" for none
  };
  const Case cases[] = {
      {"normal", "", "1.3.6.1.2.1.1", ""},
      {"normal", "", "1.3.6.1.4.1", ""},  // endOfMibView after the last object
      {"at-end-bound", "", "1.3.6.1.2.1.1.3", ""},
      {"silent-after", "2", "1.3.6.1.2.1.1", "1.3.6.1.2.1.1 cut by time-out after 2 rows"},
      {"silent-after", "0", "1.3.6.1.2.1.1", ""},  // nothing stored: no cut
      {"not-increasing", "", "1.3.6.1.2.1.1",
       "1.3.6.1.2.1.1 cut by OID not increasing after 1 row"},
      {"silent-under", "1.3.6.1.2.1.1.4", "1.3.6.1.2.1.1",
       "1.3.6.1.2.1.1 cut by time-out after 4 rows"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scenario) + " " + c.arg + " " + c.root);
    WalkRun run = WalkScenario(c.scenario, c.arg, c.root);
    EXPECT_EQ(job_->tally().cut_detail, c.cut) << run.Everything();
    EXPECT_EQ(job_->tally().cut, *c.cut != 0);
    EXPECT_EQ(job_->tally().cut_by_timeout,
              std::string(c.cut).find("time-out") != std::string::npos);
  }
}

TEST_F(ScriptedWalkTest, DuplicateAnswersAreReadOnce) {
  WalkRun run = WalkScenario("duplicate", "", "1.3.6.1.2.1.1");
  EXPECT_EQ(job_->rows().GetCount(), 5u) << run.Everything();
  EXPECT_EQ(run.err, "");
}

// Hostile answers beyond malformed packets.
class HostileWalkTest : public testing::Test {
 protected:
  void TearDown() override { platform::ResetInterruptForTesting(); }

  WalkRun WalkScenario(const std::string& scenario, const std::string& arg, const char* root,
                       int version, bool get_next = true, int timeout_us = 300000) {
    std::string error;
    EXPECT_TRUE(agent_.Start(scenario, arg, &error)) << error;
    job_.emplace(agent_.peer(), settings_);
    settings_.community = "tkvwqz";
    settings_.timeout_us = timeout_us;
    settings_.retries = 0;
    return CapturedWalk(&log_, &*job_, root, version, get_next);
  }

  QueuedLog log_;
  ScriptedAgent agent_;
  ScanSettings settings_;
  std::optional<Walker> job_;
};

// The correct answer, but from another port or another address: like
// snmpwalk, the scanner matches answers by request id on its own socket (a
// multi-homed device may answer from another address), so the rows are taken.
TEST_F(HostileWalkTest, AnswersFromAnotherSourceAreMatchedByRequestId) {
  for (const char* scenario : {"wrong-port", "wrong-address"}) {
    ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start(scenario, "", &error)) << error;
    Walker job(agent.peer(), settings_);
    settings_.community = "tkvwqz";
    settings_.timeout_us = 200000;
    settings_.retries = 0;
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1.1", 2, true);
    EXPECT_EQ(job.rows().GetCount(), 5u) << scenario << "\n" << run.Everything();
    EXPECT_EQ(Count(run.err, "Timeout"), 0) << scenario;
  }
}

TEST_F(HostileWalkTest, AnswerInAnotherSnmpVersionIsNotTaken) {
  struct Case {
    const char* name;
    int version;
  };
  for (const Case& c : {Case{"v2c answer to v1", 1}, Case{"v1 answer to v2c", 2}}) {
    ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start("wrong-version", "", &error)) << error;
    Walker job(agent.peer(), settings_);
    settings_.community = "tkvwqz";
    settings_.timeout_us = 200000;
    settings_.retries = 0;
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1.1", c.version, true);
    EXPECT_EQ(job.rows().GetCount(), 0u) << c.name << "\n" << run.Everything();
    EXPECT_EQ(Count(run.err, "Timeout: No Response from"), 2) << c.name << "\n" << run.Everything();
  }
}

TEST_F(HostileWalkTest, ThousandsOfVariablesInOneAnswer) {
  WalkRun run = WalkScenario("many-varbinds", "2000", "1.3.6.1.2.1.1", 2);
  ASSERT_EQ(job_->rows().GetCount(), 2000u) << run.Everything();
  EXPECT_EQ(job_->rows().Find("1.3.6.1.2.1.1.9.1")->value, "1");
  EXPECT_EQ(job_->rows().Find("1.3.6.1.2.1.1.9.2000")->value, "2000");
  EXPECT_EQ(run.err, "");
  // One answer with them all, then the end of the MIB view.
  EXPECT_EQ(agent_.RequestCount(), 2);
}

TEST_F(HostileWalkTest, ErrorIndexAtTheExtremes) {
  for (const char* index : {"2147483647", "-1", "-2147483648"}) {
    ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start("error-index-beyond", index, &error)) << error;
    Walker job(agent.peer(), settings_);
    settings_.community = "tkvwqz";
    settings_.timeout_us = 200000;
    settings_.retries = 0;
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1.1", 2, true);
    EXPECT_EQ(job.rows().GetCount(), 0u) << index;
    // Whether the library takes such an index or drops the packet, the walk
    // ends without naming a variable that is not there.
    EXPECT_EQ(Count(run.err, "Failed object: iso"), 0) << index << "\n" << run.Everything();
    EXPECT_EQ(Count(run.log.empty() ? "" : run.log.back(), "|scan end"), 1) << index << "\n"
                                                                            << run.Everything();
  }
}

// A get answered with another name: whatever lies before the get's bound is
// stored under the name the agent gave (the bound is the only test of an
// answer's name), and a get is one request, never a walk along the names the
// agent keeps offering.
TEST_F(HostileWalkTest, GetAnsweredWithAnotherName) {
  struct Case {
    const char* name;
    const char* answered;  // "" : the requested name with .1 appended
    std::vector<std::string> keys;
    const char* out;  // after the start line
    int requests;
  };
  const Case cases[] = {
      {"greater, inside the bound", "", {"1.3.6.1.2.1.1.5.0.1"}, "Success\n", 1},
      {"smaller",
       "1.3.6.1.2.1.1.1.0",
       {"1.3.6.1.2.1.1.1.0"},
       "Success\nError: OID not increasing: \n",
       1},
      // Nothing stored: the second variant asks once more, and that is all.
      {"beyond the bound", "1.3.6.1.2.1.1.6.0", {}, "snmp_sess_synch_response\n", 2},
  };
  for (const Case& c : cases) {
    ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start("other-oid", c.answered, &error)) << error;
    Walker job(agent.peer(), settings_);
    settings_.community = "tkvwqz";
    settings_.timeout_us = 200000;
    settings_.retries = 0;
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1.1.5.0", 1, /*get_next=*/false);
    EXPECT_EQ(Keys(job), c.keys) << c.name << "\n" << run.Everything();
    EXPECT_EQ(run.out, "target[" + job.target() + "]start:1.3.6.1.2.1.1.5.0[v1]\n" + c.out)
        << c.name;
    EXPECT_EQ(agent.RequestCount(), c.requests) << c.name;
  }
}

// Stores rows of an endless walk until `rows` exist, then interrupts it from
// another thread, the way the signal handler does.
TEST_F(HostileWalkTest, InterruptEndsAnEndlessWalkAndKeepsItsRows) {
  std::string error;
  ASSERT_TRUE(agent_.Start("endless", "", &error)) << error;
  job_.emplace(agent_.peer(), settings_);
  settings_.community = "tkvwqz";
  settings_.timeout_us = 300000;
  settings_.retries = 0;
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    // Bounded: at most about 30 s, then the walk is interrupted anyway.
    for (int i = 0; i < 3000 && !done && agent_.RequestCount() < 50; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    platform::RequestInterrupt();
  });
  WalkRun run = CapturedWalk(&log_, &*job_, "1.3.6.1.2.1", 1, true);
  done = true;
  interrupter.join();
  EXPECT_GE(job_->rows().GetCount(), 49u);
  EXPECT_TRUE(job_->rows().Find("1.3.6.1.2.1.1.1.1").has_value());
  ASSERT_GE(run.log.size(), 3u) << run.Everything();
  EXPECT_EQ(run.log[run.log.size() - 2], job_->target() + "|interrupted");
  EXPECT_EQ(run.log.back(), job_->target() + "|scan end");
  EXPECT_EQ(Count(run.out, "snmp_sess_synch_response"), 0);  // rows were stored
  EXPECT_EQ(run.err, "");
}

// A wait for an agent that never answers ends at the interrupt, not at its
// (here very long) time-out.
TEST_F(HostileWalkTest, InterruptWakesAWaitingWalk) {
  std::string error;
  ASSERT_TRUE(agent_.Start("silent-after", "0", &error)) << error;
  job_.emplace(agent_.peer(), settings_);
  settings_.community = "tkvwqz";
  settings_.timeout_us = 60 * 1000 * 1000;  // beyond the test's own time limit
  settings_.retries = 0;
  std::thread interrupter([&] {
    for (int i = 0; i < 3000 && agent_.RequestCount() < 1; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    platform::RequestInterrupt();
  });
  WalkRun run = CapturedWalk(&log_, &*job_, "1.3.6.1.2.1", 2, true);
  interrupter.join();
  EXPECT_EQ(job_->rows().GetCount(), 0u);
  const std::string t = job_->target();
  // No second variant after the interrupt, though nothing was stored.
  EXPECT_EQ(run.log, (std::vector<std::string>{t + "|scan start: 1.3.6.1.2.1[v2]",
                                               t + "|interrupted", t + "|scan end"}));
  EXPECT_EQ(run.err, "");
}

TEST_F(HostileWalkTest, NoWalkStartsAfterTheInterrupt) {
  std::string error;
  ASSERT_TRUE(agent_.Start("normal", "", &error)) << error;
  job_.emplace(agent_.peer(), settings_);
  platform::RequestInterrupt();
  WalkRun run = CapturedWalk(&log_, &*job_, "1.3.6.1.2.1", 1, true);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.Everything(), "");
  EXPECT_EQ(agent_.RequestCount(), 0);
}

}  // namespace
