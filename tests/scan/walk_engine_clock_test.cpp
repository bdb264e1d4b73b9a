// Cloned devices: two agents that report one SNMPv3 engine ID but keep clocks
// of their own (engine boots and time). Each checks the clock of every
// request against its own, as agents do, and answers a little late so that
// exchanges with both overlap. Every walk gets all its rows, one target after
// the other and many at once.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "scan/walk_test_support.h"
#include "support/scripted_agent.h"

namespace {

using testutil::ScriptedAgent;
using walktest::CapturedWalk;
using walktest::Keys;
using walktest::QueuedLog;
using walktest::WalkRun;

const char kRoot[] = "1.3.6.1.2.1.1";
const std::vector<std::string> kRows = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.2.0",
                                        "1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.4.0",
                                        "1.3.6.1.2.1.1.5.0"};

struct Clock {
  int boots;
  int time;  // seconds at start
};

struct Case {
  const char* name;
  Clock a, b;
};

TEST(EngineClockWalkTest, ClonesWithTheirOwnClocksEachGetAllRows) {
  ScanSettings settings;
  const Case cases[] = {
      {"same clock", {3, 1000}, {3, 1000}},
      {"same boots, times far apart", {5, 1000}, {5, 900000}},
      {"second booted fewer times", {7, 1000}, {2, 1000}},
      {"second booted more times", {2, 1000}, {7, 50}},
  };
  QueuedLog log;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // An engine ID of its own per case: the library keeps its clocks for the
    // whole process.
    const std::string engine_id = "cloned-engine-" + std::to_string(++n);
    ScriptedAgent agents[2];
    for (int i = 0; i < 2; ++i) {
      ScriptedAgent::Options options;
      options.scenario = "v3-normal";
      options.engine_id = engine_id;
      options.engine_boots = i == 0 ? c.a.boots : c.b.boots;
      options.engine_time = i == 0 ? c.a.time : c.b.time;
      options.check_time = true;
      options.delay_ms = 15;
      std::string error;
      ASSERT_TRUE(agents[i].Start(options, &error)) << error;
    }
    const Account account(ScriptedAgent::Options().user, ScriptedAgent::Options().auth_pass);
    settings.timeout_us = 1000000;
    settings.retries = 1;

    // One after the other, each clone twice.
    for (int i = 0; i < 4; ++i) {
      Walker job(agents[i % 2].peer(), settings);
      job.UseAccount(account);
      WalkRun run = CapturedWalk(&log, &job, kRoot, 3, true);
      EXPECT_EQ(Keys(job), kRows) << "walk " << i << "\n"
                                  << run.Everything() << agents[i % 2].Log();
    }

    // Many at once, alternating between the clones.
    constexpr int kJobs = 24;
    std::vector<std::unique_ptr<Walker>> jobs;
    for (int i = 0; i < kJobs; ++i) {
      jobs.push_back(std::make_unique<Walker>(agents[i % 2].peer(), settings));
      jobs[i]->UseAccount(account);
    }
    const std::string err = walktest::WalkAllAtOnce(jobs, kRoot, 3);
    std::string texts;
    for (const auto& l : log.Take()) texts += l + "\n";
    for (int i = 0; i < kJobs; ++i) {
      EXPECT_EQ(Keys(*jobs[i]), kRows)
          << "concurrent walk " << i << " of " << jobs[i]->target() << "\n"
          << err << texts;
    }
  }
}

}  // namespace
