// Learn=1: what earlier runs learned of each device (devices.csv, and the
// devices-K-of-N.csv of shards sharing the folder), read before the scans
// and brought up to date after them.
//
// Every device file of the folder is read (a device that moved to another
// shard is still known); a run writes only its own file, which keeps the
// lines of the targets it did not scan. Main thread.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "output/device_file.h"
#include "scan/scan_job.h"

struct DeviceProfiles {
  std::map<std::string, DeviceLine> known;  // by target; the latest last_seen of all files
  std::vector<DeviceLine> own;              // the lines of the file this run writes
  std::string path;                         // that file
};

// Reads the device files in dir; shard_tag names this run's own
// ("devices<shard_tag>.csv"). A file that is damaged or not a device file is
// ignored with one line on standard error, and this run's own is rewritten.
DeviceProfiles LoadDeviceProfiles(const std::string& dir, const std::string& shard_tag);

// The profile learned for target; false when none is known.
bool FindDeviceProfile(const DeviceProfiles& profiles, const std::string& target,
                       DeviceProfile* profile);

// Writes this run's file: its old lines, each scanned target's brought up to
// date with what its scan learned (a target that did not answer keeps its
// line), new targets after them. now: the UTC time of last_seen. False with
// the reason in *error.
bool SaveDeviceProfiles(const DeviceProfiles& profiles,
                        const std::vector<std::pair<std::string, DeviceProfile>>& learned,
                        const std::string& now, std::string* error);

// The current UTC time as last_seen writes it ("2026-12-10T02:00:00Z").
std::string UtcNow();
