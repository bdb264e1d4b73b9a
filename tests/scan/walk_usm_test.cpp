// SNMPv3 walks with every authentication and privacy protocol against a real
// snmpd: the same rows as snmpwalk with the same credentials, named failures,
// keys per (engine ID, user, protocol, pass phrase) under concurrency, and
// pass-phrase keys derived once per process.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "scan/engine_ids.h"
#include "scan/usm_keys.h"
#include "scan/walk_test_support.h"

namespace {

using testutil::SnmpdFixture;
using testutil::SnmpdOptions;
using walktest::CapturedWalk;
using walktest::Count;
using walktest::Keys;
using walktest::QueuedLog;
using walktest::WalkRun;

const char kRoot[] = "1.3.6.1.2.1.1";

// One user of the agent and the options that give snmpwalk its credentials.
struct User {
  std::string name;
  const char* auth;       // accounts.csv spelling
  const char* priv;       // accounts.csv spelling; "" for none
  const char* tool_priv;  // snmpwalk's -x spelling
  std::string auth_pass, priv_pass;

  Account ToAccount() const {
    Account a(name, auth_pass);
    EXPECT_TRUE(ParseAuthProtocol(auth, &a.auth_protocol)) << auth;
    if (*priv) {
      EXPECT_TRUE(ParsePrivProtocol(priv, &a.priv_protocol)) << priv;
      a.priv_password = priv_pass;
    }
    return a;
  }
  std::vector<std::string> ToolArgs() const {
    std::vector<std::string> args = {"-v3", "-u", name, "-a", auth, "-A", auth_pass};
    if (*priv) {
      for (const std::string& a : {std::string("-l"), std::string("authPriv"), std::string("-x"),
                                   std::string(tool_priv), std::string("-X"), priv_pass})
        args.push_back(a);
    } else {
      args.insert(args.end(), {"-l", "authNoPriv"});
    }
    return args;
  }
  // createUser and access lines; privacy users get read access only with
  // privacy, so that authNoPriv is refused with unsupportedSecLevel.
  std::vector<std::string> AgentLines() const {
    std::string create = "createUser " + name + " " + auth + " \"" + auth_pass + "\"";
    if (*priv) create += std::string(" ") + tool_priv + " \"" + priv_pass + "\"";
    return {create, "rouser " + name + (*priv ? " priv" : " auth")};
  }
};

User AuthUser(const char* auth) {
  std::string tag = auth;
  for (auto& c : tag) c = c == '-' ? '_' : static_cast<char>(tolower(c));
  return {"auth_" + tag, auth, "", "", "auth-pass-" + tag, ""};
}

User PrivUser(const char* auth, const char* priv, const char* tool_priv) {
  std::string tag = tool_priv;
  for (auto& c : tag) c = c == '-' ? '_' : static_cast<char>(tolower(c));
  return {"priv_" + tag, auth, priv, tool_priv, "auth-pass-" + tag, "priv-pass-" + tag};
}

std::vector<User> AllUsers() {
  std::vector<User> users;
  for (const char* auth : {"MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512"})
    users.push_back(AuthUser(auth));
  users.push_back(PrivUser("MD5", "DES", "DES"));
  users.push_back(PrivUser("SHA", "AES", "AES"));
  users.push_back(PrivUser("SHA-256", "AES-192", "AES-192"));
  users.push_back(PrivUser("SHA-512", "AES-256", "AES-256"));
  users.push_back(PrivUser("SHA-256", "AES-192C", "AES192C"));
  users.push_back(PrivUser("SHA-512", "aes-256c", "AES256C"));
  return users;
}

// A user whose pass phrases no other test uses, for counting key derivations.
User CountedUser() {
  return {"counted", "SHA-512", "AES-256", "AES-256", "counted-auth-pass", "counted-priv-pass"};
}

class UsmWalkTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    SnmpdOptions options;
    options.engine_id = "usm-walk-agent";
    options.addresses = {"127.0.0.1", "127.0.0.2"};
    std::vector<User> users = AllUsers();
    users.push_back(CountedUser());
    users.push_back(AuthUser("SHA-384"));  // knows no privacy
    users.back().name = "no_privacy";
    for (const auto& u : users)
      for (const auto& line : u.AgentLines()) options.config_lines.push_back(line);
    agent_ = testutil::StartSnmpd(options, &start_error_);
  }
  static void TearDownTestSuite() { agent_.reset(); }
  void SetUp() override {
    ASSERT_NE(agent_, nullptr) << start_error_;
    settings_.timeout_us = 2000000;
    settings_.retries = 1;
  }
  WalkRun WalkAs(Walker* job, const Account& account) {
    job->UseAccount(account);
    settings_.timeout_us = 2000000;
    settings_.retries = 1;
    return CapturedWalk(&log_, job, kRoot, 3, true);
  }

  static std::unique_ptr<SnmpdFixture> agent_;
  static std::string start_error_;
  QueuedLog log_;
  ScanSettings settings_;
};
std::unique_ptr<SnmpdFixture> UsmWalkTest::agent_;
std::string UsmWalkTest::start_error_;

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

TEST_F(UsmWalkTest, EveryProtocolStoresWhatSnmpwalkPrints) {
  for (const auto& u : AllUsers()) {
    const std::string name = std::string(u.auth) + "/" + (*u.priv ? u.priv : "no privacy");
    std::string error;
    const std::vector<std::string> expected =
        walktest::SnmpwalkOids(u.ToolArgs(), agent_->Target(), kRoot, &error);
    ASSERT_EQ(error, "") << name;
    ASSERT_FALSE(expected.empty()) << name;
    Walker job(agent_->Target(), settings_);
    WalkRun run = WalkAs(&job, u.ToAccount());
    EXPECT_EQ(Keys(job), expected) << name << "\n" << run.Everything();
    EXPECT_EQ(run.err, "") << name;
    EXPECT_EQ(job.usm_report(), UsmReport::kNone) << name;
    job.rows().ForEach([&](std::string_view key, const ResultRow& row) {
      EXPECT_EQ(row.version, 3) << name << " " << key;
    });
  }
}

// Failures the agent reports end the walk at once, named in the log; no
// row, no pass phrase anywhere.
TEST_F(UsmWalkTest, FailuresAreNamed) {
  const User sha = AuthUser("SHA-256");
  const User aes = PrivUser("SHA-512", "AES-256", "AES-256");
  const User des = PrivUser("MD5", "DES", "DES");
  struct Case {
    const char* name;
    Account account;
    const char* named;  // after "authentication failed: "; nullptr: a time-out instead
  };
  Account wrong_auth = sha.ToAccount();
  wrong_auth.password = "wrong-auth-pass";
  Account wrong_protocol = sha.ToAccount();
  wrong_protocol.auth_protocol = AuthProtocol::kSha384;
  Account privacy_unknown_to_agent = AuthUser("SHA-384").ToAccount();
  privacy_unknown_to_agent.username = "no_privacy";
  privacy_unknown_to_agent.priv_protocol = PrivProtocol::kAes;
  privacy_unknown_to_agent.priv_password = "some-priv-pass";
  Account wrong_priv = aes.ToAccount();
  wrong_priv.priv_password = "wrong-priv-pass";
  Account wrong_des = des.ToAccount();
  wrong_des.priv_password = "wrong-priv-pass";
  Account unknown("nobody-here", "nobody-pass-phrase");
  const Case cases[] = {
      {"wrong authentication pass phrase", wrong_auth, "wrong digest"},
      {"wrong authentication protocol", wrong_protocol, "wrong digest"},
      {"privacy the agent's user does not have", privacy_unknown_to_agent,
       "unsupported security level"},
      {"unknown user", unknown, "unknown user"},
      // The agent cannot tell a wrong privacy key from noise: it drops the
      // request, so the walk times out.
      {"wrong AES privacy pass phrase", wrong_priv, nullptr},
      {"wrong DES privacy pass phrase", wrong_des, nullptr},
  };
  for (const auto& c : cases) {
    Walker job(agent_->Target(), settings_);
    job.UseAccount(c.account);
    settings_.timeout_us = c.named ? 2000000 : 300000;
    settings_.retries = c.named ? 1 : 0;
    WalkRun run = CapturedWalk(&log_, &job, kRoot, 3, true);
    EXPECT_EQ(job.rows().GetCount(), 0u) << c.name;
    const std::string log = Joined(run.log);
    if (c.named) {
      EXPECT_EQ(Count(log, "|authentication failed: " + std::string(c.named) + "\n"), 2)
          << c.name << "\n"
          << log;
      EXPECT_EQ(Count(log, "|Error 1\n"), 2) << c.name << "\n" << log;
      EXPECT_NE(job.usm_report(), UsmReport::kNone) << c.name;
    } else {
      EXPECT_EQ(Count(log, "|Timeout\n"), 2) << c.name << "\n" << log;
      EXPECT_EQ(Count(log, "authentication failed"), 0) << c.name << "\n" << log;
    }
    for (const std::string& secret : {c.account.password, c.account.priv_password}) {
      if (!secret.empty()) {
        EXPECT_EQ(Count(run.Everything(), secret), 0) << c.name << ": pass phrase shown";
      }
    }
  }

  // An agent that asks for privacy of a user refuses an authNoPriv request
  // by its access control, which the designed error line names.
  Account no_privacy = aes.ToAccount();
  no_privacy.priv_protocol = PrivProtocol::kNone;
  no_privacy.priv_password.clear();
  Walker job(agent_->Target(), settings_);
  WalkRun run = WalkAs(&job, no_privacy);
  EXPECT_EQ(job.rows().GetCount(), 0u);
  EXPECT_EQ(Count(Joined(run.log),
                  "|Error in packet. authorizationError (access denied to that object)\n"),
            2)
      << Joined(run.log);
}

// Two accounts of one user on one engine ID (the agent's two addresses), one
// with the right privacy pass phrase and one with a wrong one, walking at
// once in every order: each gets its own outcome, whichever installed the
// user's keys last. Then the same with authentication protocols that differ.
TEST_F(UsmWalkTest, SameUserAndEngineWithOtherKeysTakeTurns) {
  const User aes = PrivUser("SHA-512", "AES-256", "AES-256");
  const User sha = AuthUser("SHA");
  Account wrong_priv = aes.ToAccount();
  wrong_priv.priv_password = "wrong-priv-pass";
  Account wrong_auth_protocol = sha.ToAccount();
  wrong_auth_protocol.auth_protocol = AuthProtocol::kMd5;  // same pass phrase, other hash
  struct Pair {
    const char* name;
    Account right, wrong;
  };
  const Pair pairs[] = {{"privacy pass phrase", aes.ToAccount(), wrong_priv},
                        {"authentication protocol", sha.ToAccount(), wrong_auth_protocol}};
  for (const auto& pair : pairs) {
    Walker solo(agent_->Target(), settings_);
    WalkAs(&solo, pair.right);
    const std::vector<std::string> expected = Keys(solo);
    ASSERT_FALSE(expected.empty()) << pair.name;

    constexpr int kJobs = 50;
    std::vector<std::unique_ptr<Walker>> jobs;
    for (int i = 0; i < kJobs; ++i) {
      jobs.push_back(std::make_unique<Walker>(agent_->Target(i % 2), settings_));
      jobs[i]->UseAccount(i % 2 == 0 ? pair.right : pair.wrong);
    }
    settings_.timeout_us = 1000000;
    settings_.retries = 0;
    walktest::WalkAllAtOnce(jobs, kRoot, 3);
    log_.Take();
    for (int i = 0; i < kJobs; ++i) {
      if (i % 2 == 0) {
        EXPECT_EQ(Keys(*jobs[i]), expected) << pair.name << " job " << i;
      } else {
        EXPECT_EQ(jobs[i]->rows().GetCount(), 0u)
            << pair.name << " job " << i << ": wrong keys accepted";
      }
    }
  }
}

// Keys come from pass phrases once per (protocol, pass phrase) for the whole
// process, however many targets and walks use them.
TEST_F(UsmWalkTest, PassPhraseKeysAreDerivedOncePerProtocolAndPassPhrase) {
  const size_t before = PassPhraseKeyDerivations();
  std::vector<std::unique_ptr<Walker>> jobs;
  for (int i = 0; i < 20; ++i) {
    jobs.push_back(std::make_unique<Walker>(agent_->Target(i % 2), settings_));
    jobs[i]->UseAccount(CountedUser().ToAccount());
  }
  walktest::WalkAllAtOnce(jobs, "1.3.6.1.2.1.1.3", 3);
  log_.Take();
  for (auto& job : jobs) EXPECT_EQ(job->rows().GetCount(), 1u) << job->target();
  EXPECT_EQ(PassPhraseKeyDerivations() - before, 2u);  // authentication and privacy

  for (int i = 0; i < 3; ++i) {
    Walker job(agent_->Target(i % 2), settings_);
    WalkAs(&job, CountedUser().ToAccount());
    EXPECT_GT(job.rows().GetCount(), 0u);
  }
  EXPECT_EQ(PassPhraseKeyDerivations() - before, 2u);

  // The same pass phrases under another hash are other keys.
  Account other_hash = CountedUser().ToAccount();
  other_hash.auth_protocol = AuthProtocol::kSha256;
  Walker job(agent_->Target(), settings_);
  WalkAs(&job, other_hash);
  EXPECT_EQ(job.rows().GetCount(), 0u);
  EXPECT_EQ(PassPhraseKeyDerivations() - before, 4u);
}

TEST_F(UsmWalkTest, TargetsSharingAnEngineIdAreNamed) {
  const User md5 = AuthUser("MD5");
  for (size_t address = 0; address < 2; ++address) {
    Walker job(agent_->Target(address), settings_);
    WalkAs(&job, md5.ToAccount());
    ASSERT_GT(job.rows().GetCount(), 0u);
  }
  bool found = false;
  for (const auto& [hex, targets] : SharedEngineIds()) {
    if (targets == std::vector<std::string>{agent_->Target(0), agent_->Target(1)}) {
      found = true;
      // snmpd's text engine ID: its enterprise prefix, format 4, then the text.
      // snmpd's engine ID from text: its enterprise number, format 4, the text.
      EXPECT_EQ(hex,
                "80001f8804"
                "75736d2d77616c6b2d6167656e74");  // "usm-walk-agent"
    }
  }
  EXPECT_TRUE(found);
}

}  // namespace
