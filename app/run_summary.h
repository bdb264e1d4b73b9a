// What a run tells the operator at its end: summary.csv's rows, the closing
// summary on standard error and the time-out hint. Plain functions of the
// scans' results; main thread, after the workers have been joined.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "output/summary_file.h"
#include "scan/walk_outcome.h"

struct ScanResult;

// One target's part of the summary, taken from its scan's result once the
// result file is saved (or not).
struct TargetResult {
  SummaryRow row;
  TargetOutcome outcome = TargetOutcome::kNoAnswer;
  VersionSet stored_versions = 0;  // versions that stored rows
  bool file_written = false;
  bool cut_by_timeout = false;  // a walk that stored rows ended by a time-out
};
// result_path: the result file's path; empty when it was not written.
TargetResult ResultOf(const ScanResult& scan, const std::string& result_path);

// The closing summary, one line without its line end, e.g.
// "mibscan: 3 targets in 4.2 s: 1 answered (v1 1), 2 no answer; 2,454 rows; <summary path>".
// Counts of zero are left out; an answered target counts under the lowest
// version that stored rows. summary_note is what is said of summary.csv
// (its path, or why it was not written).
std::string ClosingSummary(const std::vector<TargetResult>& results, double seconds,
                           const std::string& summary_note);

// Whether the run gets the time-out hint: the built-in time-out was used
// (config.ini has no Timeout key) and a target never answered or a walk
// ended by a time-out.
bool NeedsTimeoutHint(const std::vector<TargetResult>& results, bool timeout_configured);

// The hint, without its line end, for a run that used the built-in time-out
// of timeout_us microseconds and had targets that never answered.
std::string TimeoutHint(int timeout_us);
