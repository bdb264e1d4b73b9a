#include "app/run_driver.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/globals.h"
#include "app/profile.h"
#include "support/test_util.h"

namespace {

class ApplyConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetGlobalsForTesting(); }
  void TearDown() override { ResetGlobalsForTesting(); }
};

TEST_F(ApplyConfigTest, DefaultsWithoutAFile) {
  ApplyConfig(Profile::Load("/nonexistent/config.ini"));
  EXPECT_EQ(g_nTimeout, 500);
  EXPECT_EQ(g_nRetry, 3);
  EXPECT_FALSE(g_bLogEnabled);
  EXPECT_EQ(g_strCommunity, "tkvwqz");
  EXPECT_TRUE(g_arrOids.empty());
}

TEST_F(ApplyConfigTest, ReadsEveryKey) {
  ApplyConfig(Profile::Parse("[Config]\nTimeout=200000\nRetry=0\nLog=1\nCommunity=\n"));
  EXPECT_EQ(g_nTimeout, 200000);
  EXPECT_EQ(g_nRetry, 0);
  EXPECT_TRUE(g_bLogEnabled);
  EXPECT_EQ(g_strCommunity, "");
}

TEST_F(ApplyConfigTest, LogOnlyWhenExactlyOne) {
  for (const char* v : {"0", "2", "-1", "yes", "01x"}) {
    ResetGlobalsForTesting();
    ApplyConfig(Profile::Parse(std::string("[Config]\nLog=") + v + "\n"));
    EXPECT_EQ(g_bLogEnabled, std::string(v) == "01x") << v;  // "01x" reads as 1
  }
}

TEST_F(ApplyConfigTest, OidListRules) {
  struct Case {
    const char* name;
    const char* target_section;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"gap ends the list", "OID_1=1.3.6.1.2.1.1.1.0\nOID_3=1.3.6.1.2.1.1.3.0\n", {"1.3.6.1.2.1.1.1.0"}},
      {"empty first ends the list", "OID_1=\nOID_2=1.3.6\n", {}},
      {"word without dot skipped", "OID_1=sysDescr\nOID_2=1.3.6.1.2.1.1.5.0\n", {"1.3.6.1.2.1.1.5.0"}},
      {"order by number, not by line", "OID_2=2.2\nOID_1=1.1\n", {"1.1", "2.2"}},
      {"duplicates kept", "OID_1=1.3\nOID_2=1.3\n", {"1.3", "1.3"}},
      {"value kept unchanged", "OID_1=.1..3.\n", {".1..3."}},
  };
  for (const auto& c : cases) {
    ResetGlobalsForTesting();
    ApplyConfig(Profile::Parse(std::string("[Target]\n") + c.target_section));
    EXPECT_EQ(g_arrOids, c.expected) << c.name;
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
