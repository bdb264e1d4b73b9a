// Learn=1 through the real binary: devices.csv is written, read by the next
// run, and never changes the rows: a v2c-only agent, a device whose version
// changed, an agent that stops taking GETBULK, damaged device files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "output/device_file.h"
#include "support/scripted_agent.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

namespace fs = std::filesystem;

struct Folder {
  testutil::TempDir dir;
  std::string exe;
  explicit Folder(const std::string& config) {
    exe = testutil::InstallBinary(dir.path());
    testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=150000\nRetry=0\n" + config);
  }
  testutil::ProcessResult Run(const std::string& target) {
    return testutil::RunProcess({exe, target}, 120);
  }
  std::vector<DeviceLine> Devices() {
    std::vector<DeviceLine> lines;
    std::string error;
    EXPECT_TRUE(ReadDeviceFile(dir / "devices.csv", &lines, &error)) << error;
    return lines;
  }
};

// The lines of the agent's log since `from` bytes.
size_t Count(const testutil::ScriptedAgent& agent, size_t from, const std::string& what) {
  return testutil::CountOf(agent.Log().substr(from), what);
}

TEST(LearnRun, VersionOnlyAgentsStartWithTheLearnedVersion) {
  struct Case {
    const char* name;
    const char* agent_version;   // what the agent answers
    const char* learned_before;  // devices.csv before the first run ("" : none)
    const char* learned_after;
  };
  // The second case is a device that changed its version since the last
  // run: the learned version comes first, brings nothing, and the
  // configured order still finds the one that answers.
  const Case cases[] = {
      {"v2c only, nothing known", "2c", "", "2c"},
      {"now v1 only, v2c learned", "1", "2c", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testutil::ScriptedAgent agent;
    testutil::ScriptedAgent::Options options;
    options.scenario = "version-only";
    options.arg = c.agent_version;
    std::string error;
    ASSERT_TRUE(agent.Start(options, &error)) << error;
    const std::string target = agent.peer();

    Folder plain("");
    ASSERT_EQ(plain.Run(target).exit_code, 0);
    EXPECT_FALSE(testutil::FileExists(plain.dir / "devices.csv"));

    Folder learn("Learn=1\n");
    if (*c.learned_before)
      testutil::WriteFile(learn.dir / "devices.csv", "target,version,bulk,engine_id,last_seen\r\n" +
                                                         target + "," + c.learned_before +
                                                         ",,,2026-01-01T00:00:00Z\r\n");
    const testutil::ProcessResult first = learn.Run(target);
    ASSERT_EQ(first.exit_code, 0) << first.err;
    EXPECT_EQ(testutil::ResultFileBytes(learn.dir.path()),
              testutil::ResultFileBytes(plain.dir.path()));
    std::vector<DeviceLine> lines = learn.Devices();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].target, target);
    EXPECT_EQ(lines[0].version, c.learned_after);
    EXPECT_NE(lines[0].last_seen, "2026-01-01T00:00:00Z");

    // The next run asks in the learned version only.
    const size_t seen = agent.Log().size();
    const testutil::ProcessResult second = learn.Run(target);
    ASSERT_EQ(second.exit_code, 0) << second.err;
    EXPECT_EQ(testutil::ResultFileBytes(learn.dir.path()),
              testutil::ResultFileBytes(plain.dir.path()));
    const std::string other = std::string(c.agent_version) == "1" ? "request v2c" : "request v1";
    EXPECT_EQ(Count(agent, seen, other), 0u) << agent.Log().substr(seen);
    EXPECT_GT(Count(agent, seen, "request "), 0u);
  }
}

TEST(LearnRun, AgentThatStopsTakingBulkIsWalkedWithoutIt) {
  testutil::TempDir flag_dir;
  const std::string flag = flag_dir / "no-bulk";
  testutil::ScriptedAgent agent;
  std::string error;
  ASSERT_TRUE(agent.Start("bulk-stops", flag, &error)) << error;
  const std::string target = agent.peer();
  const std::string config = "Versions=2c,1,3\nMaxRepetitions=8\n";

  Folder learn(config + "Learn=1\n");
  ASSERT_EQ(learn.Run(target).exit_code, 0);
  std::vector<DeviceLine> lines = learn.Devices();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].bulk, "8");
  EXPECT_EQ(lines[0].version, "2c");

  // The agent stops answering GETBULK: this run finds out, with the rows of
  // a run without Learn.
  testutil::WriteFile(flag, "");
  Folder plain(config);
  ASSERT_EQ(plain.Run(target).exit_code, 0);
  ASSERT_EQ(learn.Run(target).exit_code, 0);
  EXPECT_EQ(testutil::ResultFileBytes(learn.dir.path()),
            testutil::ResultFileBytes(plain.dir.path()));
  lines = learn.Devices();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].bulk, "failed");

  // With v2c and "failed" learned, no GETBULK is sent: the walk is the
  // GETNEXT walk of the same version.
  Folder getnext("Versions=2c,1,3\n");
  ASSERT_EQ(getnext.Run(target).exit_code, 0);
  Folder known(config + "Learn=1\n");
  testutil::WriteFile(known.dir / "devices.csv", "target,version,bulk,engine_id,last_seen\r\n" +
                                                     target +
                                                     ",2c,failed,,2026-01-01T00:00:00Z\r\n");
  const size_t seen = agent.Log().size();
  ASSERT_EQ(known.Run(target).exit_code, 0);
  EXPECT_EQ(Count(agent, seen, "request GETBULK"), 0u);
  EXPECT_EQ(testutil::ResultFileBytes(known.dir.path()),
            testutil::ResultFileBytes(getnext.dir.path()));
  lines = known.Devices();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].version, "2c");
  EXPECT_EQ(lines[0].bulk, "failed");  // kept while no bulk is sent
}

TEST(LearnRun, DamagedDeviceFileIsIgnoredWithOneWarningAndRewritten) {
  testutil::ScriptedAgent agent;
  std::string error;
  ASSERT_TRUE(agent.Start("normal", "", &error)) << error;
  const std::string target = agent.peer();
  const std::string header = "target,version,bulk,engine_id,last_seen\r\n";
  const struct {
    const char* name;
    std::string content;
  } cases[] = {
      {"foreign csv", "target,outcome,versions,rows,seconds,result_file,detail\r\n"},
      {"binary", std::string("\x89PNG\r\n\x1a\n\0\0", 10)},
      {"unknown version", header + target + ",2,,,2026-01-01T00:00:00Z\r\n"},
      {"bulk not a count", header + target + ",1,-5,,2026-01-01T00:00:00Z\r\n"},
      {"short line", header + target + ",1\r\n"},
      {"open quote", header + "\"" + target + ",1,,,x\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Folder learn("Learn=1\n");
    testutil::WriteFile(learn.dir / "devices.csv", c.content);
    const testutil::ProcessResult run = learn.Run(target);
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(testutil::CountOf(run.err, "devices.csv is ignored"), 1u) << run.err;
    EXPECT_EQ(testutil::CountOf(testutil::WithoutRunSummary(run.err), "\n"), 1u) << run.err;
    const std::vector<DeviceLine> lines = learn.Devices();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].version, "1");
  }
}

TEST(LearnRun, TargetsNotScannedOrSilentKeepTheirLinesAndLearnIsStrict) {
  testutil::ScriptedAgent agent;
  std::string error;
  ASSERT_TRUE(agent.Start("normal", "", &error)) << error;
  const int closed_port = testutil::FindFreeUdpPort({"127.0.0.1"});
  ASSERT_NE(closed_port, 0);
  const std::string silent = "127.0.0.1:" + std::to_string(closed_port);
  Folder learn("MaxRepetitions=4\nLearn=1\n");
  const std::string header = "target,version,bulk,engine_id,last_seen\r\n";
  const std::string old_line = "192.0.2.77,2c,failed,80001f88,2026-01-01T00:00:00Z\r\n";
  testutil::WriteFile(learn.dir / "devices.csv", header + old_line);
  ASSERT_EQ(testutil::RunProcess({learn.exe, silent, agent.peer()}, 120).exit_code, 0);
  // The silent target taught nothing, not even that bulk failed.
  const std::string text = testutil::ReadFile(learn.dir / "devices.csv");
  EXPECT_EQ(text.find(header + old_line + agent.peer() + ",1,,,"), 0u) << text;
  EXPECT_EQ(testutil::CountOf(text, "\r\n"), 3u) << text;

  Folder odd("Learn=yes\n");
  const testutil::ProcessResult run = odd.Run(agent.peer());
  EXPECT_EQ(testutil::CountOf(run.err, "Learn=yes is not a whole number; using 0"), 1u) << run.err;
  EXPECT_FALSE(testutil::FileExists(odd.dir / "devices.csv"));
}

TEST(LearnRun, SnmpV3TargetKeepsItsEngineId) {
  testutil::ScriptedAgent agent;
  testutil::ScriptedAgent::Options options;
  options.scenario = "v3-normal";
  options.engine_id = "learned-engine";
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;
  Folder learn("Learn=1\n");
  testutil::WriteFile(learn.dir / "accounts.csv",
                      "ip,username,password\n" + agent.peer() + ",alice,alice-pass-phrase\n");
  const testutil::ProcessResult run = learn.Run(agent.peer());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  const std::vector<DeviceLine> lines = learn.Devices();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].version, "3");
  std::string hex;
  for (unsigned char c : std::string("learned-engine")) {
    char byte[3];
    snprintf(byte, sizeof byte, "%02x", c);
    hex += byte;
  }
  EXPECT_EQ(lines[0].engine_id, hex);
}

// Shards in one folder: each writes its own file; every run reads them all,
// so a target that falls to another shard next time keeps what was learned.
TEST(LearnRun, ShardsWriteTheirOwnFilesAndReadAll) {
  testutil::ScriptedAgent v2c_agent;
  testutil::ScriptedAgent::Options options;
  options.scenario = "version-only";
  options.arg = "2c";
  std::string error;
  ASSERT_TRUE(v2c_agent.Start(options, &error)) << error;
  const std::string target = v2c_agent.peer();

  Folder folder("Learn=1\n");
  // Whichever shard of 2 the target falls to, it is learned there...
  for (const char* shard : {"1/2", "2/2"})
    ASSERT_EQ(testutil::RunProcess({folder.exe, "--shard", shard, target}, 120).exit_code, 0);
  const bool in_first = testutil::FileExists(folder.dir / "devices-1-of-2.csv");
  EXPECT_NE(in_first, testutil::FileExists(folder.dir / "devices-2-of-2.csv"));
  EXPECT_FALSE(testutil::FileExists(folder.dir / "devices.csv"));
  std::vector<DeviceLine> lines;
  ASSERT_TRUE(ReadDeviceFile(folder.dir / (in_first ? "devices-1-of-2.csv" : "devices-2-of-2.csv"),
                             &lines, &error))
      << error;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].version, "2c");

  // ... and an unsharded run then starts it at v2c.
  const size_t seen = v2c_agent.Log().size();
  ASSERT_EQ(folder.Run(target).exit_code, 0);
  EXPECT_EQ(Count(v2c_agent, seen, "request v1"), 0u);
  EXPECT_EQ(folder.Devices().size(), 1u);
}

}  // namespace
