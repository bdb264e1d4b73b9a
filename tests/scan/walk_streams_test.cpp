// Streams=N: the rows, their order and the way a walk ends are those of the
// walk in one stream, whatever the agent does.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/interrupt.h"
#include "scan/scan_settings.h"
#include "scan/walk_outcome.h"
#include "scan/walk_test_support.h"
#include "support/scripted_agent.h"

namespace {

using testutil::ScriptedAgent;
using walktest::CapturedWalk;
using walktest::Count;
using walktest::QueuedLog;
using walktest::Stored;
using walktest::StoredRows;
using walktest::WalkRun;

// What a walk left: its rows and what the job's outcome would say of it.
struct Walked {
  Stored rows;
  WalkRun run;
  std::string outcome;
  std::string detail;
  int requests = 0;
  std::string agent_log;
};

std::string LogTexts(const WalkRun& run) {
  std::string all;
  for (const auto& l : run.log) all += l.substr(l.find('|') + 1) + "\n";
  return all;
}

class StreamsScriptedTest : public testing::Test {
 protected:
  void SetUp() override {
    settings_.community = "tkvwqz";
    settings_.timeout_us = 1000000;
    settings_.retries = 0;
  }
  void TearDown() override { platform::ResetInterruptForTesting(); }

  Walked Walk(const ScriptedAgent::Options& options, const char* root, int repetitions,
              int streams) {
    return WalkInTurn(options, {root}, {}, repetitions, streams);
  }

  // The walks of roots in turn on one Walker, each told the next root as
  // the one it walks next (then[i], when given; else roots[i + 1]). The run
  // is the last walk's, with the log of all.
  Walked WalkInTurn(const ScriptedAgent::Options& options, const std::vector<const char*>& roots,
                    const std::vector<const char*>& then, int repetitions, int streams) {
    Walked w;
    ScriptedAgent agent;
    std::string error;
    EXPECT_TRUE(agent.Start(options, &error)) << error;
    settings_.max_reps = repetitions;
    settings_.streams = streams;
    Walker job(agent.peer(), settings_);
    std::vector<std::string> log;
    for (size_t i = 0; i < roots.size(); ++i) {
      const char* next = i < then.size() ? then[i] : i + 1 < roots.size() ? roots[i + 1] : nullptr;
      w.run = CapturedWalk(&log_, &job, roots[i], 2, true, next);
      log.insert(log.end(), w.run.log.begin(), w.run.log.end());
    }
    w.run.log = log;
    w.rows = StoredRows(job);
    const OutcomeDecision decision = DecideOutcome(job.tally(), job.rows().GetCount());
    w.outcome = OutcomeName(decision.outcome);
    w.detail = decision.detail;
    w.requests = agent.RequestCount();
    w.agent_log = agent.Log();
    return w;
  }

  QueuedLog log_;
  ScanSettings settings_;
};

TEST_F(StreamsScriptedTest, EveryAgentGivesTheRowsOfOneStream) {
  struct Case {
    const char* name;
    const char* scenario;
    const char* arg;
    const char* root;
    int repetitions;
    bool unchecked_order = false;
    int delay_ms = 0;
    // A request went unanswered while others were out: the target goes on in
    // one stream.
    bool one_stream = false;
    // The fault comes with requests that start at certain names, and the
    // streams' requests start elsewhere: the walk is cut at the same place
    // give or take fewer rows than one answer holds.
    bool request_bound = false;
  };
  const Case cases[] = {
      {"many answers", "table", "", "1.3.6.1.2.1", 3},
      {"a sparse index, a column with gaps, one row a request", "sparse-table", "", "1.3.6.1.2.1",
       1},
      {"a sparse index, a column with gaps", "sparse-table", "", "1.3.6.1.2.1", 2},
      {"a sparse index, a column with gaps, more a request", "sparse-table", "", "1.3.6.1.2.1", 5},
      {"answer runs past the subtree", "table", "", "1.3.6.1.2.1.1", 25},
      {"endOfMibView in the middle of an answer", "table", "", "1.3.6.1.4.1", 4},
      {"exceptions in the middle of an answer", "all-types", "parseable", "1.3.6.1.4.1.8072.9999",
       4},
      {"fewer variables than asked", "bulk-short", "2", "1.3.6.1.2.1", 6},
      {"tooBig above 2", "bulk-too-big", "2", "1.3.6.1.2.1", 8},
      {"silence above 2", "bulk-silent", "2", "1.3.6.1.2.1", 4},
      {"a name that does not increase in an answer", "bulk-not-increasing", "", "1.3.6.1.2.1", 7},
      {"a name that does not increase after one answer", "not-increasing", "", "1.3.6.1.2.1", 3},
      {"a repeated name, order unchecked", "not-increasing", "", "1.3.6.1.2.1", 3, true},
      {"silence in the middle of the walk", "silent-under", "1.3.6.1.2.1.1.4", "1.3.6.1.2.1", 2,
       false, 0, true},
      // The chain from a split point is not the walk's: asked again.
      {"a lookup that skips a row after a gap", "skip-from-gap", "", "1.3.6.1.2.1", 3},
      {"error status on every request", "error-index-beyond", "", "1.3.6.1.2.1", 3},
      {"error status in the middle of the walk", "error-under", "1.3.6.1.2.1.1.9.1.3",
       "1.3.6.1.2.1", 3, false, 0, false, true},
      {"concurrent requests dropped", "drop-concurrent", "", "1.3.6.1.2.1", 3, false, 30, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<walktest::DontCheckOrdering> unchecked;
    if (c.unchecked_order) unchecked = std::make_unique<walktest::DontCheckOrdering>();
    ScriptedAgent::Options options;
    options.scenario = c.scenario;
    options.arg = c.arg;
    options.delay_ms = c.delay_ms;
    const Walked one = Walk(options, c.root, c.repetitions, 1);
    const Walked many = Walk(options, c.root, c.repetitions, 8);
    EXPECT_EQ(many.outcome, one.outcome);
    if (c.request_bound) {
      const auto& fewer = many.rows.values.size() < one.rows.values.size() ? many : one;
      const auto& more = &fewer == &many ? one : many;
      for (const auto& [oid, value] : fewer.rows.values) EXPECT_EQ(more.rows.values.at(oid), value);
      EXPECT_LT(more.rows.values.size() - fewer.rows.values.size(),
                static_cast<size_t>(c.repetitions));
      EXPECT_EQ(many.detail.substr(0, many.detail.find(" after ")),
                one.detail.substr(0, one.detail.find(" after ")));
    } else {
      EXPECT_EQ(many.rows.order, one.rows.order);
      EXPECT_EQ(many.rows.values, one.rows.values);
      EXPECT_EQ(many.detail, one.detail);
    }
    const std::string dropped =
        "streams: no answer with several requests outstanding; one stream\n";
    EXPECT_EQ(Count(LogTexts(many.run), dropped), c.one_stream ? 1 : 0) << LogTexts(many.run);
    if (std::string(c.scenario) == "drop-concurrent") {
      EXPECT_NE(many.agent_log.find("dropped"), std::string::npos);
    }
  }
}

// The subtree walked next begins while the first runs; its walk gives the
// rows of its own walk in one stream, whatever the agent does, and what was
// begun for a subtree that is not walked next is not taken.
TEST_F(StreamsScriptedTest, TheNextSubtreeBegunEarlyGivesTheRowsOfItsOwnWalk) {
  struct Case {
    const char* name;
    const char* scenario;
    const char* arg;
    std::vector<const char*> roots;
    std::vector<const char*> then;  // empty: each walk's next root
    int repetitions;
    int delay_ms = 0;
    bool one_stream = false;
  };
  const char* mib2 = "1.3.6.1.2.1";
  const char* enterprises = "1.3.6.1.4.1";
  const Case cases[] = {
      {"both subtrees", "table", "", {mib2, enterprises}, {}, 3},
      {"the table under the next subtree", "table", "", {"1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.9"},
       {}, 4},
      {"tooBig above 2", "bulk-too-big", "2", {mib2, enterprises}, {}, 8},
      {"silence above 2", "bulk-silent", "2", {mib2, enterprises}, {}, 4},
      {"a name that does not increase", "not-increasing", "", {mib2, enterprises}, {}, 3},
      {"error status on every request", "error-index-beyond", "", {mib2, enterprises}, {}, 3},
      {"concurrent requests dropped", "drop-concurrent", "", {mib2, enterprises}, {}, 3, 30,
       true},
      {"another subtree walked next", "table", "", {"1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.9.1.3"},
       {"1.3.6.1.2.1.1.9"}, 4},
      {"the same subtree over another walk", "table", "", {mib2, mib2}, {mib2}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedAgent::Options options;
    options.scenario = c.scenario;
    options.arg = c.arg;
    options.delay_ms = c.delay_ms;
    const Walked one = WalkInTurn(options, c.roots, c.then, c.repetitions, 1);
    const Walked many = WalkInTurn(options, c.roots, c.then, c.repetitions, 8);
    EXPECT_EQ(many.rows.order, one.rows.order);
    EXPECT_EQ(many.rows.values, one.rows.values);
    EXPECT_EQ(many.outcome, one.outcome);
    EXPECT_EQ(many.detail, one.detail);
    const std::string dropped =
        "streams: no answer with several requests outstanding; one stream\n";
    EXPECT_EQ(Count(LogTexts(many.run), dropped), c.one_stream ? 1 : 0) << LogTexts(many.run);
  }
}

// More than one request goes out at once, and the packets stay near those of
// one stream.
TEST_F(StreamsScriptedTest, StreamsOverlapOnOneSession) {
  ScriptedAgent::Options options;
  options.scenario = "table";
  options.delay_ms = 40;
  const Walked one = Walk(options, "1.3.6.1.2.1", 2, 1);
  const Walked many = Walk(options, "1.3.6.1.2.1", 2, 4);
  EXPECT_EQ(many.rows.order, one.rows.order);
  ASSERT_GT(one.requests, 15);
  EXPECT_LE(many.requests, one.requests * 3 / 2);
  // A device that takes one request at a time sees several.
  options.scenario = "drop-concurrent";
  const Walked dropping = Walk(options, "1.3.6.1.2.1", 2, 4);
  EXPECT_NE(dropping.agent_log.find("dropped"), std::string::npos);
}

TEST_F(StreamsScriptedTest, RowLimitKeepsTheRowsOfOneStream) {
  settings_.max_rows = 10;
  ScriptedAgent::Options options;
  options.scenario = "table";
  const Walked one = Walk(options, "1.3.6.1.2.1", 3, 1);
  const Walked many = Walk(options, "1.3.6.1.2.1", 3, 8);
  ASSERT_EQ(one.rows.order.size(), 10u);
  EXPECT_EQ(many.rows.order, one.rows.order);
  EXPECT_EQ(many.rows.values, one.rows.values);
  EXPECT_EQ(many.detail, one.detail);
  EXPECT_EQ(Count(LogTexts(many.run), "limit reached: MaxRows 10\n"), 1);
}

// The rows of an endless walk cut short are the first ones of its chain:
// 1.3.6.1.2.1.1.1.1, .2, ..., none left out.
void ExpectChainPrefix(const Stored& rows, size_t at_least) {
  ASSERT_GE(rows.values.size(), at_least);
  std::vector<std::string> expected;
  for (size_t i = 1; i <= rows.values.size(); ++i)
    expected.push_back("1.3.6.1.2.1.1.1." + std::to_string(i));
  std::vector<std::string> stored;
  for (const auto& row : rows.order) stored.push_back(row.first);
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, expected);
}

TEST_F(StreamsScriptedTest, TimeLimitEndsTheStreamsWithAPrefixOfTheWalk) {
  settings_.max_seconds = 1;
  ScriptedAgent::Options options;
  options.scenario = "endless";
  const auto started = std::chrono::steady_clock::now();
  const Walked many = Walk(options, "1.3.6.1.2.1", 10, 8);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  ExpectChainPrefix(many.rows, 20);
  EXPECT_EQ(Count(LogTexts(many.run), "limit reached: MaxSeconds 1\n"), 1);
  EXPECT_EQ(many.outcome, "partial");
}

TEST_F(StreamsScriptedTest, InterruptEndsTheStreamsWithAPrefixOfTheWalk) {
  ScriptedAgent agent;
  std::string error;
  ASSERT_TRUE(agent.Start("endless", "", &error)) << error;
  settings_.max_reps = 5;
  settings_.streams = 8;
  Walker job(agent.peer(), settings_);
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    // Bounded: at most about 30 s, then the walk is interrupted anyway.
    for (int i = 0; i < 3000 && !done && agent.RequestCount() < 50; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    platform::RequestInterrupt();
  });
  const WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1", 2, true);
  done = true;
  interrupter.join();
  ExpectChainPrefix(StoredRows(job), 20);
  ASSERT_GE(run.log.size(), 2u);
  EXPECT_EQ(run.log[run.log.size() - 2], job.target() + "|interrupted");
  EXPECT_EQ(run.log.back(), job.target() + "|scan end");
  EXPECT_TRUE(job.tally().interrupted);
}

// A real agent's whole view over SNMPv2c and SNMPv3, in streams and in one.
class StreamsSnmpdTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    testutil::SnmpdOptions options;
    options.engine_id = "streamstest-agent";
    options.config_lines = {
        "view all included .1",
        "rocommunity streams-test 127.0.0.1 -V all",
        "createUser streamsuser MD5 \"streams-pass-phrase\"",
        "rouser streamsuser auth -V all",
    };
    agent_ = testutil::StartSnmpd(options, &start_error_);
  }
  static void TearDownTestSuite() { agent_.reset(); }
  void SetUp() override { ASSERT_NE(agent_, nullptr) << start_error_; }

  Stored WalkBoth(int version, int streams) {
    ScanSettings settings;
    settings.community = "streams-test";
    settings.timeout_us = 5000000;
    settings.retries = 1;
    settings.max_reps = 10;
    settings.streams = streams;
    Walker job(agent_->Target(), settings);
    if (version == 3) job.UseAccount(Account("streamsuser", "streams-pass-phrase"));
    // mib-2 tells its walk that enterprises comes next, as the scan job does.
    const WalkRun mib2 = CapturedWalk(&log_, &job, "1.3.6.1.2.1", version, true, "1.3.6.1.4.1");
    EXPECT_EQ(mib2.err, "");
    const WalkRun enterprises = CapturedWalk(&log_, &job, "1.3.6.1.4.1", version, true);
    EXPECT_EQ(enterprises.err, "");
    EXPECT_EQ(DecideOutcome(job.tally(), job.rows().GetCount()).outcome, TargetOutcome::kAnswered);
    return StoredRows(job);
  }

  static std::unique_ptr<testutil::SnmpdFixture> agent_;
  static std::string start_error_;
  QueuedLog log_;
};
std::unique_ptr<testutil::SnmpdFixture> StreamsSnmpdTest::agent_;
std::string StreamsSnmpdTest::start_error_;

TEST_F(StreamsSnmpdTest, SameRowsInSameOrderOverV2cAndV3) {
  for (int version : {2, 3}) {
    SCOPED_TRACE("v" + std::to_string(version));
    const Stored one = WalkBoth(version, 1);
    const Stored many = WalkBoth(version, 8);
    ASSERT_GT(one.order.size(), 300u);
    // The UDP tables list the walks' own sockets, which differ per walk.
    auto without_sockets = [](std::vector<std::pair<std::string, intptr_t>> order) {
      std::erase_if(order, [](const auto& row) {
        return row.first.rfind("1.3.6.1.2.1.7.5.", 0) == 0 ||
               row.first.rfind("1.3.6.1.2.1.7.7.", 0) == 0;
      });
      return order;
    };
    EXPECT_EQ(without_sockets(many.order), without_sockets(one.order));
    // Values that move between two walks: statistics, clocks, sockets.
    auto moving = [](const std::string& oid) {
      for (const char* prefix : {"1.3.6.1.2.1.4.31.", "1.3.6.1.2.1.5.", "1.3.6.1.2.1.6.",
                                 "1.3.6.1.2.1.7.", "1.3.6.1.2.1.11.", "1.3.6.1.2.1.25."})
        if (oid.rfind(prefix, 0) == 0) return true;
      return walktest::Volatile(oid);
    };
    size_t compared = 0;
    for (const auto& [oid, value] : one.values) {
      if (moving(oid)) continue;
      ++compared;
      auto it = many.values.find(oid);
      EXPECT_TRUE(it != many.values.end() && it->second == value) << oid;
    }
    EXPECT_GT(compared, 100u);
  }
}

}  // namespace
