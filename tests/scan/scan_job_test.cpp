// Whole target scan jobs against real agents on loopback: which scan plan
// runs, which versions each walk uses, the rows and the versions that stored
// them, the job's log lines, and that pass phrases stay out of every output.
#include "scan/scan_job.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "log/log.h"
#include "output/result_document.h"
#include "scan/scan_settings.h"
#include "scan/walk_test_support.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using testutil::SnmpdFixture;
using testutil::SnmpdOptions;
using testutil::TempDir;

const char kCommunity[] = "jobtest";
const char kUser[] = "jobuser";
// Distinctive, so that a plain substring search finds any leak.
const char kPass[] = "Sesame7731-jobtest";
const char kWrongPass[] = "Bogus5519-jobtest";

const char kMib2[] = "1.3.6.1.2.1";
const char kEnterprises[] = "1.3.6.1.4.1";
const char kProbe[] = "1.3.6.1.2.1.1.3";
const char kSysDescr0[] = "1.3.6.1.2.1.1.1.0";
const char kSysUpTime0[] = "1.3.6.1.2.1.1.3.0";
const char kSysContact0[] = "1.3.6.1.2.1.1.4.0";
const char kSysName0[] = "1.3.6.1.2.1.1.5.0";
const char kMissing[] = "1.3.6.1.2.1.1.99.0";  // inside the agents' view, but no such object

// The security models an agent answers; all share one small view (the system
// group without sysORTable, and two enterprise objects).
struct Access {
  bool v1 = false;
  bool v2c = false;
  bool usm = false;
  bool hide_sys_up_time = false;  // the view leaves sysUpTime out
};

std::vector<std::string> AgentConfig(const Access& access) {
  std::vector<std::string> lines = {
      std::string("com2sec jobnet 127.0.0.0/8 ") + kCommunity,
      "view jobview included .1.3.6.1.2.1.1",
      "view jobview excluded .1.3.6.1.2.1.1.9",
      "view jobview included .1.3.6.1.4.1.99999",
      "override .1.3.6.1.4.1.99999.1.0 octet_str \"enterprise text\"",
      "override .1.3.6.1.4.1.99999.2.0 integer 42",
      std::string("createUser ") + kUser + " MD5 \"" + kPass + "\"",
  };
  if (access.hide_sys_up_time) lines.push_back("view jobview excluded .1.3.6.1.2.1.1.3");
  if (access.v1) {
    lines.push_back("group jobv1 v1 jobnet");
    lines.push_back("access jobv1 \"\" v1 noauth exact jobview none none");
  }
  if (access.v2c) {
    lines.push_back("group jobv2 v2c jobnet");
    lines.push_back("access jobv2 \"\" v2c noauth exact jobview none none");
  }
  if (access.usm) {
    lines.push_back(std::string("group jobusm usm ") + kUser);
    lines.push_back("access jobusm \"\" usm auth exact jobview none none");
  }
  return lines;
}

std::string ScanStart(const std::string& oid, int version) {
  return "scan start: " + oid + "[v" + std::to_string(version) + "]";
}

// OID text -> version that stored the row.
using Rows = std::map<std::string, int>;

Rows AllVersion(const std::set<std::string>& oids, int version) {
  Rows rows;
  for (const auto& oid : oids) rows[oid] = version;
  return rows;
}

// What snmpwalk finds under both default subtrees with the given options.
std::set<std::string> SnmpwalkBoth(const std::vector<std::string>& args,
                                   const std::string& target) {
  std::set<std::string> oids;
  for (const char* root : {kMib2, kEnterprises}) {
    std::string error;
    for (const auto& oid : walktest::SnmpwalkOids(args, target, root, &error)) oids.insert(oid);
    EXPECT_EQ(error, "") << root;
  }
  return oids;
}

// The files under dir, recursively, that hold text.
std::vector<std::string> FilesHolding(const std::string& dir, const std::string& text) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec) &&
        testutil::ReadFile(it->path().string()).find(text) != std::string::npos)
      paths.push_back(it->path().string());
  }
  return paths;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct JobRun {
  std::string out, err;
  std::vector<std::string> log;  // the job's log texts, without time stamp and target
  Rows rows;
};

// The job's own texts and the start of each walk (not the second variant's),
// which show the plan and its versions.
std::vector<std::string> Outline(const std::vector<std::string>& log) {
  std::vector<std::string> outline;
  for (const auto& text : log) {
    if (text == "start" || text == "account exists" || text == "end" ||
        (text.rfind("scan start: ", 0) == 0 && text != "scan start: snmp_sess_synch_response"))
      outline.push_back(text);
  }
  return outline;
}

class ScanJobTest : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_ / "log");
    LogSettings log;
    log.enabled = true;
    log.dir = dir_ / "log";
    log.direct = true;
    UseLogSettings(log);
    settings_.community = kCommunity;
    // Walks that must fail cost this much each; answers come in milliseconds.
    settings_.timeout_us = 500000;
    settings_.retries = 0;
  }
  void TearDown() override { UseLogSettings(LogSettings{}); }

  // Starts a fresh agent; false (with the test failed) when it cannot.
  bool StartAgent(const Access& access) {
    static int serial = 0;
    SnmpdOptions options;
    options.config_lines = AgentConfig(access);
    options.engine_id = "scanjob-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    std::string error;
    const bool started = agent_.Start(options, &error);
    EXPECT_TRUE(started) << error;
    return started;
  }

  void SetAccount(const std::string& target, const std::string& pass) {
    accounts_.clear();
    std::istringstream csv("ip,username,password\n" + target + "," + kUser + "," + pass + "\n");
    std::string problem;
    ASSERT_TRUE(LoadAccountsFrom(csv, "accounts.csv", &accounts_, &problem)) << problem;
  }

  // Runs one job in-process as the run driver's worker does (the target's
  // account, the scan, its result file) and collects what it did. Also
  // checks what every job must keep: the log ends with "end", the result
  // step comes last, every row has its version, and no pass phrase is
  // anywhere.
  JobRun Run(const std::string& target) {
    std::filesystem::remove(dir_ / "log/log.txt");
    JobRun run;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const ScanResult job = ScanTarget(target, FindAccount(accounts_, target), settings_);
    const std::string path = ResultFilePath(dir_.path(), target, settings_.oid);
    WriteResultFile(path, target, job.rows);
    run.out = testing::internal::GetCapturedStdout();
    run.err = testing::internal::GetCapturedStderr();

    const std::string log_file = testutil::ReadFile(dir_ / "log/log.txt");
    for (const auto& line : Lines(log_file)) {
      const size_t code_column = line.find("|-|");
      const std::string rest =
          code_column == std::string::npos ? line : line.substr(code_column + 3);
      EXPECT_EQ(rest.rfind(target + "|", 0), 0u) << line;
      run.log.push_back(rest.substr(std::min(rest.size(), target.size() + 1)));
    }
    EXPECT_FALSE(run.log.empty());
    if (!run.log.empty()) {
      EXPECT_EQ(run.log.front(), "start");
      EXPECT_EQ(run.log.back(), "end");
    }

    job.rows.ForEach([&](std::string_view key, const ResultRow& row) {
      EXPECT_NE(row.version, 0) << key;
      run.rows[std::string(key)] = row.version;
    });

    {
      const std::string suffix = settings_.oid.empty() ? "" : "_[" + settings_.oid + "]";
      EXPECT_EQ(path, dir_.path() + "/" + target + suffix + ".xml");
      const std::vector<std::string> out_lines = Lines(run.out);
      EXPECT_EQ(out_lines.empty() ? "" : out_lines.back(), "output: " + path);
      EXPECT_TRUE(testutil::FileExists(path)) << path;
    }

    for (const char* secret : {kPass, kWrongPass}) {
      EXPECT_EQ(run.out.find(secret), std::string::npos) << run.out;
      EXPECT_EQ(run.err.find(secret), std::string::npos) << run.err;
      EXPECT_EQ(FilesHolding(dir_.path(), secret), std::vector<std::string>{});
    }
    return run;
  }

  TempDir dir_;
  ScanSettings settings_;
  Accounts accounts_;  // the run's accounts.csv rows
  SnmpdFixture agent_;
};

// Plan D

TEST_F(ScanJobTest, NoAccountAgentAnsweringV1StopsAfterV1) {
  Access access;
  access.v1 = access.v2c = access.usm = true;
  ASSERT_TRUE(StartAgent(access));
  const std::string target = agent_.Target();
  JobRun run = Run(target);

  // sysUpTime came with mib-2, so no probe; v1 stored rows, so nothing else.
  EXPECT_EQ(run.log, (std::vector<std::string>{"start", ScanStart(kMib2, 1), "scan end",
                                               ScanStart(kEnterprises, 1), "End of MIB", "scan end",
                                               "end"}));
  EXPECT_EQ(run.rows, AllVersion(SnmpwalkBoth({"-v1", "-c", kCommunity}, target), 1));
  EXPECT_TRUE(run.rows.count(kSysUpTime0));
  EXPECT_TRUE(run.rows.count("1.3.6.1.4.1.99999.2.0"));
}

TEST_F(ScanJobTest, NoAccountOnlyV2cAnswers) {
  Access access;
  access.v2c = true;
  access.hide_sys_up_time = true;
  ASSERT_TRUE(StartAgent(access));
  const std::string target = agent_.Target();
  JobRun run = Run(target);

  // The probe belongs to the first version only: v2c brings no sysUpTime
  // either, yet it is not probed again; v2c stored rows, so v3 never runs.
  EXPECT_EQ(Outline(run.log),
            (std::vector<std::string>{"start", ScanStart(kMib2, 1), ScanStart(kEnterprises, 1),
                                      ScanStart(kProbe, 1), ScanStart(kMib2, 2),
                                      ScanStart(kEnterprises, 2), "end"}));
  EXPECT_NE(run.err.find("Timeout: No Response from " + target), std::string::npos) << run.err;
  const Rows expected = AllVersion(SnmpwalkBoth({"-v2c", "-c", kCommunity}, target), 2);
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(run.rows, expected);
  EXPECT_FALSE(run.rows.count(kSysUpTime0));
}

TEST_F(ScanJobTest, NoAccountOnlyV3AnswersTriesEveryVersionWithoutCredentials) {
  Access access;
  access.usm = true;
  ASSERT_TRUE(StartAgent(access));
  JobRun run = Run(agent_.Target());

  // v3 runs only after v1 and v2c stored nothing; without an account it has
  // no user, which the agent refuses.
  EXPECT_EQ(Outline(run.log),
            (std::vector<std::string>{"start", ScanStart(kMib2, 1), ScanStart(kEnterprises, 1),
                                      ScanStart(kProbe, 1), ScanStart(kMib2, 2),
                                      ScanStart(kEnterprises, 2), ScanStart(kMib2, 3),
                                      ScanStart(kEnterprises, 3), "end"}));
  EXPECT_TRUE(run.rows.empty());
}

TEST_F(ScanJobTest, ViewWithoutSysUpTimeRunsTheProbeWhichFindsNothing) {
  Access access;
  access.v1 = access.v2c = true;
  access.hide_sys_up_time = true;
  ASSERT_TRUE(StartAgent(access));
  const std::string target = agent_.Target();
  JobRun run = Run(target);

  // The probe's first answer lies past 1.3.6.1.2.1.1.4, so both variants
  // end at once; v1 stored other rows, so v2c is not tried.
  EXPECT_EQ(run.log, (std::vector<std::string>{
                         "start", ScanStart(kMib2, 1), "scan end", ScanStart(kEnterprises, 1),
                         "End of MIB", "scan end", ScanStart(kProbe, 1), "scan end",
                         "scan start: snmp_sess_synch_response", "scan end", "end"}));
  const Rows expected = AllVersion(SnmpwalkBoth({"-v1", "-c", kCommunity}, target), 1);
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(run.rows, expected);
  EXPECT_FALSE(run.rows.count(kSysUpTime0));
}

TEST_F(ScanJobTest, AgentSilentBeforeSysUpTimeProbeStoresIt) {
  // Answers mib-2's first request only, then falls silent for the rest of
  // sysDescr and for enterprises, but answers the probe.
  testutil::ScriptedAgent scripted;
  testutil::ScriptedAgent::Options options;
  options.scenario = "silent-under";
  options.arg = std::string("1.3.6.1.2.1.1.1,") + kEnterprises;
  options.community = "scripted";
  std::string error;
  ASSERT_TRUE(scripted.Start(options, &error)) << error;
  settings_.community = "scripted";
  JobRun run = Run(scripted.peer());

  EXPECT_EQ(Outline(run.log),
            (std::vector<std::string>{"start", ScanStart(kMib2, 1), ScanStart(kEnterprises, 1),
                                      ScanStart(kProbe, 1), "end"}));
  EXPECT_EQ(run.rows, (Rows{{kSysDescr0, 1}, {kSysUpTime0, 1}}));
}

// Plan C

TEST_F(ScanJobTest, AccountGetsOnlyV3WithItsCredentials) {
  Access access;
  access.v1 = access.v2c = access.usm = true;
  ASSERT_TRUE(StartAgent(access));
  const std::string target = agent_.Target();
  SetAccount(target, kPass);
  JobRun run = Run(target);

  EXPECT_EQ(Outline(run.log),
            (std::vector<std::string>{"start", "account exists", ScanStart(kMib2, 3),
                                      ScanStart(kEnterprises, 3), "end"}));
  const Rows expected = AllVersion(
      SnmpwalkBoth({"-v3", "-l", "authNoPriv", "-u", kUser, "-a", "MD5", "-A", kPass}, target), 3);
  EXPECT_TRUE(expected.count(kSysUpTime0));
  EXPECT_EQ(run.rows, expected);
}

TEST_F(ScanJobTest, AccountWhoseV3StoresNothingNeverFallsBack) {
  Access access;
  access.v1 = access.v2c = access.usm = true;  // v1 and v2c would answer
  ASSERT_TRUE(StartAgent(access));
  const std::string target = agent_.Target();
  SetAccount(target, kWrongPass);
  JobRun run = Run(target);

  EXPECT_EQ(Outline(run.log),
            (std::vector<std::string>{"start", "account exists", ScanStart(kMib2, 3),
                                      ScanStart(kEnterprises, 3), ScanStart(kProbe, 3), "end"}));
  EXPECT_TRUE(run.rows.empty());
}

// Plan A

TEST_F(ScanJobTest, ConfiguredOidsFallBackPerOid) {
  struct Case {
    const char* name;
    bool account;
    int repeated_oid_version;  // the last get that stored the twice-listed OID
  };
  const Case cases[] = {
      {"with account: v3 get authenticates", true, 3},
      {"without account: v3 get has no user and stores nothing", false, 2},
  };
  Access access;
  access.v1 = access.v2c = access.usm = true;
  ASSERT_TRUE(StartAgent(access));
  const std::string target = agent_.Target();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    accounts_.clear();
    if (c.account) SetAccount(target, kPass);
    settings_.oids = {kSysDescr0, kMissing, kSysDescr0, kSysName0};
    settings_.oid = kSysContact0;  // configured OIDs win; this one is never fetched
    JobRun run = Run(target);

    std::vector<std::string> expected = {"start"};
    if (c.account) expected.push_back("account exists");
    // A replaced row does not grow the count, so the repeat goes through
    // every version like the missing OID does.
    for (const auto& step : std::vector<std::pair<const char*, int>>{{kSysDescr0, 1},
                                                                     {kMissing, 1},
                                                                     {kMissing, 2},
                                                                     {kMissing, 3},
                                                                     {kSysDescr0, 1},
                                                                     {kSysDescr0, 2},
                                                                     {kSysDescr0, 3},
                                                                     {kSysName0, 1}})
      expected.push_back(ScanStart(step.first, step.second));
    expected.push_back("end");
    EXPECT_EQ(Outline(run.log), expected);
    EXPECT_EQ(run.rows, (Rows{{kSysDescr0, c.repeated_oid_version}, {kSysName0, 1}}));
  }
}

TEST_F(ScanJobTest, VersionOrderOfTheDefaultScan) {
  struct Case {
    const char* name;
    Access access;
    std::vector<int> versions;
    std::vector<std::string> outline;
    int stored_by;
  };
  Access v1_v2c;
  v1_v2c.v1 = v1_v2c.v2c = true;
  Access v1_hidden;
  v1_hidden.v1 = true;
  v1_hidden.hide_sys_up_time = true;
  const Case cases[] = {
      {"the first version answers: no other runs",
       v1_v2c,
       {2, 1, 3},
       {"start", ScanStart(kMib2, 2), ScanStart(kEnterprises, 2), "end"},
       2},
      // The probe belongs to the first version of the list, whichever it is.
      {"fallback to a later version",
       v1_hidden,
       {3, 1},
       {"start", ScanStart(kMib2, 3), ScanStart(kEnterprises, 3), ScanStart(kProbe, 3),
        ScanStart(kMib2, 1), ScanStart(kEnterprises, 1), "end"},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(StartAgent(c.access));
    settings_.versions = c.versions;
    JobRun run = Run(agent_.Target());
    EXPECT_EQ(Outline(run.log), c.outline);
    const std::vector<std::string> args = {c.stored_by == 1 ? "-v1" : "-v2c", "-c", kCommunity};
    const Rows expected = AllVersion(SnmpwalkBoth(args, agent_.Target()), c.stored_by);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(run.rows, expected);
    agent_.Stop();
  }
}

TEST_F(ScanJobTest, BatchedGetsStoreTheRowsOfSingleGets) {
  struct Case {
    const char* name;
    Access access;
    bool account;
  };
  Access all;
  all.v1 = all.v2c = all.usm = true;
  Access v2c_only;
  v2c_only.v2c = true;
  const Case cases[] = {
      {"v1 answers noSuchName for the missing ones", all, true},
      {"v1 silent, v2c answers with exception values", v2c_only, false},
  };
  const char* kMissingToo = "1.3.6.1.2.1.1.98.0";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(StartAgent(c.access));
    const std::string target = agent_.Target();
    accounts_.clear();
    if (c.account) SetAccount(target, kPass);
    std::map<int, Rows> rows_by_batch;
    for (int batch : {1, 3, 50}) {
      settings_.oids = {kSysDescr0,  kMissing,   kSysName0,   "1.3.6.1.4.1.99999.2.0",
                        kMissingToo, kSysDescr0, kSysContact0};
      settings_.get_batch = batch;
      JobRun run = Run(target);
      rows_by_batch[batch] = run.rows;
    }
    EXPECT_EQ(rows_by_batch[1].size(), 4u);
    EXPECT_EQ(rows_by_batch[3], rows_by_batch[1]);
    EXPECT_EQ(rows_by_batch[50], rows_by_batch[1]);
    agent_.Stop();
  }
}

TEST_F(ScanJobTest, LoweredBulkRepetitionsAreLoggedOnce) {
  testutil::ScriptedAgent agent;
  std::string error;
  ASSERT_TRUE(agent.Start("bulk-too-big", "5", &error)) << error;
  settings_.community = "tkvwqz";
  settings_.versions = {2};
  settings_.max_reps = 25;
  JobRun run = Run(agent.peer());
  EXPECT_EQ(std::count(run.log.begin(), run.log.end(), "bulk repetitions 3"), 1);
  ASSERT_GE(run.log.size(), 2u);
  EXPECT_EQ(run.log[run.log.size() - 2], "bulk repetitions 3");
  EXPECT_EQ(run.rows.size(), 46u);
}

// Plan B

TEST_F(ScanJobTest, CommandLineOidIsOneV1GetWithoutTheAccount) {
  struct Case {
    const char* name;
    bool v1;  // the agent answers v1 (else only v2c and v3)
    const char* oid;
    std::vector<std::string> walk_log;  // between "account exists" and "end"
    Rows rows;
  };
  const Case cases[] = {
      {"instance present",
       true,
       kSysName0,
       {ScanStart(kSysName0, 1), "Success", "OID not increasing", "scan end"},
       {{kSysName0, 1}}},
      {"instance missing: no other version",
       true,
       kMissing,
       {ScanStart(kMissing, 1), "End of MIB", "scan end", "scan start: snmp_sess_synch_response",
        "End of MIB", "scan end"},
       {}},
      {"agent without v1: no other version",
       false,
       kSysName0,
       {ScanStart(kSysName0, 1), "Timeout", "scan end", "scan start: snmp_sess_synch_response",
        "Timeout", "scan end"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Access access;
    access.v1 = c.v1;
    access.v2c = access.usm = true;
    ASSERT_TRUE(StartAgent(access));
    const std::string target = agent_.Target();
    SetAccount(target, kPass);
    settings_.oid = c.oid;
    JobRun run = Run(target);

    std::vector<std::string> expected = {"start", "account exists"};
    expected.insert(expected.end(), c.walk_log.begin(), c.walk_log.end());
    expected.push_back("end");
    EXPECT_EQ(run.log, expected);
    EXPECT_EQ(run.rows, c.rows);
  }
}

// The real program, two targets on one agent, each with an account.

TEST(ScanJobProgram, AccountsScanOverV3AndPassPhrasesStayHidden) {
  SnmpdFixture agent;
  SnmpdOptions options;
  Access access;
  access.v1 = access.v2c = access.usm = true;
  options.config_lines = AgentConfig(access);
  options.addresses = {"127.0.0.1", "127.0.0.2"};
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;
  const std::string good = agent.Target(0);
  const std::string bad = agent.Target(1);

  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(
      dir / "config.ini",
      std::string("[Config]\nTimeout=500000\nRetry=0\nLog=1\nCommunity=") + kCommunity + "\n");
  testutil::WriteFile(dir / "accounts.csv", std::string("ip,username,password\n") + good + "," +
                                                kUser + "," + kPass + "\n" + bad + "," + kUser +
                                                "," + kWrongPass + "\n");
  const testutil::ProcessResult r = testutil::RunProcess({exe, good, bad}, 120);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

  // Console: each target's walk lines, in its plan's order.
  std::map<std::string, std::vector<std::string>> starts;
  std::vector<std::string> output_lines;
  for (const auto& line : Lines(r.out)) {
    for (const auto& t : {good, bad})
      if (line.rfind("target[" + t + "]", 0) == 0) starts[t].push_back(line.substr(t.size() + 8));
    if (line.rfind("output", 0) == 0) output_lines.push_back(line);
  }
  EXPECT_EQ(starts[good],
            (std::vector<std::string>{"start:1.3.6.1.2.1[v3]", "start:1.3.6.1.4.1[v3]"}));
  EXPECT_EQ(starts[bad], (std::vector<std::string>{"start:1.3.6.1.2.1[v3]", "start:1.3.6.1.4.1[v3]",
                                                   "start:1.3.6.1.2.1.1.3[v3]"}));
  {
    std::set<std::string> outputs(output_lines.begin(), output_lines.end());
    EXPECT_EQ(outputs, (std::set<std::string>{"output: " + dir.path() + "/" + good + ".xml",
                                              "output: " + dir.path() + "/" + bad + ".xml"}));
  }

  // Log: each target's job texts in order, through the log writer thread.
  std::map<std::string, std::vector<std::string>> outline;
  for (const auto& line : Lines(testutil::ReadFile(dir / "log/log.txt"))) {
    const size_t code_column = line.find("|-|");
    ASSERT_NE(code_column, std::string::npos) << line;
    const std::string rest = line.substr(code_column + 3);
    for (const auto& t : {good, bad})
      if (rest.rfind(t + "|", 0) == 0) outline[t].push_back(rest.substr(t.size() + 1));
  }
  EXPECT_EQ(Outline(outline[good]),
            (std::vector<std::string>{"start", "account exists", ScanStart(kMib2, 3),
                                      ScanStart(kEnterprises, 3), "end"}));
  EXPECT_EQ(Outline(outline[bad]),
            (std::vector<std::string>{"start", "account exists", ScanStart(kMib2, 3),
                                      ScanStart(kEnterprises, 3), ScanStart(kProbe, 3), "end"}));

  for (const char* secret : {kPass, kWrongPass}) {
    EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    // accounts.csv itself holds them; nothing else may.
    EXPECT_EQ(FilesHolding(dir.path(), secret), std::vector<std::string>{dir / "accounts.csv"});
  }
}

}  // namespace

namespace {

// The real program with SNMPv3 accounts of every kind at once: two targets
// on one snmpd (one engine ID) with SHA-512/AES-256, and hostile SNMPv3
// agents. The good targets get their rows, each hostile one ends within its
// retries with its failure named, the shared engine ID is logged once, and no
// pass phrase reaches anything the run wrote.
TEST(ScanJobProgram, V3AccountsOfEveryKindThroughTheBinary) {
  const std::string kAuth = "dave-auth-pass-phrase", kPriv = "dave-priv-pass-phrase";
  SnmpdFixture agent;
  SnmpdOptions options;
  options.addresses = {"127.0.0.1", "127.0.0.2"};
  options.engine_id = "program-shared-engine";
  options.config_lines = {"view jobview included .1.3.6.1.2.1.1",
                          "createUser dave SHA-512 \"" + kAuth + "\" AES-256 \"" + kPriv + "\"",
                          "rouser dave priv -V jobview"};
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;

  struct Hostile {
    const char* scenario;
    const char* arg;
    bool privacy;
    const char* named;  // "authentication failed: ..." in the log; nullptr: none
  };
  const Hostile hostile[] = {{"v3-report", "wrong-digest", false, "wrong digest"},
                             {"v3-report", "not-in-time", false, "not in time window"},
                             {"v3-wrong-key", "", true, nullptr},
                             {"v3-truncated-security", "", false, nullptr},
                             {"v3-engine-changes", "", false, nullptr}};
  std::vector<std::unique_ptr<testutil::ScriptedAgent>> agents;
  const std::string kScriptedPriv = "scripted-priv-pass";
  std::string csv = "username,privpassword,ip,password,privprotocol,authprotocol\n";
  csv += "dave," + kPriv + "," + agent.Target(0) + "," + kAuth + ",aes-256,sha-512\n";
  csv += "dave," + kPriv + "," + agent.Target(1) + "," + kAuth + ",AES-256,SHA-512\n";
  std::vector<std::string> targets = {agent.Target(0), agent.Target(1)};
  std::string alice_pass;
  for (const auto& h : hostile) {
    agents.push_back(std::make_unique<testutil::ScriptedAgent>());
    testutil::ScriptedAgent::Options o;
    o.scenario = h.scenario;
    o.arg = h.arg;
    o.engine_id = "scripted-" + std::to_string(agents.size());
    ASSERT_TRUE(agents.back()->Start(o, &error)) << error;
    alice_pass = o.auth_pass;
    csv += o.user + "," + (h.privacy ? kScriptedPriv : "") + "," + agents.back()->peer() + "," +
           o.auth_pass + "," + (h.privacy ? "AES" : "") + ",MD5\n";
    targets.push_back(agents.back()->peer());
  }

  TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=300000\nRetry=1\nLog=1\n");
  testutil::WriteFile(dir / "accounts.csv", csv);
  ASSERT_EQ(chmod((dir / "accounts.csv").c_str(), 0600), 0);
  std::vector<std::string> argv = {exe};
  argv.insert(argv.end(), targets.begin(), targets.end());
  const testutil::ProcessResult r = testutil::RunProcess(argv, 120);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

  const std::string log = testutil::ReadFile(dir / "log/log.txt");
  for (size_t i = 0; i < targets.size(); ++i) {
    const std::string& t = targets[i];
    const std::string xml = testutil::ReadFile(dir / (t + ".xml"));
    const int rows = walktest::Count(xml, "<RESULT>");
    EXPECT_EQ(walktest::Count(log, "|" + t + "|end\n"), 1) << t;
    if (i < 2) {
      EXPECT_GT(rows, 0) << t << "\n" << log;
      continue;
    }
    const Hostile& h = hostile[i - 2];
    EXPECT_EQ(rows, 0) << h.scenario << " " << h.arg;
    if (h.named) {
      EXPECT_GT(walktest::Count(log, "|" + t + "|authentication failed: " + h.named + "\n"), 0)
          << h.scenario << "\n"
          << log;
    } else {
      EXPECT_EQ(walktest::Count(log, "|" + t + "|authentication failed"), 0) << h.scenario << "\n"
                                                                             << log;
    }
    // Three walks (two subtrees and the sysUpTime probe), each two variants
    // of at most a probe and two tries of one request with one resend each.
    EXPECT_LE(agents[i - 2]->RequestCount(), 3 * 2 * (1 + 2 * 2)) << h.scenario;
  }
  EXPECT_EQ(walktest::Count(log, "|engine ID "), 1) << log;
  EXPECT_EQ(walktest::Count(
                log, " shared by 2 targets: " + agent.Target(0) + " " + agent.Target(1) + "\n"),
            1)
      << log;

  for (const std::string& secret : {kAuth, kPriv, alice_pass, kScriptedPriv}) {
    EXPECT_EQ(r.out.find(secret), std::string::npos) << secret;
    EXPECT_EQ(r.err.find(secret), std::string::npos) << secret;
    EXPECT_EQ(FilesHolding(dir.path(), secret), std::vector<std::string>{dir / "accounts.csv"})
        << secret;
  }
}

}  // namespace
