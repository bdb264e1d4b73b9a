// config.ini, read once into one value: what the scans ask for, whether a log
// is kept, and whether the operator chose the time-out. Main thread, before
// any worker starts; nothing here is process-wide state.
#pragma once

#include <string>

#include "app/profile.h"
#include "scan/scan_settings.h"

struct RunConfig {
  ScanSettings scan;
  bool log_enabled = false;         // Log=1
  bool timeout_configured = false;  // a Timeout key is present (no time-out hint then)
  bool value_types = false;         // ValueTypes=1: TYPE and ENCODING on every VALUE
  bool names = false;               // Names=1: NAME on every OID whose object is known
  std::string mib_dirs;             // MibDirs: the operator's MIB folders, ':'-separated
  std::string mibs;                 // Mibs: modules to read from them, or ALL
  bool learn = false;               // Learn=1: devices.csv is read and kept up to date
};

// Loads config.ini at path; one that exists but cannot be read (no
// permission, not a regular file) is reported as one line on standard error
// and gives the defaults.
Profile LoadConfig(const std::string& path);

// Reads the [Config] keys and the [Target] OID list. A value that cannot be
// used is reported as one line on standard error and gives the default.
RunConfig ReadRunConfig(const Profile& config);
