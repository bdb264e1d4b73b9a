#include "app/config.h"

#include <cstdio>
#include <string>

namespace {

void ReportBadValue(const char* key, const std::string& value, const char* used) {
  fprintf(stderr, "mibscan: config.ini [Config] %s=%s is not valid; using %s\n", key, value.c_str(),
          used);
}

// An integer key of the fleet options: absent keeps the default silently; a
// value below the minimum is reported and gives the default.
int ReadCount(const Profile& config, const char* key, int minimum, int default_value) {
  const int value = config.GetInt("Config", key, default_value);
  if (value >= minimum) return value;
  ReportBadValue(key, config.GetString("Config", key, ""), std::to_string(default_value).c_str());
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
  scan.timeout_us = config.GetInt("Config", "Timeout", 500);
  if (scan.timeout_us <= 0) {
    fprintf(stderr, "mibscan: config.ini: Timeout=%d is not a time; using 500\n", scan.timeout_us);
    scan.timeout_us = 500;
  }
  run.timeout_configured = config.Has("Config", "Timeout");
  scan.retries = config.GetInt("Config", "Retry", 3);
  run.log_enabled = config.GetInt("Config", "Log", 0) == 1;
  scan.community = config.GetString("Config", "Community", "tkvwqz");
  for (int n = 1;; ++n) {
    std::string value = config.GetString("Target", "OID_" + std::to_string(n), "");
    if (value.empty()) break;
    if (value.find('.') != std::string::npos) scan.oids.push_back(value);
  }
  ReadScanOptions(config, &scan);
  return run;
}
