// GETBULK walks: the rows, versions and row order of the GETNEXT walk of the
// same agent, whatever the repetitions and whatever the agent does with them.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scan/scan_settings.h"
#include "scan/walk_test_support.h"
#include "support/scripted_agent.h"

namespace {

using testutil::ScriptedAgent;
using testutil::SnmpdFixture;
using testutil::SnmpdOptions;
using walktest::CapturedWalk;
using walktest::Count;
using walktest::QueuedLog;
using walktest::Stored;
using walktest::StoredRows;
using walktest::Volatile;
using walktest::WalkRun;

const char kCommunity[] = "bulk-test";
const char kUser[] = "bulkuser";
const char kPass[] = "bulk-pass-phrase";

class BulkSnmpdTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    SnmpdOptions options;
    options.engine_id = "bulktest-agent";
    // Groups whose rows stay put while the machine runs other work (the
    // connection and process tables do not).
    options.config_lines = {
        "view bulkview included .1.3.6.1.2.1.1",
        "view bulkview included .1.3.6.1.2.1.2",
        "view bulkview included .1.3.6.1.2.1.31",
        "view bulkview included .1.3.6.1.4.1",
        std::string("rocommunity ") + kCommunity + " 127.0.0.1 -V bulkview",
        std::string("createUser ") + kUser + " MD5 \"" + kPass + "\"",
        std::string("rouser ") + kUser + " auth -V bulkview",
        std::string("pass_persist .1.3.6.1.4.1.99999 /usr/bin/python3 " MIBSCAN_SOURCE_DIR
                    "/tests/support/snmpd_typed_objects.py"),
    };
    agent_ = testutil::StartSnmpd(options, &start_error_);
  }
  static void TearDownTestSuite() { agent_.reset(); }
  void SetUp() override {
    ASSERT_NE(agent_, nullptr) << start_error_;
    settings_.community = kCommunity;
    settings_.timeout_us = 2000000;
    settings_.retries = 1;
  }
  // Both default subtrees over one version, as the scan job walks them.
  Stored WalkBoth(int version, int repetitions) {
    settings_.max_reps = repetitions;
    Walker job(agent_->Target(), settings_);
    if (version == 3) {
      job.UseAccount(Account(kUser, kPass));
    }
    for (const char* root : {"1.3.6.1.2.1", "1.3.6.1.4.1"}) {
      WalkRun run = CapturedWalk(&log_, &job, root, version, true);
      EXPECT_EQ(run.err, "") << root;
    }
    EXPECT_FALSE(job.bulk_lowered());
    return StoredRows(job);
  }

  static std::unique_ptr<SnmpdFixture> agent_;
  static std::string start_error_;
  QueuedLog log_;
  ScanSettings settings_;
};
std::unique_ptr<SnmpdFixture> BulkSnmpdTest::agent_;
std::string BulkSnmpdTest::start_error_;

TEST_F(BulkSnmpdTest, SameRowsAsGetNextForEveryRepetitionCount) {
  for (int version : {2, 3}) {
    const Stored reference = WalkBoth(version, 0);
    ASSERT_GT(reference.order.size(), 50u) << "v" << version;
    EXPECT_TRUE(reference.values.count("1.3.6.1.4.1.99999.8.0"));
    for (int repetitions : {1, 7, 25, 200}) {
      SCOPED_TRACE("v" + std::to_string(version) + " N=" + std::to_string(repetitions));
      const Stored bulk = WalkBoth(version, repetitions);
      EXPECT_EQ(bulk.order, reference.order);
      size_t compared = 0;
      for (const auto& [oid, value] : reference.values) {
        if (Volatile(oid)) continue;
        ++compared;
        auto it = bulk.values.find(oid);
        EXPECT_TRUE(it != bulk.values.end() && it->second == value) << oid;
      }
      EXPECT_GT(compared, 20u);
    }
  }
}

class BulkScriptedTest : public testing::Test {
 protected:
  void SetUp() override {
    settings_.community = "tkvwqz";
    // Each silence costs one time-out; an answer must never take as long,
    // or the walk would lower its repetitions (the machine may be busy).
    settings_.timeout_us = 2000000;
    settings_.retries = 0;
  }
  struct Outcome {
    Stored rows;
    WalkRun run;
    int requests = 0;
    int repetitions = 0;  // the target's after the walk
    bool lowered = false;
  };
  Outcome WalkScenario(const std::string& scenario, const std::string& arg, const char* root,
                       int repetitions, int version = 2) {
    Outcome o;
    ScriptedAgent agent;
    std::string error;
    EXPECT_TRUE(agent.Start(scenario, arg, &error)) << error;
    settings_.max_reps = repetitions;
    Walker job(agent.peer(), settings_);
    o.run = CapturedWalk(&log_, &job, root, version, true);
    o.rows = StoredRows(job);
    o.requests = agent.RequestCount();
    o.repetitions = job.bulk_repetitions();
    o.lowered = job.bulk_lowered();
    return o;
  }
  static std::string Texts(const Outcome& o) {
    std::string all;
    for (const auto& l : o.run.log) all += l.substr(l.find('|') + 1) + "\n";
    return all;
  }
  QueuedLog log_;
  ScanSettings settings_;
};

TEST_F(BulkScriptedTest, AgentsThatBendTheRepetitionsGiveTheGetNextRows) {
  struct Case {
    const char* name;
    const char* scenario;
    const char* arg;
    const char* root;
    int repetitions;
    int repetitions_after;  // the target's count after the walk
  };
  const Case cases[] = {
      {"answer runs past the subtree", "table", "", "1.3.6.1.2.1.1", 25, 25},
      {"many answers", "table", "", "1.3.6.1.2.1", 7, 7},
      {"one repetition", "table", "", "1.3.6.1.2.1", 1, 1},
      {"fewer variables than asked", "bulk-short", "3", "1.3.6.1.2.1", 25, 25},
      {"tooBig above 5", "bulk-too-big", "5", "1.3.6.1.2.1", 25, 3},
      {"tooBig above 1", "bulk-too-big", "1", "1.3.6.1.2.1", 8, 1},
      {"silence above 5", "bulk-silent", "5", "1.3.6.1.2.1", 25, 3},
      {"exceptions in the middle of an answer", "all-types", "parseable", "1.3.6.1.4.1.8072.9999",
       25, 25},
      {"endOfMibView in the middle of an answer", "table", "", "1.3.6.1.4.1", 25, 25},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome getnext = WalkScenario(c.scenario, c.arg, c.root, 0);
    const Outcome bulk = WalkScenario(c.scenario, c.arg, c.root, c.repetitions);
    EXPECT_FALSE(getnext.rows.order.empty());
    EXPECT_EQ(bulk.rows.order, getnext.rows.order);
    EXPECT_EQ(bulk.rows.values, getnext.rows.values);
    EXPECT_EQ(bulk.repetitions, c.repetitions_after);
    EXPECT_EQ(bulk.lowered, c.repetitions_after < c.repetitions);
    // Lowering is silent: no time-out, no error reached the console or log.
    EXPECT_EQ(bulk.run.err, "");
    EXPECT_EQ(Texts(bulk), Texts(getnext));
    if (c.repetitions_after > 1) {
      EXPECT_LT(bulk.requests, getnext.requests);
    }
  }
}

// An answer without error and without a variable is a bulk request that
// failed: one more with a single repetition, then GETNEXT for the rest of the
// walk, said once in the log; the rows are those of the GETNEXT walk.
TEST_F(BulkScriptedTest, EmptyAnswerFallsBackToGetNext) {
  for (const char* limit : {"0", "5"}) {
    SCOPED_TRACE(std::string("empty above ") + limit);
    const Outcome getnext = WalkScenario("bulk-empty", limit, "1.3.6.1.2.1", 0);
    const Outcome bulk = WalkScenario("bulk-empty", limit, "1.3.6.1.2.1", 25);
    ASSERT_GT(getnext.rows.order.size(), 40u);
    EXPECT_EQ(bulk.rows.order, getnext.rows.order);
    EXPECT_EQ(bulk.rows.values, getnext.rows.values);
    EXPECT_EQ(bulk.run.err, "");
    EXPECT_EQ(Count(Texts(bulk), "bulk answer empty\n"), 1) << Texts(bulk);
    EXPECT_EQ(Count(Texts(getnext), "bulk answer empty"), 0);
    // The other lines are those of the GETNEXT walk.
    std::string rest = Texts(bulk);
    rest.erase(rest.find("bulk answer empty\n"), std::string("bulk answer empty\n").size());
    EXPECT_EQ(rest, Texts(getnext));
  }
}

TEST_F(BulkScriptedTest, AnswerPastTheSubtreeEndsTheWalkAtOnce) {
  const Outcome o = WalkScenario("table", "", "1.3.6.1.2.1.1", 100);
  EXPECT_EQ(o.requests, 1);
  EXPECT_EQ(o.rows.values.size(), 45u);  // the system group of the table tree, none of enterprises
}

TEST_F(BulkScriptedTest, NameNotIncreasingInTheMiddleOfAnAnswer) {
  const Outcome o = WalkScenario("bulk-not-increasing", "", "1.3.6.1.2.1", 7);
  // The second variable's name comes again: stored (with its new value), then
  // the walk ends; nothing after it in the answer is taken.
  EXPECT_EQ(o.rows.values,
            (std::map<std::string, std::string>{{"1.3.6.1.2.1.1.1.0", "mibscan scripted agent"},
                                                {"1.3.6.1.2.1.1.2.0", "repeated"}}));
  EXPECT_EQ(Count(o.run.out, "Error: OID not increasing: \n"), 1);
  EXPECT_EQ(o.requests, 1);
}

TEST_F(BulkScriptedTest, SilentAgentCostsAtMostTwiceTheGetNextRequests) {
  // Each request here costs one time-out: the bulk walk asks once with N and
  // once with 1 per variant, the GETNEXT walk once.
  const Outcome getnext = WalkScenario("silent-after", "0", "1.3.6.1.2.1", 0);
  const Outcome bulk = WalkScenario("silent-after", "0", "1.3.6.1.2.1", 25);
  EXPECT_EQ(getnext.requests, 2);
  EXPECT_EQ(bulk.requests, 4);
  EXPECT_EQ(Texts(bulk), Texts(getnext));
  EXPECT_FALSE(bulk.lowered);
}

TEST_F(BulkScriptedTest, SnmpV1NeverSendsBulk) {
  const Outcome getnext = WalkScenario("table", "", "1.3.6.1.2.1", 0, 1);
  const Outcome bulk = WalkScenario("table", "", "1.3.6.1.2.1", 25, 1);
  EXPECT_EQ(bulk.requests, getnext.requests);
  EXPECT_EQ(bulk.rows.order, getnext.rows.order);
}

TEST_F(BulkScriptedTest, RepeatedNameEndsAWalkWithoutTheOrderingCheck) {
  walktest::DontCheckOrdering off;
  for (int repetitions : {0, 5}) {
    SCOPED_TRACE(repetitions);
    const Outcome o = WalkScenario("not-increasing", "", "1.3.6.1.2.1.1", repetitions);
    EXPECT_EQ(Count(o.run.out, "Error: OID repeated: \n"), 1);
    EXPECT_NE(Texts(o).find("OID repeated\n"), std::string::npos);
    // The first answer is a good one (one variable, or five); the second
    // names the request again.
    EXPECT_EQ(o.rows.values.size(), repetitions == 0 ? 1u : 5u);
    EXPECT_EQ(o.requests, 2);
  }
}

// Batched gets of the scripted agent, against one OID per get.
TEST_F(BulkScriptedTest, BatchedGetsHalveOnTooBigAndDropNoSuchName) {
  const std::vector<std::string> oids = {"1.3.6.1.2.1.1.1.0",  "1.3.6.1.2.1.1.77.0",
                                         "1.3.6.1.2.1.1.3.0",  "1.3.6.1.2.1.1.5.0",
                                         "1.3.6.1.2.1.1.78.0", "1.3.6.1.4.1.8072.1.1.0"};
  struct Case {
    const char* name;
    const char* scenario;
    int version;
    int batch;
    int most_requests;  // both variants; one per get sends 8
  };
  const Case cases[] = {
      {"v1: noSuchName names each missing OID", "normal", 1, 50, 5},
      {"v2c: exception values for the missing ones", "normal", 2, 50, 2},
      {"tooBig above two names", "get-too-big", 2, 50, 10},
      {"tooBig above two names, v1", "get-too-big", 1, 4, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<int, Stored> by_batch;
    std::map<int, std::vector<size_t>> left_by_batch;
    for (int batch : {1, c.batch}) {
      ScriptedAgent agent;
      std::string error;
      ASSERT_TRUE(agent.Start(c.scenario, "", &error)) << error;
      settings_.get_batch = batch;
      Walker job(agent.peer(), settings_);
      std::vector<size_t> pending = {0, 1, 2, 3, 4, 5};
      if (batch == 1) {
        // One get per OID, as the job runs them without batches.
        std::vector<size_t> left;
        for (size_t i : pending) {
          const size_t rows = job.rows().GetCount();
          CapturedWalk(&log_, &job, oids[i].c_str(), c.version, false);
          if (job.rows().GetCount() == rows) left.push_back(i);
        }
        pending = left;
      } else {
        log_.Take();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        job.GetBatch(oids, c.version, &pending);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_LE(agent.RequestCount(), c.most_requests);
      }
      by_batch[batch] = StoredRows(job);
      left_by_batch[batch] = pending;
    }
    EXPECT_EQ(by_batch[c.batch].values, by_batch[1].values);
    EXPECT_EQ(by_batch[c.batch].order, by_batch[1].order);
    EXPECT_EQ(left_by_batch[c.batch], (std::vector<size_t>{1, 4}));
    EXPECT_EQ(left_by_batch[1], (std::vector<size_t>{1, 4}));
  }
}

TEST_F(BulkScriptedTest, BatchThatTimesOutFailsOnlyItself) {
  // The agent drops every request whose first name is sysDescr.0: the first
  // batch times out (in both variants), the second is answered.
  ScriptedAgent agent;
  std::string error;
  ASSERT_TRUE(agent.Start("silent-under", "1.3.6.1.2.1.1.1", &error)) << error;
  settings_.get_batch = 2;
  Walker job(agent.peer(), settings_);
  const std::vector<std::string> oids = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.3.0",
                                         "1.3.6.1.2.1.1.5.0", "1.3.6.1.4.1.8072.1.1.0"};
  std::vector<size_t> pending = {0, 1, 2, 3};
  log_.Take();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  job.GetBatch(oids, 2, &pending);
  testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pending, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(StoredRows(job).values,
            (std::map<std::string, std::string>{{"1.3.6.1.2.1.1.5.0", "scripted"},
                                                {"1.3.6.1.4.1.8072.1.1.0", "42"}}));
  EXPECT_EQ(Count(err, "Timeout: No Response from " + agent.peer()), 2) << err;
}

}  // namespace
