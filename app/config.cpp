#include "app/config.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

void ReportBadValue(const char* key, const std::string& value, const char* used) {
  fprintf(stderr, "mibscan: config.ini [Config] %s=%s is not valid; using %s\n", key, value.c_str(),
          used);
}

// What is wrong with a number in config.ini, as a phrase of the warning; ""
// for a whole decimal number in [minimum, maximum], then in *value.
std::string NumberFault(const std::string& text, int minimum, int maximum, int* value) {
  int64_t whole = 0;
  switch (ParseWholeNumber(text, minimum, maximum, &whole)) {
    case WholeNumber::kOk:
      *value = static_cast<int>(whole);
      return "";
    case WholeNumber::kNotWhole:
      return "is not a whole number";
    case WholeNumber::kOutOfRange:
      break;
  }
  return "is out of range (" + std::to_string(minimum) + " to " + std::to_string(maximum) + ")";
}

// A number key of ours: absent keeps the default silently; anything but a
// whole decimal number from minimum up is reported, as written, and gives the
// default.
int ReadCount(const Profile& config, const char* key, int minimum, int default_value,
              int maximum = INT_MAX) {
  if (!config.Has("Config", key)) return default_value;
  const std::string text = config.GetString("Config", key, "");
  int value = default_value;
  const std::string fault = NumberFault(text, minimum, maximum, &value);
  if (fault.empty()) return value;
  fprintf(stderr, "mibscan: config.ini [Config] %s=%s %s; using %d\n", key, text.c_str(),
          fault.c_str(), default_value);
  return default_value;
}

void ReadScanOptions(const Profile& config, ScanSettings* scan) {
  const ScanSettings defaults;
  const std::string versions = config.GetString("Config", "Versions", "1,2c,3");
  if (!ParseVersionList(versions, &scan->versions)) {
    ReportBadValue("Versions", versions, "1,2c,3");
    scan->versions = defaults.versions;
  }
  scan->max_reps = ReadCount(config, "MaxRepetitions", 0, defaults.max_reps);
  scan->streams = ReadCount(config, "Streams", 1, defaults.streams, kMaxStreams);
  scan->get_batch = ReadCount(config, "GetBatch", 1, defaults.get_batch);
  scan->max_rows = ReadCount(config, "MaxRows", 0, defaults.max_rows);
  scan->max_seconds = ReadCount(config, "MaxSeconds", 0, defaults.max_seconds);
}

}  // namespace

Profile LoadConfig(const std::string& path) {
  std::string problem;
  Profile config = Profile::Load(path, &problem);
  if (!problem.empty())
    fprintf(stderr, "mibscan: %s cannot be read (%s); the defaults are used\n", path.c_str(),
            problem.c_str());
  return config;
}

RunConfig ReadRunConfig(const Profile& config) {
  RunConfig run;
  ScanSettings& scan = run.scan;
  // The designed keys keep their reading (sign and leading digits); what
  // that reading makes of anything but a whole number is said.
  int whole = 0;
  const std::string timeout = config.GetString("Config", "Timeout", "");
  scan.timeout_us = config.GetInt("Config", "Timeout", 500);
  if (scan.timeout_us <= 0) {
    fprintf(stderr, "mibscan: config.ini: Timeout=%s is not a time; using 500\n", timeout.c_str());
    scan.timeout_us = 500;
  } else if (const std::string fault = NumberFault(timeout, INT_MIN, INT_MAX, &whole);
             !timeout.empty() && !fault.empty()) {
    fprintf(stderr, "mibscan: config.ini: Timeout=%s %s; using %d\n", timeout.c_str(),
            fault.c_str(), scan.timeout_us);
  }
  run.timeout_configured = config.Has("Config", "Timeout");
  const std::string retry = config.GetString("Config", "Retry", "");
  scan.retries = config.GetInt("Config", "Retry", 3);
  // A negative count would reach the library as its own default (-1) or as none.
  if (scan.retries < 0) {
    fprintf(stderr, "mibscan: config.ini: Retry=%s is negative; using 3\n", retry.c_str());
    scan.retries = 3;
  } else if (const std::string fault = NumberFault(retry, INT_MIN, INT_MAX, &whole);
             !retry.empty() && !fault.empty()) {
    fprintf(stderr, "mibscan: config.ini: Retry=%s %s; using %d\n", retry.c_str(), fault.c_str(),
            scan.retries);
  }
  run.log_enabled = config.GetInt("Config", "Log", 0) == 1;
  run.value_types = config.GetInt("Config", "ValueTypes", 0) == 1;
  run.names = config.GetInt("Config", "Names", 0) == 1;
  run.mib_dirs = config.GetString("Config", "MibDirs", "");
  run.mibs = config.GetString("Config", "Mibs", "");
  scan.community = config.GetString("Config", "Community", "tkvwqz");
  for (int n = 1;; ++n) {
    std::string value = config.GetString("Target", "OID_" + std::to_string(n), "");
    if (value.empty()) break;
    if (value.find('.') != std::string::npos) scan.oids.push_back(value);
  }
  ReadScanOptions(config, &scan);
  run.learn = ReadCount(config, "Learn", 0, 0, 1) == 1;
  return run;
}
