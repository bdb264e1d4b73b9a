// devices.csv: what the runs of a folder learned of each device, kept for the
// next run (Learn=1), beside the result files; a person can read it.
#pragma once

#include <string>
#include <vector>

struct DeviceLine {
  std::string target;
  std::string version;    // "1", "2c", "3"; "" when not known
  std::string bulk;       // repetitions that were answered, "failed", or "" when not known
  std::string engine_id;  // SNMPv3 engine ID in hex, or ""
  std::string last_seen;  // UTC, "2026-12-10T02:00:00Z": when it last answered
};

// The whole file: the header "target,version,bulk,engine_id,last_seen", then
// one RFC 4180 record per line, each ended by CR LF.
std::string DeviceCsv(const std::vector<DeviceLine>& lines);

// Replaces path as a whole (output/atomic_file.h). False with the reason in
// *error.
bool WriteDeviceFile(const std::string& path, const std::vector<DeviceLine>& lines,
                     std::string* error);

// Reads a file that WriteDeviceFile wrote. False with *error empty when it
// does not exist; false with a one-line cause when it cannot be read or holds
// anything else (a foreign header, a record of other fields, a version or
// bulk cell of another form); *lines is then empty.
bool ReadDeviceFile(const std::string& path, std::vector<DeviceLine>* lines, std::string* error);
