// Streams=N through the real binary: a real agent's result file is the one
// of a walk in one stream, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/walk_test_support.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using testutil::ProcessResult;
using testutil::TempDir;
using walktest::Count;

TEST(StreamsRunTest, ResultFileIsTheOneOfOneStream) {
  testutil::SnmpdOptions options;
  // Everything but what moves between two walks: clocks, statistics,
  // counters, the machine's sockets and load.
  options.config_lines = {"view stable included .1.3.6.1.2.1", "view stable included .1.3.6.1.4.1"};
  for (const char* moving :
       {".1.3.6.1.2.1.1.3", ".1.3.6.1.2.1.2", ".1.3.6.1.2.1.31", ".1.3.6.1.2.1.4.31",
        ".1.3.6.1.2.1.5", ".1.3.6.1.2.1.6", ".1.3.6.1.2.1.7", ".1.3.6.1.2.1.11",
        ".1.3.6.1.2.1.25.1", ".1.3.6.1.2.1.25.2", ".1.3.6.1.2.1.25.3.3", ".1.3.6.1.4.1.2021",
        ".1.3.6.1.4.1.8072.1.5"})
    options.config_lines.push_back(std::string("view stable excluded ") + moving);
  options.config_lines.push_back("rocommunity streams-run 127.0.0.1 -V stable");
  std::string error;
  auto agent = testutil::StartSnmpd(options, &error);
  ASSERT_NE(agent, nullptr) << error;
  std::vector<std::string> files;
  for (const char* streams : {"1", "8"}) {
    SCOPED_TRACE(std::string("Streams=") + streams);
    TempDir dir;
    testutil::WriteFile(
        dir / "config.ini",
        std::string("[Config]\nTimeout=5000000\nRetry=1\nLog=1\nCommunity=streams-run\n"
                    "Versions=2c\nMaxRepetitions=10\nStreams=") +
            streams + "\n");
    const ProcessResult r =
        testutil::RunProcess({testutil::InstallBinary(dir.path()), agent->Target()}, 120);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    files.push_back(testutil::ReadFile(dir / (agent->Target() + ".xml")));
    EXPECT_GT(Count(files.back(), "<RESULT>"), 200);
    const std::string summary = testutil::ReadFile(dir / "summary.csv");
    EXPECT_NE(summary.find(agent->Target() + ",answered,2c,"), std::string::npos) << summary;
    EXPECT_EQ(Count(testutil::ReadFile(dir / "log/log.txt"), "streams:"), 0);
  }
  // Where they part, should they: the lines that differ first.
  size_t at = 0;
  while (at < files[0].size() && at < files[1].size() && files[0][at] == files[1][at]) ++at;
  const size_t line = files[0].rfind('\n', at) == std::string::npos ? 0 : files[0].rfind('\n', at);
  EXPECT_TRUE(files[0] == files[1]) << "Streams=1: " << files[0].substr(line, 300)
                                    << "\nStreams=8: " << files[1].substr(line, 300);
}

TEST(StreamsRunTest, StreamsOutsideItsRangeIsSaidAndOneIsUsed) {
  for (const char* value : {"0", "65", "8x"}) {
    SCOPED_TRACE(value);
    TempDir dir;
    testutil::WriteFile(dir / "config.ini", std::string("[Config]\nStreams=") + value + "\n");
    const ProcessResult r = testutil::RunProcess({testutil::InstallBinary(dir.path())}, 60);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Count(r.err, std::string("mibscan: config.ini [Config] Streams=") + value), 1)
        << r.err;
    EXPECT_EQ(Count(r.err, "; using 1\n"), 1) << r.err;
  }
}

}  // namespace
