// The scan job of one target: its scan plan with the version fallback, run
// from start to end, its outcome decided. Every fallback is judged by the row
// count, never by what a walk returned.
#pragma once

#include <string>

#include "accounts/accounts.h"
#include "output/result_row.h"
#include "scan/job_progress.h"
#include "scan/scan_settings.h"
#include "scan/walk_outcome.h"

// What a scan learned of a device, and what an earlier run learned, fed back
// to start the next scan where the device answers.
struct DeviceProfile {
  int version = 0;           // 1, 2 (v2c) or 3: the version that stored rows; 0: not known
  int bulk_repetitions = 0;  // GETBULK repetitions that were answered; 0: not known
  bool bulk_failed = false;  // a GETBULK of one repetition went unanswered
  std::string engine_id;     // SNMPv3 engine ID in hex; "" when not known
};

// What one target's scan found.
struct ScanResult {
  std::string target;
  ResultRows rows;
  WalkTally walks;          // what the walks met
  OutcomeDecision outcome;  // decided from the tally and the rows
  double seconds = 0;       // the scan's run time
  DeviceProfile learned;    // what this scan showed of the device
};

// Scans target with settings: with an account (may be null), the SNMPv3 walks
// use it (the `oid` form does not). Logs "<target>|start" and "|end" around
// the walks, reports as the walks do, and never throws; after the operator's
// interrupt it ends early with what it gathered. progress (may be null) is
// kept up to date for the status line. profile (may be null): what an
// earlier run learned; the default walks start with its version (the others
// follow in the configured order) and its bulk repetitions, or without bulk
// where bulk failed. Any thread; one call per target at a time.
ScanResult ScanTarget(const std::string& target, const Account* account,
                      const ScanSettings& settings, JobProgress* progress = nullptr,
                      const DeviceProfile* profile = nullptr);
