// SNMPv3 walks against agents that misbehave in their user-based security:
// each walk ends within its retries, names what the agent reported, stores
// nothing it should not, and leaves other targets alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "scan/walk_test_support.h"
#include "support/scripted_agent.h"
#include "support/test_util.h"

namespace {

using testutil::ScriptedAgent;
using walktest::CapturedWalk;
using walktest::Count;
using walktest::Keys;
using walktest::QueuedLog;
using walktest::WalkRun;

const char kRoot[] = "1.3.6.1.2.1.1";

struct Case {
  const char* name;
  const char* scenario;
  const char* arg;
  std::string engine_id;
  bool privacy;          // the account asks for AES privacy
  const char* named;     // "authentication failed: <named>" in the log, twice; nullptr: none
  const char* designed;  // the designed failure line, twice (after the target and "|")
  int good;              // requests answered correctly first
  int rows;  // 1: rows expected, 0: none, -1: either (the library's clock checks decide)
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

TEST(UsmHostileWalkTest, EveryWalkEndsWithinItsRetries) {
  ScanSettings settings;
  const std::string kLongEngineId(40, 'E');
  const Case cases[] = {
      {"report: wrong digest", "v3-report", "wrong-digest", "scripted-engine", false,
       "wrong digest", "Error 1", 0, 0},
      {"report: unknown user", "v3-report", "unknown-user", "scripted-engine", false,
       "unknown user", "Error 1", 0, 0},
      {"report: unknown engine ID after discovery", "v3-report", "unknown-engine",
       "scripted-engine", false, "unknown engine ID", "Error 1", 0, 0},
      {"report: decryption error", "v3-report", "decryption", "scripted-engine", true,
       "decryption error", "Error 1", 0, 0},
      {"report: unsupported security level", "v3-report", "unsupported-level", "scripted-engine",
       false, "unsupported security level", "Error 1", 0, 0},
      {"report: not in time window, for ever", "v3-report", "not-in-time", "scripted-engine", false,
       "not in time window", "Error 1", 0, 0},
      {"report after good answers keeps the rows", "v3-report", "wrong-digest", "scripted-engine",
       false, "wrong digest", "Error 1", 4, 1},
      {"bad digest in every answer", "v3-bad-digest", "", "scripted-engine", false, nullptr,
       "Timeout", 0, 0},
      {"answers encrypted with another key", "v3-wrong-key", "", "scripted-engine", true, nullptr,
       "Timeout", 0, 0},
      {"truncated security parameters", "v3-truncated-security", "", "scripted-engine", false,
       nullptr, "Timeout", 0, 0},
      {"engine ID changes between answers", "v3-engine-changes", "", "scripted-engine", false,
       nullptr, "Timeout", 0, 0},
      // Discovery fails: a failed open, in each variant's words.
      {"empty engine ID", "v3-normal", "", "", false, nullptr, nullptr, 0, 0},
      {"engine boots and time go back", "v3-time", "back", "scripted-engine", false, nullptr,
       nullptr, 0, -1},
      {"engine boots jump", "v3-time", "jump", "scripted-engine", false, nullptr, nullptr, 0, -1},
      {"a new clock in every answer", "v3-time", "wild", "scripted-engine", false, nullptr, nullptr,
       0, -1},
      // The library refuses an engine ID over 32 bytes: discovery fails.
      {"engine ID of 40 bytes", "v3-normal", "", kLongEngineId, false, nullptr, nullptr, 0, 0},
  };
  QueuedLog log;
  for (const auto& c : cases) {
    ScriptedAgent agent;
    ScriptedAgent::Options options;
    options.scenario = c.scenario;
    options.arg = c.arg;
    options.engine_id = c.engine_id;
    options.good = c.good;
    std::string error;
    ASSERT_TRUE(agent.Start(options, &error)) << c.name << ": " << error;
    SCOPED_TRACE(c.name);
    Walker job(agent.peer(), settings);
    Account account(options.user, options.auth_pass);
    if (c.privacy) {
      account.priv_protocol = PrivProtocol::kAes;
      account.priv_password = "scripted-priv-pass";
    }
    job.UseAccount(account);
    settings.timeout_us = 300000;
    settings.retries = 1;
    const auto start = std::chrono::steady_clock::now();
    WalkRun run = CapturedWalk(&log, &job, kRoot, 3, true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string texts = Joined(run.log);

    // Two variants, each at most a probe and (1 + retries) tries of each
    // request, the library's one time-window resend per try included.
    EXPECT_LE(agent.RequestCount(), c.good + 2 * (1 + 2 * 2)) << c.name << "\n"
                                                              << texts << agent.Log();
    EXPECT_LT(seconds, 10.0) << c.name;
    const bool rows = job.rows().GetCount() > 0;
    if (c.rows >= 0) {
      EXPECT_EQ(rows, c.rows == 1) << c.name << "\n" << run.Everything();
    }
    // Whatever was stored is the agent's own, from the start of the subtree.
    const std::vector<std::string> tree = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.2.0",
                                           "1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.4.0",
                                           "1.3.6.1.2.1.1.5.0"};
    const std::vector<std::string> keys = Keys(job);
    EXPECT_TRUE(keys.size() <= tree.size() && std::equal(keys.begin(), keys.end(), tree.begin()))
        << c.name;
    if (c.rows == 1 && c.good == 0) {
      EXPECT_EQ(keys, tree) << c.name;
    }
    const int variants = rows ? 1 : 2;
    if (c.named) {
      EXPECT_EQ(Count(texts, "|authentication failed: " + std::string(c.named) + "\n"), variants)
          << c.name << "\n"
          << texts;
    } else {
      EXPECT_EQ(Count(texts, "authentication failed"), 0) << c.name << "\n" << texts;
    }
    if (c.designed) {
      EXPECT_EQ(Count(texts, "|" + std::string(c.designed) + "\n"), variants) << c.name << "\n"
                                                                              << texts;
    }
    if (c.engine_id.empty() || c.engine_id.size() > 32) {
      EXPECT_EQ(Count(texts, "|snmp_open error\n") + Count(texts, "|snmp_sess_session\n"), 2)
          << texts;
    }
    EXPECT_EQ(Count(texts, "|scan end\n"), variants) << c.name << "\n" << texts;
    EXPECT_EQ(Count(run.Everything(), options.auth_pass), 0) << c.name;
  }
}

}  // namespace
