// --resume through the real binary: a run interrupted at several moments and
// then resumed scans every target exactly once over the two runs and leaves
// the files of one uninterrupted run; a resumed run after failures scans the
// failed and the new targets only.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/resume.h"
#include "output/summary_file.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;

std::vector<SummaryRow> Summary(const std::string& dir) {
  std::vector<SummaryRow> rows;
  std::string error;
  EXPECT_TRUE(ReadSummaryFile(dir + "/summary.csv", &rows, &error)) << error;
  return rows;
}

// Agents that answer each request after their own delay, so their targets
// end one after another over about two seconds.
class Fleet {
 public:
  bool Start(size_t count, std::string* error) {
    for (size_t i = 0; i < count; ++i) {
      testutil::ScriptedAgent::Options options;
      options.delay_ms = 40 + 40 * static_cast<int>(i);
      agents_.push_back(std::make_unique<testutil::ScriptedAgent>());
      if (!agents_.back()->Start(options, error)) return false;
      targets_.push_back(agents_.back()->peer());
    }
    return true;
  }
  const std::vector<std::string>& targets() const { return targets_; }
  std::vector<int> Requests() const {
    std::vector<int> counts;
    for (const auto& a : agents_) counts.push_back(a->RequestCount());
    return counts;
  }

 private:
  std::vector<std::unique_ptr<testutil::ScriptedAgent>> agents_;
  std::vector<std::string> targets_;
};

struct RunFolder {
  testutil::TempDir dir;
  std::string exe;
  explicit RunFolder(const std::vector<std::string>& targets) {
    exe = testutil::InstallBinary(dir.path());
    testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=3000000\nRetry=0\n");
    std::string list;
    for (const auto& t : targets) list += t + "\n";
    testutil::WriteFile(dir / "list.txt", list);
  }
  testutil::ProcessResult Run(bool resume, const testutil::WhileRunning& while_running = {}) {
    std::vector<std::string> argv = {exe};
    if (resume) argv.push_back("--resume");
    argv.insert(argv.end(), {"--targets", dir / "list.txt"});
    return testutil::RunProcess(argv, 120, {}, while_running);
  }
};

TEST(ResumeRun, InterruptedAtSeveralMomentsThenResumed) {
  Fleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(6, &error)) << error;
  const std::vector<std::string>& targets = fleet.targets();

  RunFolder reference(targets);
  const testutil::ProcessResult whole = reference.Run(false);
  ASSERT_EQ(whole.exit_code, 0) << whole.err;
  const std::map<std::string, std::string> expected_files =
      testutil::ResultFileBytes(reference.dir.path());
  ASSERT_EQ(expected_files.size(), targets.size());

  // Before any target ends, after some have, after most have.
  for (const int moment_ms : {150, 900, 1700}) {
    SCOPED_TRACE("interrupt after " + std::to_string(moment_ms) + " ms");
    RunFolder run(targets);
    const auto t0 = std::chrono::steady_clock::now();
    bool sent = false;
    const testutil::ProcessResult first = run.Run(false, [&](pid_t pid, const auto&) {
      if (!sent && std::chrono::steady_clock::now() - t0 >= std::chrono::milliseconds(moment_ms)) {
        kill(pid, SIGINT);
        sent = true;
      }
    });
    ASSERT_TRUE(sent);
    EXPECT_EQ(first.exit_code, 130) << first.err;
    std::map<std::string, bool> done;
    for (const SummaryRow& row : Summary(run.dir.path()))
      done[row.target] = row.outcome == "answered" || row.outcome == "empty";
    const std::vector<SummaryRow> first_rows = Summary(run.dir.path());

    const std::vector<int> before = fleet.Requests();
    const testutil::ProcessResult second = run.Run(true);
    EXPECT_EQ(second.exit_code, 0) << second.err;
    const std::vector<int> after = fleet.Requests();
    for (size_t i = 0; i < targets.size(); ++i) {
      SCOPED_TRACE(targets[i]);
      // Scanned once over the two runs: a target done in the first run gets
      // no request in the second, every other one is scanned in it.
      if (done[targets[i]]) {
        EXPECT_EQ(after[i], before[i]);
        EXPECT_EQ(testutil::CountOf(second.out, targets[i] + ".xml"), 0u) << second.out;
      } else {
        EXPECT_GT(after[i], before[i]);
        EXPECT_EQ(testutil::CountOf(second.out, targets[i] + ".xml"), 1u) << second.out;
      }
    }
    EXPECT_EQ(testutil::ResultFileBytes(run.dir.path()), expected_files);

    // Every target in the summary, in list order, each answered; the rows
    // carried over are the first run's own.
    const std::vector<SummaryRow> rows = Summary(run.dir.path());
    ASSERT_EQ(rows.size(), targets.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].target, targets[i]);
      EXPECT_EQ(rows[i].outcome, "answered");
      if (done[targets[i]]) {
        EXPECT_EQ(SummaryCsv({rows[i]}), SummaryCsv({first_rows[i]}));
      }
    }
  }
}

TEST(ResumeRun, AfterFailuresOnlyFailedAndNewTargetsAreScanned) {
  Fleet fleet;
  std::string error;
  ASSERT_TRUE(fleet.Start(3, &error)) << error;
  const std::string silent =
      "127.0.0.1:" + std::to_string(testutil::FindFreeUdpPort({"127.0.0.1"}));
  std::vector<std::string> targets = {fleet.targets()[0], silent, fleet.targets()[1]};
  RunFolder run(targets);
  testutil::WriteFile(run.dir / "config.ini", "[Config]\nTimeout=300000\nRetry=0\n");
  const testutil::ProcessResult first = run.Run(false);
  ASSERT_EQ(first.exit_code, 0) << first.err;

  // The list grows by a target the first run never saw.
  targets.push_back(fleet.targets()[2]);
  testutil::WriteFile(run.dir / "list.txt", targets[0] + "\n" + targets[1] + "\n" + targets[2] +
                                                "\n" + targets[3] + "\n");
  const std::vector<int> before = fleet.Requests();
  const testutil::ProcessResult second = run.Run(true);
  EXPECT_EQ(second.exit_code, 0) << second.err;
  const std::vector<int> after = fleet.Requests();
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], before[1]);
  EXPECT_GT(after[2], before[2]);
  EXPECT_EQ(testutil::CountOf(second.out, "output: "), 2u) << second.out;
  EXPECT_NE(second.err.find("--resume: 2 of 4 targets done in an earlier run; scanning 2"),
            std::string::npos)
      << second.err;

  const std::vector<SummaryRow> rows = Summary(run.dir.path());
  ASSERT_EQ(rows.size(), 4u);
  const char* outcomes[] = {"answered", "no_answer", "answered", "answered"};
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].target, targets[i]);
    EXPECT_EQ(rows[i].outcome, outcomes[i]);
  }

  // A summary that is not one is named, and its targets are scanned again.
  testutil::WriteFile(run.dir / "summary.csv", "not,a,summary\r\n");
  const testutil::ProcessResult third = run.Run(true);
  EXPECT_EQ(third.exit_code, 0) << third.err;
  EXPECT_EQ(testutil::CountOf(third.err, "summary.csv cannot be used (not a summary file"), 1u)
      << third.err;
  EXPECT_EQ(testutil::CountOf(third.out, "output: "), 4u) << third.out;
}

}  // namespace
