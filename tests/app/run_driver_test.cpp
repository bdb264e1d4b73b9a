#include "app/run_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "app/config.h"
#include "app/profile.h"
#include "scan/scan_settings.h"
#include "support/test_util.h"

namespace {

class ApplyConfigTest : public ::testing::Test {};

TEST_F(ApplyConfigTest, DefaultsWithoutAFile) {
  const RunConfig config = ReadRunConfig(Profile::Load("/nonexistent/config.ini"));
  EXPECT_EQ(config.scan.timeout_us, 500);
  EXPECT_EQ(config.scan.retries, 3);
  EXPECT_FALSE(config.log_enabled);
  EXPECT_EQ(config.scan.community, "tkvwqz");
  EXPECT_TRUE(config.scan.oids.empty());
  // What the opt-in keys leave when absent: the designed scan and files.
  EXPECT_EQ(config.scan.max_reps, 0);
  EXPECT_EQ(config.scan.streams, 1);
  EXPECT_EQ(config.scan.get_batch, 1);
  EXPECT_EQ(config.scan.max_rows, 0);
  EXPECT_EQ(config.scan.max_seconds, 0);
  EXPECT_FALSE(config.value_types);
  EXPECT_FALSE(config.names);
  EXPECT_FALSE(config.learn);
}

TEST_F(ApplyConfigTest, ReadsEveryKey) {
  const RunConfig config =
      ReadRunConfig(Profile::Parse("[Config]\nTimeout=200000\nRetry=0\nLog=1\nCommunity=\n"));
  EXPECT_EQ(config.scan.timeout_us, 200000);
  EXPECT_EQ(config.scan.retries, 0);
  EXPECT_TRUE(config.log_enabled);
  EXPECT_EQ(config.scan.community, "");
}

TEST_F(ApplyConfigTest, LogOnlyWhenExactlyOne) {
  for (const char* v : {"0", "2", "-1", "yes", "01x"}) {
    const RunConfig config =
        ReadRunConfig(Profile::Parse(std::string("[Config]\nLog=") + v + "\n"));
    EXPECT_EQ(config.log_enabled, std::string(v) == "01x") << v;  // "01x" reads as 1
  }
}

TEST_F(ApplyConfigTest, OidListRules) {
  struct Case {
    const char* name;
    const char* target_section;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"gap ends the list",
       "OID_1=1.3.6.1.2.1.1.1.0\nOID_3=1.3.6.1.2.1.1.3.0\n",
       {"1.3.6.1.2.1.1.1.0"}},
      {"empty first ends the list", "OID_1=\nOID_2=1.3.6\n", {}},
      {"word without dot skipped",
       "OID_1=sysDescr\nOID_2=1.3.6.1.2.1.1.5.0\n",
       {"1.3.6.1.2.1.1.5.0"}},
      {"order by number, not by line", "OID_2=2.2\nOID_1=1.1\n", {"1.1", "2.2"}},
      {"duplicates kept", "OID_1=1.3\nOID_2=1.3\n", {"1.3", "1.3"}},
      {"value kept unchanged", "OID_1=.1..3.\n", {".1..3."}},
  };
  for (const auto& c : cases) {
    const RunConfig config =
        ReadRunConfig(Profile::Parse(std::string("[Target]\n") + c.target_section));
    EXPECT_EQ(config.scan.oids, c.expected) << c.name;
  }
}

TEST_F(ApplyConfigTest, FleetOptions) {
  struct Case {
    const char* config;
    std::vector<int> versions;
    int reps, batch, rows, seconds;
    std::string err;
  };
  auto bad = [](const std::string& value) {
    return "mibscan: config.ini [Config] Versions=" + value + " is not valid; using 1,2c,3\n";
  };
  auto whole = [](const std::string& setting, int used) {
    return "mibscan: config.ini [Config] " + setting + " is not a whole number; using " +
           std::to_string(used) + "\n";
  };
  auto range = [](const std::string& setting, int minimum, int used) {
    return "mibscan: config.ini [Config] " + setting + " is out of range (" +
           std::to_string(minimum) + " to 2147483647); using " + std::to_string(used) + "\n";
  };
  const Case cases[] = {
      {"", {1, 2, 3}, 0, 1, 0, 0, ""},
      {"Versions=2c,1,3\nMaxRepetitions=25\nGetBatch=50\nMaxRows=1000\nMaxSeconds=60\n",
       {2, 1, 3},
       25,
       50,
       1000,
       60,
       ""},
      {"Versions= 3 , 2C \n", {3, 2}, 0, 1, 0, 0, ""},
      {"Versions=2c\n", {2}, 0, 1, 0, 0, ""},
      {"Versions=2,1\n", {1, 2, 3}, 0, 1, 0, 0, bad("2,1")},
      {"Versions=1,1\n", {1, 2, 3}, 0, 1, 0, 0, bad("1,1")},
      {"Versions=1,,3\n", {1, 2, 3}, 0, 1, 0, 0, bad("1,,3")},
      {"Versions=\n", {1, 2, 3}, 0, 1, 0, 0, bad("")},
      {"MaxRepetitions=-1\n", {1, 2, 3}, 0, 1, 0, 0, range("MaxRepetitions=-1", 0, 0)},
      {"GetBatch=0\n", {1, 2, 3}, 0, 1, 0, 0, range("GetBatch=0", 1, 1)},
      {"MaxRows=-5\n", {1, 2, 3}, 0, 1, 0, 0, range("MaxRows=-5", 0, 0)},
      {"MaxRows=1e6\n", {1, 2, 3}, 0, 1, 0, 0, whole("MaxRows=1e6", 0)},
      {"MaxRows=100,000\n", {1, 2, 3}, 0, 1, 0, 0, whole("MaxRows=100,000", 0)},
      {"MaxRows=4294967296\n", {1, 2, 3}, 0, 1, 0, 0, range("MaxRows=4294967296", 0, 0)},
      {"MaxRows=\n", {1, 2, 3}, 0, 1, 0, 0, whole("MaxRows=", 0)},
      {"MaxRows=\"2000\"\n", {1, 2, 3}, 0, 1, 2000, 0, ""},
      {"MaxRows=+2147483647\n", {1, 2, 3}, 0, 1, 2147483647, 0, ""},
      {"MaxRepetitions=abc\n", {1, 2, 3}, 0, 1, 0, 0, whole("MaxRepetitions=abc", 0)},
      {"MaxRepetitions=25x\n", {1, 2, 3}, 0, 1, 0, 0, whole("MaxRepetitions=25x", 0)},
      {"GetBatch=1.5\n", {1, 2, 3}, 0, 1, 0, 0, whole("GetBatch=1.5", 1)},
      {"MaxSeconds=x\nMaxRows=7\n", {1, 2, 3}, 0, 1, 7, 0, whole("MaxSeconds=x", 0)},
      {"MaxSeconds=600s\nMaxRows=-0\n", {1, 2, 3}, 0, 1, 0, 0, whole("MaxSeconds=600s", 0)},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const RunConfig config = ReadRunConfig(Profile::Parse(std::string("[Config]\n") + c.config));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.config;
    EXPECT_EQ(config.scan.versions, c.versions) << c.config;
    EXPECT_EQ(config.scan.max_reps, c.reps) << c.config;
    EXPECT_EQ(config.scan.get_batch, c.batch) << c.config;
    EXPECT_EQ(config.scan.max_rows, c.rows) << c.config;
    EXPECT_EQ(config.scan.max_seconds, c.seconds) << c.config;
  }
}

// The designed keys keep their reading; what it makes of anything but a
// whole number is said, with the value as written.
TEST_F(ApplyConfigTest, TimeoutAndRetryReadings) {
  struct Case {
    const char* config;
    int timeout, retry;
    const char* err;
  };
  const Case cases[] = {
      {"Timeout=200000\nRetry=0\n", 200000, 0, ""},
      {"Timeout=\nRetry=\n", 500, 3, ""},
      {"Timeout=0\n", 500, 3, "mibscan: config.ini: Timeout=0 is not a time; using 500\n"},
      {"Timeout=abc\n", 500, 3, "mibscan: config.ini: Timeout=abc is not a time; using 500\n"},
      {"Timeout=-7\n", 500, 3, "mibscan: config.ini: Timeout=-7 is not a time; using 500\n"},
      {"Timeout=1.5s\n", 1, 3,
       "mibscan: config.ini: Timeout=1.5s is not a whole number; using 1\n"},
      {"Timeout=4294967796\n", 500, 3,  // wraps to 500
       "mibscan: config.ini: Timeout=4294967796 is out of range (-2147483648 to 2147483647); "
       "using 500\n"},
      {"Retry=-1\n", 500, 3, "mibscan: config.ini: Retry=-1 is negative; using 3\n"},
      {"Retry=2 tries\n", 500, 2,
       "mibscan: config.ini: Retry=2 tries is not a whole number; using 2\n"},
      {"Retry=x\n", 500, 0, "mibscan: config.ini: Retry=x is not a whole number; using 0\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const RunConfig config = ReadRunConfig(Profile::Parse(std::string("[Config]\n") + c.config));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err) << c.config;
    EXPECT_EQ(config.scan.timeout_us, c.timeout) << c.config;
    EXPECT_EQ(config.scan.retries, c.retry) << c.config;
  }
}

TEST(RunDriver, NoArgumentsCreatesLogDirectoryAndExitsZero) {
  testutil::TempDir dir;
  std::string exe = testutil::InstallBinary(dir.path());
  auto r = testutil::RunProcess({exe});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "log"));
  EXPECT_EQ(r.out, "");
  // No job ran, so no result file was written.
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_NE(entry.path().extension(), ".xml") << entry.path();
}

TEST(RunDriver, InfoOptions) {
  testutil::TempDir dir;
  std::string exe = testutil::InstallBinary(dir.path());
  auto version = testutil::RunProcess({exe, "--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out.rfind("mibscan ", 0), 0u) << version.out;
  for (const char* opt : {"-h", "--help"}) {
    auto help = testutil::RunProcess({exe, opt});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.out.find("usage: mibscan"), std::string::npos) << opt;
  }
  // Info options only stand alone; beside another argument they are targets.
  EXPECT_FALSE(std::filesystem::exists(dir / "log"));
}

}  // namespace

namespace {

std::vector<std::string> LogTextsOf(const std::string& log, const std::string& target) {
  // "YYYY/MM/DD hh:mm:ss|-|<target>|<text>"
  std::vector<std::string> texts;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    const std::string prefix = "|-|" + target + "|";
    auto at = line.find(prefix);
    if (at == 19) texts.push_back(line.substr(at + prefix.size()));
  }
  return texts;
}

// Two targets that never answer: the log goes through the queue and the
// writer thread, every line reaches the file, each target's lines in order,
// and both still get their (empty) result files.
TEST(RunDriver, QueuedLogAndResultFilesForSilentTargets) {
  testutil::TempDir dir;
  std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=20000\nRetry=0\nLog=1\n");
  // Loopback ports with no listener: requests simply time out.
  const std::string a = "127.0.0.1:9", b = "127.0.0.1:7";
  auto r = testutil::RunProcess({exe, a, b}, 120);
  ASSERT_EQ(r.exit_code, 0) << r.err;

  const std::vector<std::string> walks = {
      "1.3.6.1.2.1[v1]", "1.3.6.1.4.1[v1]", "1.3.6.1.2.1.1.3[v1]", "1.3.6.1.2.1[v2]",
      "1.3.6.1.4.1[v2]", "1.3.6.1.2.1[v3]", "1.3.6.1.4.1[v3]"};
  const std::string log = testutil::ReadFile(dir / "log/log.txt");
  for (const std::string& target : {a, b}) {
    std::vector<std::string> expected = {"start"};
    for (const auto& w : walks) {
      expected.push_back("scan start: " + w);
      // SNMPv3 without an answer fails in the engine-ID discovery, i.e. in the open.
      const bool v3 = w.ends_with("[v3]");
      expected.push_back(v3 ? "snmp_open error" : "Timeout");
      expected.push_back("scan end");
      expected.push_back("scan start: snmp_sess_synch_response");
      expected.push_back(v3 ? "snmp_sess_session" : "Timeout");
      expected.push_back("scan end");
    }
    expected.push_back("end");
    EXPECT_EQ(LogTextsOf(log, target), expected) << target;

    const std::string file = dir / (target + ".xml");
    EXPECT_NE(r.out.find("output: " + file + "\n"), std::string::npos) << r.out;
    EXPECT_NE(testutil::ReadFile(file).find("<RESULTS/>"), std::string::npos) << file;
  }
}

}  // namespace
