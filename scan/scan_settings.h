// What a target's scan asks for and how long it waits: one value, read from
// config.ini (and the command line's `oid` form) by app/, passed down by const
// reference. The defaults are the designed scan: versions 1, 2c, 3 in that
// order, one variable per GETNEXT, one OID per GET, walks without limits.
#pragma once

#include <string>
#include <vector>

// The most streams a walk may have (the Streams key's upper end).
constexpr int kMaxStreams = 64;

struct ScanSettings {
  std::string community = "tkvwqz";  // SNMPv1/v2c community
  int timeout_us = 500;              // per try
  int retries = 3;
  std::vector<int> versions = {1, 2, 3};  // version order of the default scan and configured gets
  int max_reps = 0;     // MaxRepetitions; > 0: SNMPv2c/v3 walks send GETBULK asking for this many
  int streams = 1;      // Streams: bulk walks of one target's subtree, at most this many at once
  int get_batch = 1;    // configured gets: OIDs per GET PDU
  int max_rows = 0;     // rows per target; 0 = unlimited
  int max_seconds = 0;  // seconds per target; 0 = unlimited
  std::vector<std::string> oids;  // config.ini [Target]: instances to get instead of the walks
  std::string oid;                // the `oid` command-line form's OID; empty: not that form
};

// Parses a Versions value: a comma list of "1", "2c" and "3" (blanks around
// items ignored, case ignored, each at most once, at least one). Returns
// false, leaving *versions unchanged, for anything else.
bool ParseVersionList(const std::string& text, std::vector<int>* versions);
