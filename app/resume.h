// --resume: which targets of a run's list still need a scan, judged by the
// summaries earlier runs left in the run folder, and the summary rows the
// targets not scanned again carry over.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "output/summary_file.h"

struct ResumePlan {
  std::vector<std::string> to_scan;  // the targets still to scan, in list order
  // Per target of the list: the row carried over, or none when it is scanned.
  std::vector<std::optional<SummaryRow>> carried;
};

// Reads summary.csv and the shard summaries (summary-K-of-N.csv) in dir,
// older files first so a newer row of a target wins, and plans the run of
// targets: a target whose last row's outcome is "answered" or "empty" and
// whose result file is in dir is carried over; every other one (another
// outcome, no file, or no row at all) is scanned. A summary that cannot be read or is not one is
// named on standard error and its rows are not used (its targets are scanned again).
ResumePlan PlanResume(const std::string& dir, const std::vector<std::string>& targets);

// The summary of the whole list: the carried rows and, in their places, the
// rows of the targets scanned (scanned_rows in to_scan order).
std::vector<SummaryRow> MergeResumedRows(const ResumePlan& plan,
                                         const std::vector<SummaryRow>& scanned_rows);

// Whether name is a shard's summary file, "summary-K-of-N.csv".
bool IsShardSummaryName(const std::string& name);
