// Helpers shared by the walk tests: one walk with its console output and log
// lines captured, and the OIDs of an snmpwalk run.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.h"
#include "scan/snmp_setup.h"
#include "scan/walk.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace walktest {

// Log records go to the queue (not a file) while an object of this class
// lives, or nowhere when enabled is false; the queue starts empty and the log
// is off again afterwards.
class QueuedLog {
 public:
  explicit QueuedLog(bool enabled = true) {
    g_logQueue.TakeAll();
    LogSettings settings;
    settings.enabled = enabled;
    UseLogSettings(settings);
  }
  ~QueuedLog() {
    UseLogSettings(LogSettings{});
    g_logQueue.TakeAll();
  }
  // Takes the texts logged so far.
  std::vector<std::string> Take() {
    std::vector<std::string> texts;
    for (const auto& r : g_logQueue.TakeAll()) texts.push_back(r.m_strText);
    return texts;
  }
};

struct WalkRun {
  int result = 0;
  std::string out, err;
  std::vector<std::string> log;
  std::string Everything() const {
    std::string all = out + err;
    for (const auto& l : log) all += l + "\n";
    return all;
  }
};

// One Walker::Walk with standard output, standard error and the log captured;
// result 0, or -1 when the SNMPv3 key could not be made. Call with a
// QueuedLog alive.
inline WalkRun CapturedWalk(QueuedLog* log, Walker* job, const char* oid_text, int version,
                            bool get_next, const char* then = nullptr) {
  WalkRun run;
  log->Take();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.result = job->Walk(oid_text, version, get_next, then) ? 0 : -1;
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  run.log = log->Take();
  return run;
}

// Walks every job at once, one thread each (Walker::Walk(oid_text, version,
// true)), with standard output and standard error captured; returns what
// went to standard error.
inline std::string WalkAllAtOnce(const std::vector<std::unique_ptr<Walker>>& jobs,
                                 const char* oid_text, int version) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  {
    std::vector<std::thread> threads;
    for (const auto& job : jobs)
      threads.emplace_back(
          [j = job.get(), oid_text, version] { j->Walk(oid_text, version, true); });
    for (auto& t : threads) t.join();
  }
  testing::internal::GetCapturedStdout();
  return testing::internal::GetCapturedStderr();
}

// What a job holds after its walks: the rows in the order the result file
// lists them, with their versions, and the values.
struct Stored {
  std::vector<std::pair<std::string, intptr_t>> order;
  std::map<std::string, std::string> values;
};

inline Stored StoredRows(const Walker& job) {
  Stored s;
  job.rows().ForEach([&](std::string_view k, const ResultRow& row) {
    s.order.emplace_back(k, row.version);
    s.values[std::string(k)] = row.value;
  });
  return s;
}

// Values that change by themselves between two walks.
inline bool Volatile(const std::string& oid) {
  // sysUpTime, interface counters, UCD statistics, the agent's cache states.
  for (const char* prefix : {"1.3.6.1.2.1.1.3.", "1.3.6.1.2.1.2.2.1.", "1.3.6.1.2.1.31.1.1.1.",
                             "1.3.6.1.4.1.2021.", "1.3.6.1.4.1.8072.1.5."})
    if (oid.rfind(prefix, 0) == 0) return true;
  return false;
}

inline std::vector<std::string> Keys(const Walker& job) {
  std::vector<std::string> keys;
  job.rows().ForEach([&](std::string_view key, const ResultRow&) { keys.emplace_back(key); });
  std::sort(keys.begin(), keys.end());
  return keys;
}

// The OIDs that `snmpwalk -On` prints for the walk, without the leading dot,
// sorted, leaving out the values that mibscan does not render (Opaque, NULL,
// NSAP address). args: version and credential options.
inline std::vector<std::string> SnmpwalkOids(const std::vector<std::string>& args,
                                             const std::string& target, const std::string& root,
                                             std::string* error) {
  std::vector<std::string> argv = args;
  for (const char* a : {"-On", "-t", "2", "-r", "1"}) argv.push_back(a);
  argv.push_back(target);
  argv.push_back(root);
  testutil::ProcessResult r = testutil::RunSnmpTool("snmpwalk", argv);
  if (r.exit_code != 0) *error = "snmpwalk failed: " + r.err;
  std::vector<std::string> oids;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 2 || line[0] != '.') continue;  // continuation of a value
    size_t end = line.find(" = ");
    if (end == std::string::npos) continue;
    // Types that leave no row, and the exception values that end a v2c walk.
    std::string value = line.substr(end + 3);
    for (auto& ch : value) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    bool rowless = false;
    for (const char* prefix :
         {"opaque", "null", "nsap", "no more variables", "no such object", "no such instance"})
      rowless = rowless || value.rfind(prefix, 0) == 0;
    if (rowless) continue;
    oids.push_back(line.substr(1, end - 1));
  }
  std::sort(oids.begin(), oids.end());
  return oids;
}

// The ordering check switched off (the library's "dontCheckOrdering") while
// an object lives.
class DontCheckOrdering {
 public:
  DontCheckOrdering() {
    InitSnmpLibrary();
    auto lock = LockSnmpLibrary();
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, kDontCheckOrderingIndex, 1);
  }
  ~DontCheckOrdering() {
    auto lock = LockSnmpLibrary();
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, kDontCheckOrderingIndex, 0);
  }
};

inline int Count(const std::string& haystack, const std::string& needle) {
  return static_cast<int>(testutil::CountOf(haystack, needle));
}

}  // namespace walktest
