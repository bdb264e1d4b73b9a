// A fresh log directory and an empty queue for each test; the log is off
// until a test turns it on with UseLog.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_util.h"

namespace logtest {

class LogFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The log directory, created empty.
  std::string LogDir() const { return dir_ / "log"; }
  std::string CurrentLog() const { return LogDir() + "/log.txt"; }

  // Makes the log's settings those of a run whose log is in LogDir().
  void UseLog(bool enabled, bool direct);

  // Every log line on disk, oldest first: the rotated files in name order,
  // then the current file. Each line without its "\n".
  std::vector<std::string> AllLines() const;

  // Names of the rotated files ("*_log.txt" regular files), sorted.
  std::vector<std::string> RotatedNames() const;

  // The run driver's shutdown: clear the flag, join the writer, then drain
  // what is left in batches, as the main thread does.
  void StopWriterAndDrain();
  void StartWriter();

  testutil::TempDir dir_;
  bool writer_started_ = false;
};

// Names of the rotated files ("*_log.txt" regular files) in log_dir, sorted.
std::vector<std::string> RotatedLogNames(const std::string& log_dir);

// The rotation stamp of time t in local time ("%Y%m%d_%H%M%S").
std::string Stamp(long long t);

std::vector<std::string> SplitLines(const std::string& text);

}  // namespace logtest
