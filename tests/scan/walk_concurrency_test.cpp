// Many jobs walking real agents at once: every job must store exactly the
// rows of a walk made alone, whatever the others do, including SNMPv3 jobs
// against agents with different engine IDs and two targets that share an
// engine ID and user name but not the pass phrase.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scan/walk_test_support.h"

namespace {

using testutil::SnmpdFixture;
using testutil::SnmpdOptions;

const char kCommunity[] = "mibscan-conc";
// Small, stable subtrees: udpTable would list our own sockets.
const char* const kRoots[] = {"1.3.6.1.2.1.1", "1.3.6.1.2.1.2"};

struct JobPlan {
  std::string target;
  int version;
  std::string user, pass;
  std::string expect_key;  // key into the solo results; empty: no row expected
};

// Runs the walks of kRoots for one job, as a scan job would, one after the
// other on the calling thread.
void WalkJob(Walker* job, const JobPlan& plan) {
  job->UseAccount(Account(plan.user, plan.pass));
  for (const char* root : kRoots) job->Walk(root, plan.version, true);
}

TEST(WalkConcurrencyTest, FiftyJobsStoreWhatSoloWalksStore) {
  ScanSettings settings;
  walktest::QueuedLog quiet(false);
  settings.community = kCommunity;
  settings.timeout_us = 3000000;
  settings.retries = 2;

  // Three agents with their own engine IDs, and a fourth on two addresses.
  std::vector<std::unique_ptr<SnmpdFixture>> agents;
  for (int i = 0; i < 3; ++i) {
    auto agent = std::make_unique<SnmpdFixture>();
    SnmpdOptions options;
    options.engine_id = "conc-agent-" + std::to_string(i);
    options.config_lines = {std::string("rocommunity ") + kCommunity + " 127.0.0.1",
                            "createUser bob MD5 \"bob-pass-of-agent-" + std::to_string(i) + "\"",
                            "rouser bob auth"};
    std::string error;
    ASSERT_TRUE(agent->Start(options, &error)) << error;
    agents.push_back(std::move(agent));
  }
  SnmpdFixture shared;
  {
    SnmpdOptions options;
    options.addresses = {"127.0.0.2", "127.0.0.3"};
    options.engine_id = "conc-shared-engine";
    options.config_lines = {"createUser carol MD5 \"carol-right-pass\"", "rouser carol auth"};
    std::string error;
    ASSERT_TRUE(shared.Start(options, &error)) << error;
  }

  std::vector<JobPlan> kinds;
  for (int i = 0; i < 3; ++i) {
    for (int version : {1, 2, 3}) {
      JobPlan plan{agents[i]->Target(), version, "", "", ""};
      if (version == 3) {
        plan.user = "bob";
        plan.pass = "bob-pass-of-agent-" + std::to_string(i);
      }
      plan.expect_key = plan.target + " v" + std::to_string(version);
      kinds.push_back(plan);
    }
  }
  const JobPlan right{shared.Target(0), 3, "carol", "carol-right-pass", shared.Target(0) + " v3"};
  const JobPlan wrong{shared.Target(1), 3, "carol", "carol-wrong-pass", ""};

  // The rows of each kind of job, walked alone.
  std::map<std::string, std::vector<std::string>> solo;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  for (const auto& plan : kinds) {
    Walker job(plan.target, settings);
    WalkJob(&job, plan);
    solo[plan.expect_key] = walktest::Keys(job);
  }
  {
    Walker job(right.target, settings);
    WalkJob(&job, right);
    solo[right.expect_key] = walktest::Keys(job);
  }
  std::string solo_err = testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(solo_err, "");
  for (const auto& [key, rows] : solo) ASSERT_GT(rows.size(), 10u) << key;

  // 50 jobs at once: every kind several times, and right and wrong pass
  // phrases for the shared engine ID interleaved.
  std::vector<JobPlan> plans;
  for (size_t i = 0; plans.size() < 36; ++i) plans.push_back(kinds[i % kinds.size()]);
  while (plans.size() < 50) {
    plans.push_back(right);
    plans.push_back(wrong);
  }
  std::vector<std::unique_ptr<Walker>> jobs;
  for (size_t i = 0; i < plans.size(); ++i)
    jobs.push_back(std::make_unique<Walker>(plans[i].target, settings));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  {
    std::vector<std::thread> threads;
    for (size_t i = 0; i < plans.size(); ++i)
      threads.emplace_back(WalkJob, jobs[i].get(), std::cref(plans[i]));
    for (auto& t : threads) t.join();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();

  int wrong_jobs = 0;
  for (size_t i = 0; i < plans.size(); ++i) {
    const JobPlan& plan = plans[i];
    const std::string name =
        plan.target + " v" + std::to_string(plan.version) + " job " + std::to_string(i);
    if (plan.expect_key.empty()) {
      ++wrong_jobs;
      EXPECT_EQ(jobs[i]->rows().GetCount(), 0u) << name << ": a wrong pass phrase was accepted";
    } else {
      EXPECT_EQ(walktest::Keys(*jobs[i]), solo[plan.expect_key]) << name;
    }
    jobs[i]->rows().ForEach([&](std::string_view key, const ResultRow& row) {
      EXPECT_EQ(row.version, plan.version) << name << " " << key;
    });
  }
  // Each wrong walk fails in both variants, at once, with the library's report.
  EXPECT_EQ(walktest::Count(err, "snmpwalk: Authentication failure"), wrong_jobs * 2 * 2) << err;
  EXPECT_EQ(walktest::Count(err, "Timeout"), 0) << err;
}

}  // namespace
