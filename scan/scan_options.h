// Opt-in settings of the scan for large fleets, read from config.ini by the
// run driver. Their defaults give the designed scan: versions 1, 2c, 3 in that
// order, one variable per GETNEXT, one OID per GET, walks without limits.
//
// Written by the main thread before the first worker starts, only read
// afterwards, like the run settings (scan/run_settings.h).
#pragma once

#include <string>
#include <vector>

struct ScanOptions {
  std::vector<int> versions = {1, 2,
                               3};  // version order of the default scan and the configured gets
  int max_reps = 0;     // MaxRepetitions; > 0: SNMPv2c/v3 walks send GETBULK asking for this many
  int get_batch = 1;    // configured gets: OIDs per GET PDU
  int max_rows = 0;     // rows per target; 0 = unlimited
  int max_seconds = 0;  // seconds per target; 0 = unlimited
};

extern ScanOptions g_scanOptions;

// Parses a Versions value: a comma list of "1", "2c" and "3" (blanks around
// items ignored, case ignored, each at most once, at least one). Returns
// false, leaving *versions unchanged, for anything else.
bool ParseVersionList(const std::string& text, std::vector<int>* versions);
