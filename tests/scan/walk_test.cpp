// The MIB walk against a real snmpd on loopback.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scan/snmp_setup.h"
#include "scan/start_oid.h"
#include "scan/walk_test_support.h"

namespace {

using testutil::SnmpdFixture;
using testutil::SnmpdOptions;
using walktest::CapturedWalk;
using walktest::Count;
using walktest::Keys;
using walktest::QueuedLog;
using walktest::WalkRun;

const char kCommunity[] = "mibscan-test";
const char kUser[] = "alice";
const char kPass[] = "alice-pass-phrase";
const char kTyped[] = "1.3.6.1.4.1.99999";

class WalkTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    SnmpdOptions options;
    options.engine_id = "walktest-agent";
    options.config_lines = {
        std::string("rocommunity ") + kCommunity + " 127.0.0.1",
        std::string("createUser ") + kUser + " MD5 \"" + kPass + "\"",
        std::string("rouser ") + kUser + " auth",
        std::string("pass_persist .") + kTyped +
            " /usr/bin/python3 " MIBSCAN_SOURCE_DIR "/tests/support/snmpd_typed_objects.py",
    };
    agent_ = testutil::StartSnmpd(options, &start_error_);
  }
  static void TearDownTestSuite() { agent_.reset(); }
  void SetUp() override { ASSERT_NE(agent_, nullptr) << start_error_; }
  // A generous time-out: the sanitizer build and parallel tests slow the agent.
  void Settings() {
    settings_.community = kCommunity;
    settings_.timeout_us = 2000000;
    settings_.retries = 1;
  }
  WalkRun Walk(const char* oid_text, int version, bool get_next) {
    Settings();
    return CapturedWalk(&log_, &job_, oid_text, version, get_next);
  }

  static std::unique_ptr<SnmpdFixture> agent_;
  static std::string start_error_;
  QueuedLog log_;
  ScanSettings settings_;
  Walker job_{agent_ ? agent_->Target() : "", settings_};
};
std::unique_ptr<SnmpdFixture> WalkTest::agent_;
std::string WalkTest::start_error_;

// Every log text of a walk starts with the target.
std::vector<std::string> Texts(const WalkRun& run, const std::string& target) {
  std::vector<std::string> texts;
  for (const auto& l : run.log) {
    EXPECT_EQ(l.rfind(target + "|", 0), 0u) << l;
    texts.push_back(l.substr(std::min(l.size(), target.size() + 1)));
  }
  return texts;
}

TEST_F(WalkTest, StoresTheSameOidsAsSnmpwalk) {
  struct Case {
    const char* name;
    int version;
    std::vector<std::string> tool_args;
  };
  const Case cases[] = {
      {"v1", 1, {"-v1", "-c", kCommunity}},
      {"v2c", 2, {"-v2c", "-c", kCommunity}},
      {"v3", 3, {"-v3", "-l", "authNoPriv", "-u", kUser, "-a", "MD5", "-A", kPass}},
  };
  for (const char* root : {"1.3.6.1.2.1.1", "1.3.6.1.2.1.2", "1.3.6.1.4.1"}) {
    for (const auto& c : cases) {
      Walker job(agent_->Target(), settings_);
      job.UseAccount(Account(kUser, kPass));
      Settings();
      WalkRun run = CapturedWalk(&log_, &job, root, c.version, true);
      std::string error;
      std::vector<std::string> expected =
          walktest::SnmpwalkOids(c.tool_args, agent_->Target(), root, &error);
      ASSERT_EQ(error, "") << c.name << " " << root;
      ASSERT_FALSE(expected.empty()) << c.name << " " << root;
      EXPECT_EQ(Keys(job), expected) << c.name << " " << root << "\n" << run.Everything();
      EXPECT_EQ(run.err, "") << c.name << " " << root;
      // One variant only: the first stored rows.
      EXPECT_EQ(Count(run.out, "snmp_sess_synch_response"), 0) << c.name << " " << root;
    }
  }
}

TEST_F(WalkTest, RendersTheAgentsValues) {
  const std::map<std::string, std::string> expected = {
      {"1.3.6.1.4.1.99999.1.0", "-5"},
      {"1.3.6.1.4.1.99999.2.0", "4294967295"},
      {"1.3.6.1.4.1.99999.3.0", "7"},
      {"1.3.6.1.4.1.99999.4.0", "4294967296"},
      {"1.3.6.1.4.1.99999.5.0", "100"},
      {"1.3.6.1.4.1.99999.6.0", "192.0.2.1"},
      {"1.3.6.1.4.1.99999.7.0", "1.3.6.1.2.1.1.3.0"},
      {"1.3.6.1.4.1.99999.8.0", "plain text"},
      {"1.3.6.1.4.1.99999.9.0", "abc"},
      {"1.3.6.1.4.1.99999.10.0", "AAECCf8=\r\n"},
      {"1.3.6.1.4.1.99999.11.0", "Y2Fm6Q==\r\n"},  // Latin-1: not text in the tests' UTF-8
      // 12.0 is Opaque: no row.
      {"1.3.6.1.4.1.99999.13.0", ""},
      {"1.3.6.1.4.1.99999.14.0",
       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\n"},
      {"1.3.6.1.4.1.99999.15.0", "ACGbqrvM\r\n"},
      {"1.3.6.1.4.1.99999.16.0", "ruPwUubA\r\n"},
      {"1.3.6.1.4.1.99999.17.0", "wKgAIA==\r\n"},
      {"1.3.6.1.4.1.99999.18.0", "YWJjAGRlZg==\r\n"},
      {"1.3.6.1.4.1.99999.19.0", ""},
      {"1.3.6.1.4.1.99999.20.0", "caf\xc3\xa9"},
      {"1.3.6.1.4.1.99999.21.0", "77++\r\n"},
  };
  for (int version : {1, 2}) {
    Walker job(agent_->Target(), settings_);
    Settings();
    WalkRun run = CapturedWalk(&log_, &job, kTyped, version, true);
    std::map<std::string, std::string> rows;
    job.rows().ForEach([&](std::string_view k, const ResultRow& row_) {
      const std::string_view v = row_.value;
      rows[std::string(k)] = v;
    });
    std::map<std::string, std::string> want = expected;
    if (version == 1) want.erase("1.3.6.1.4.1.99999.4.0");  // SNMPv1 cannot carry Counter64
    EXPECT_EQ(rows, want) << "v" << version << "\n" << run.Everything();
    job.rows().ForEach([&](std::string_view k, const ResultRow& row_) {
      const int v = row_.version;
      EXPECT_EQ(v, version) << k;
    });
    // The walk ends at the end of the subtree, silently.
    EXPECT_EQ(Texts(run, job.target()),
              (std::vector<std::string>{
                  std::string("scan start: ") + kTyped + "[v" + std::to_string(version) + "]",
                  "scan end"}));
    EXPECT_EQ(run.out, "target[" + job.target() + "]start:" + kTyped + "[v" +
                           std::to_string(version) + "]\n");
  }
}

TEST_F(WalkTest, GetOfAnExistingInstance) {
  for (int version : {1, 2, 3}) {
    Walker job(agent_->Target(), settings_);
    job.UseAccount(Account(kUser, kPass));
    Settings();
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.4.1.99999.8.0", version, false);
    EXPECT_EQ(run.result, 0);
    ASSERT_EQ(job.rows().GetCount(), 1u) << run.Everything();
    EXPECT_EQ(job.rows().Find("1.3.6.1.4.1.99999.8.0")->value, "plain text");
    // The answer names the requested OID, so the ordering check ends the get.
    EXPECT_EQ(run.out, "target[" + job.target() + "]start:1.3.6.1.4.1.99999.8.0[v" +
                           std::to_string(version) + "]\nSuccess\nError: OID not increasing: \n");
    EXPECT_EQ(Texts(run, job.target()),
              (std::vector<std::string>{
                  "scan start: 1.3.6.1.4.1.99999.8.0[v" + std::to_string(version) + "]", "Success",
                  "OID not increasing", "scan end"}));
  }
}

TEST_F(WalkTest, GetOfAMissingInstance) {
  // SNMPv1: noSuchName, reported as the end of the MIB by both variants.
  WalkRun v1 = Walk("1.3.6.1.4.1.99999.8.1", 1, false);
  EXPECT_EQ(job_.rows().GetCount(), 0u);
  EXPECT_EQ(Count(v1.out, "End of MIB\n"), 2) << v1.out;
  EXPECT_EQ(
      Texts(v1, job_.target()),
      (std::vector<std::string>{"scan start: 1.3.6.1.4.1.99999.8.1[v1]", "End of MIB", "scan end",
                                "scan start: snmp_sess_synch_response", "End of MIB", "scan end"}));
  // SNMPv2c: an exception value, which stores nothing and says nothing.
  WalkRun v2 = Walk("1.3.6.1.4.1.99999.8.1", 2, false);
  EXPECT_EQ(job_.rows().GetCount(), 0u);
  EXPECT_EQ(v2.out, "target[" + job_.target() +
                        "]start:1.3.6.1.4.1.99999.8.1[v2]\nsnmp_sess_synch_response\n");
  EXPECT_EQ(v2.err, "");
  EXPECT_EQ(Texts(v2, job_.target()),
            (std::vector<std::string>{"scan start: 1.3.6.1.4.1.99999.8.1[v2]", "scan end",
                                      "scan start: snmp_sess_synch_response", "scan end"}));
}

TEST_F(WalkTest, GetNextOfTheSysUpTimeObjectStoresItsInstanceOnly) {
  WalkRun run = Walk("1.3.6.1.2.1.1.3", 2, true);
  EXPECT_EQ(Keys(job_), std::vector<std::string>{"1.3.6.1.2.1.1.3.0"});
  EXPECT_TRUE(job_.HasSysUpTime());
  EXPECT_EQ(Texts(run, job_.target()),
            (std::vector<std::string>{"scan start: 1.3.6.1.2.1.1.3[v2]", "scan end"}));
}

TEST_F(WalkTest, StartOidTextForms) {
  // Extra dots, blanks and signs: the same instance.
  for (const char* text : {".1.3.6.1.4.1.99999.8.0.", "1..3.6.1.4.1.99999.8..0",
                           " 1.3.6.1.4.1.99999.8.+0", "1.3.6.1.4.1.99999.8.0abc"}) {
    Walker job(agent_->Target(), settings_);
    Settings();
    WalkRun run = CapturedWalk(&log_, &job, text, 2, false);
    EXPECT_EQ(Keys(job), std::vector<std::string>{"1.3.6.1.4.1.99999.8.0"}) << text << "\n"
                                                                            << run.Everything();
    // The texts name the OID as given.
    EXPECT_EQ(run.log.front(), job.target() + "|scan start: " + text + "[v2]");
  }
}

TEST(ParseStartOidTest, TokensAndSaturatingConversion) {
  struct Case {
    const char* text;
    std::vector<oid> ids;
  };
  const Case cases[] = {
      {"1.3.6.1.2.1", {1, 3, 6, 1, 2, 1}},
      {".1.3.", {1, 3}},
      {"1...3", {1, 3}},
      {"1.3.x.1", {1, 3, 0, 1}},
      {"1.3.-.1", {1, 3, 0, 1}},
      {"1. 7.\t8", {1, 7, 8}},
      {"1.+5", {1, 5}},
      {"1.12abc", {1, 12}},
      {"1.2147483647", {1, 2147483647}},
      {"1.2147483648", {1, 2147483647}},
      {"1.99999999999999999999999", {1, 2147483647}},
      {"1.-1", {1, 4294967295u}},
      {"1.-2147483648", {1, 2147483648u}},
      {"1.-99999999999999999999", {1, 2147483648u}},
      {"", {}},
      {"...", {}},
  };
  for (const auto& c : cases) {
    oid ids[MAX_OID_LEN];
    const int n = ParseStartOid(c.text, ids, MAX_OID_LEN);
    EXPECT_EQ(std::vector<oid>(ids, ids + std::max(n, 0)), c.ids) << c.text;
  }
  // More tokens than fit: counted, not stored beyond the capacity.
  std::string many;
  for (int i = 0; i < 200; ++i) many += "1.";
  oid ids[4] = {9, 9, 9, 9};
  EXPECT_EQ(ParseStartOid(many.c_str(), ids, 3), 200);
  EXPECT_EQ(ids[3], 9u);
}

TEST_F(WalkTest, RefusesStartOidsTheBuffersCannotHold) {
  std::string too_long = "1";
  for (int i = 1; i < 129; ++i) too_long += ".1";  // 129 sub-identifiers
  for (const std::string& text : {std::string("..."), std::string(""), too_long}) {
    WalkRun run = Walk(text.c_str(), 2, true);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(job_.rows().GetCount(), 0u);
    EXPECT_EQ(run.err, "target[" + job_.target() + "]invalid OID:" + text + "\n");
    EXPECT_EQ(Texts(run, job_.target()),
              (std::vector<std::string>{"scan start: " + text + "[v2]", "invalid OID: " + text}));
  }
  // The variants refuse a root they cannot hold, too.
  oid root[1] = {1};
  auto variant = [this](SnmpSession::Api api, const oid* r, int length) {
    SnmpSession session(api);
    return job_.RunWalk(&session, api, r, length, 2, true);
  };
  for (int length : {0, -1, MAX_OID_LEN + 1}) {
    testing::internal::CaptureStderr();
    EXPECT_TRUE(variant(SnmpSession::Api::kTraditional, root, length));
    EXPECT_TRUE(variant(SnmpSession::Api::kSingleSession, root, length));
    EXPECT_EQ(Count(testing::internal::GetCapturedStderr(), "invalid OID"), 2) << length;
  }
  EXPECT_TRUE(variant(SnmpSession::Api::kTraditional, nullptr, 3));
}

TEST_F(WalkTest, LongestStartOidIsWalked) {
  std::string longest = "1.3.6.1.4.1.99999";
  for (int i = 7; i < MAX_OID_LEN; ++i) longest += ".1";
  WalkRun run = Walk(longest.c_str(), 2, true);
  // Nothing lies below it; the walk ran and ended at the end bound.
  EXPECT_EQ(job_.rows().GetCount(), 0u);
  EXPECT_EQ(Count(run.Everything(), "invalid OID"), 0);
  EXPECT_EQ(Count(run.Everything(), "scan end"), 2);
}

TEST_F(WalkTest, SilentTargetTimesOutInBothVariants) {
  const int port = testutil::FindFreeUdpPort({"127.0.0.1"});
  ASSERT_NE(port, 0);
  const std::string target = "127.0.0.1:" + std::to_string(port);
  for (int version : {1, 2}) {
    Walker job(target, settings_);
    settings_.timeout_us = 100000;
    settings_.retries = 0;
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1", version, true);
    EXPECT_EQ(job.rows().GetCount(), 0u);
    EXPECT_EQ(run.err, "Timeout: No Response from " + target + "\nTimeout: No Response from " +
                           target + "\n");
    const std::string start = "scan start: 1.3.6.1.2.1[v" + std::to_string(version) + "]";
    EXPECT_EQ(Texts(run, target), (std::vector<std::string>{start, "Timeout", "scan end",
                                                            "scan start: snmp_sess_synch_response",
                                                            "Timeout", "scan end"}));
  }
  // SNMPv3: engine-ID discovery fails, which is a failed open.
  Walker job(target, settings_);
  job.UseAccount(Account(kUser, kPass));
  settings_.timeout_us = 100000;
  settings_.retries = 0;
  WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1", 3, true);
  EXPECT_EQ(Count(run.err, "snmpwalk: Timeout"), 2) << run.err;
  EXPECT_EQ(Texts(run, target),
            (std::vector<std::string>{"scan start: 1.3.6.1.2.1[v3]", "snmp_open error", "scan end",
                                      "scan start: snmp_sess_synch_response", "snmp_sess_session",
                                      "scan end"}));
}

TEST_F(WalkTest, WrongCommunityTimesOut) {
  Settings();
  settings_.community = "not-the-community";
  settings_.timeout_us = 200000;
  settings_.retries = 0;
  WalkRun run = CapturedWalk(&log_, &job_, "1.3.6.1.2.1.1", 2, true);
  EXPECT_EQ(job_.rows().GetCount(), 0u);
  EXPECT_EQ(Count(run.err, "Timeout: No Response from"), 2);
}

TEST_F(WalkTest, SnmpV3Credentials) {
  struct Case {
    const char* name;
    std::string user, pass;
    bool rows;
    int result;
    const char* log_failure;  // expected in the log twice (both variants)
  };
  const Case cases[] = {
      {"right pass phrase", kUser, kPass, true, 0, nullptr},
      {"wrong pass phrase", kUser, "wrong-pass-phrase", false, 0, "|Error 1"},
      {"right again after a wrong one", kUser, kPass, true, 0, nullptr},
      {"unknown user", "mallory", "mallory-pass-phrase", false, 0, "|Error 1"},
      {"pass phrase refused by the library", kUser, "short", false, -1, "|password error"},
      {"no user: noAuthNoPriv without a security name", "", "", false, 0, "|Error 1"},
  };
  for (const auto& c : cases) {
    Walker job(agent_->Target(), settings_);
    job.UseAccount(Account(c.user, c.pass));
    Settings();
    WalkRun run = CapturedWalk(&log_, &job, "1.3.6.1.2.1.1", 3, true);
    EXPECT_EQ(run.result, c.result) << c.name;
    EXPECT_EQ(job.rows().GetCount() > 0, c.rows) << c.name << "\n" << run.Everything();
    if (c.log_failure) {
      std::string log;
      for (const auto& l : run.log) log += l + "\n";
      EXPECT_EQ(Count(log, c.log_failure), 2) << c.name << "\n" << log;
    }
    if (!c.pass.empty()) {
      EXPECT_EQ(Count(run.Everything(), c.pass), 0) << c.name << ": pass phrase shown";
    }
  }
}

TEST_F(WalkTest, RefusedPassPhraseOpensNoSession) {
  job_.UseAccount(Account(kUser, "1234567"));  // one byte short
  WalkRun run = Walk("1.3.6.1.2.1.1", 3, true);
  EXPECT_EQ(run.result, -1);
  EXPECT_EQ(run.err,
            "Error generating Ku from authentication pass phrase.\n"
            "Error generating Ku from authentication pass phrase.\n");
  EXPECT_EQ(Texts(run, job_.target()),
            (std::vector<std::string>{"scan start: 1.3.6.1.2.1.1[v3]", "password error",
                                      "scan start: snmp_sess_synch_response", "password error"}));
}

TEST_F(WalkTest, WrongSnmpV3PassPhraseReportsTheLibrarysErrorAndNamesTheReport) {
  job_.UseAccount(Account(kUser, "definitely-wrong"));
  WalkRun run = Walk("1.3.6.1.2.1.1", 3, true);
  EXPECT_EQ(job_.rows().GetCount(), 0u);
  EXPECT_EQ(Count(run.err, "snmpwalk: Authentication failure"), 2) << run.err;
  EXPECT_EQ(Texts(run, job_.target()),
            (std::vector<std::string>{
                "scan start: 1.3.6.1.2.1.1[v3]", "authentication failed: wrong digest", "Error 1",
                "scan end", "scan start: snmp_sess_synch_response",
                "authentication failed: wrong digest", "Error 1", "scan end"}));
  EXPECT_EQ(job_.usm_report(), UsmReport::kWrongDigest);
}

TEST_F(WalkTest, GetEndsAfterItsAnswerWithoutTheOrderingCheck) {
  walktest::DontCheckOrdering off;
  WalkRun get = Walk("1.3.6.1.4.1.99999.8.0", 2, false);
  EXPECT_EQ(Keys(job_), std::vector<std::string>{"1.3.6.1.4.1.99999.8.0"});
  EXPECT_EQ(get.out, "target[" + job_.target() + "]start:1.3.6.1.4.1.99999.8.0[v2]\nSuccess\n");
  EXPECT_EQ(
      Texts(get, job_.target()),
      (std::vector<std::string>{"scan start: 1.3.6.1.4.1.99999.8.0[v2]", "Success", "scan end"}));
  // A get-next walk still ends at the end of its subtree.
  Walker job(agent_->Target(), settings_);
  WalkRun walk = CapturedWalk(&log_, &job, kTyped, 2, true);
  EXPECT_EQ(job.rows().GetCount(), 20u)
      << walk.Everything();  // every typed object but the Opaque one
}

}  // namespace

namespace {

// A peer name the library cannot open (the port is out of range): both open
// calls fail with the library's report and their own log texts.
TEST(WalkOpenFailureTest, FailedOpenInBothVariants) {
  ScanSettings settings;
  QueuedLog log;
  settings.timeout_us = 100000;
  settings.retries = 0;
  for (int version : {1, 3}) {
    Walker job("127.0.0.1:99999", settings);
    job.UseAccount(Account("alice", "alice-pass-phrase"));
    WalkRun run = CapturedWalk(&log, &job, "1.3.6.1.2.1", version, true);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(Count(run.err, "snmpwalk: "), 2) << run.err;
    const std::string t = job.target() + "|";
    EXPECT_EQ(run.log,
              (std::vector<std::string>{
                  t + "scan start: 1.3.6.1.2.1[v" + std::to_string(version) + "]",
                  t + "snmp_open error", t + "scan end", t + "scan start: snmp_sess_synch_response",
                  t + "snmp_sess_session", t + "scan end"}));
  }
}

// A datagram the system refuses to send (port 0 gives EINVAL): the library's
// own report of a failed send, then the same outcome as any failed exchange;
// for SNMPv3 it is the discovery that fails, so the open.
TEST(WalkSendFailureTest, RefusedSendIsReportedLikeTheLibrarys) {
  ScanSettings settings;
  QueuedLog log;
  settings.timeout_us = 100000;
  settings.retries = 0;
  const struct {
    int version;
    const char* failure;   // logged by the first variant
    const char* failure2;  // ... and by the second
  } cases[] = {{1, "Error 1", "Error 1"},
               {2, "Error 1", "Error 1"},
               {3, "snmp_open error", "snmp_sess_session"}};
  for (const auto& c : cases) {
    Walker job("127.0.0.1:0", settings);
    job.UseAccount(Account("alice", "alice-pass-phrase"));
    WalkRun run = CapturedWalk(&log, &job, "1.3.6.1.2.1", c.version, true);
    EXPECT_EQ(run.result, 0) << c.version;
    EXPECT_EQ(run.err,
              "snmpwalk: Failure in sendto (Invalid argument)\n"
              "snmpwalk: Failure in sendto (Invalid argument)\n")
        << c.version;
    const std::string t = job.target() + "|";
    EXPECT_EQ(run.log,
              (std::vector<std::string>{
                  t + "scan start: 1.3.6.1.2.1[v" + std::to_string(c.version) + "]", t + c.failure,
                  t + "scan end", t + "scan start: snmp_sess_synch_response", t + c.failure2,
                  t + "scan end"}))
        << c.version;
  }
}

}  // namespace
