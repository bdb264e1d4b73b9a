// One whole run: settings, log writer, one worker per target, shutdown.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/run_summary.h"
#include "output/jsonl_writer.h"
#include "scan/job_progress.h"
#include "scan/mib_names.h"
#include "scan/scan_job.h"
#include "scan/scan_settings.h"

struct RunOptions;

// Stack reserved for each scan worker. A scan job, at its deepest (SNMPv3,
// logging in place, the result file), writes about 20 KiB of it; the rest is
// margin for paths that cannot be measured locally, such as name resolution
// over DNS. The sanitizers' red zones and fake frames need more. The system
// default (8 MiB) is what would run thousands of targets out of address space
// and commit charge first.
#if defined(MIBSCAN_SANITIZED) || defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kWorkerStackSize = std::size_t{4} << 20;
#else
constexpr std::size_t kWorkerStackSize = std::size_t{256} << 10;
#endif

// The opt-in additions to a target's output: types and names in the result
// file, and the target's rows appended to the JSON Lines stream once the file
// is saved.
struct RowOutput {
  bool value_types = false;          // ValueTypes=1
  const MibNames* names = nullptr;   // Names=1; null: no names
  JsonLinesWriter* jsonl = nullptr;  // --jsonl; null: none
};

// One worker's work: scans target with settings (and account, its row of
// accounts.csv; may be null), then saves its rows to its result file at path and
// says "output: ..." or "output error". Returns its part of the summary, the
// time of the result file included; the rows go with the return. profile
// (may be null): what an earlier run learned of the device; *learned (may be
// null) gets what this scan learned. Any thread.
TargetResult ScanAndSave(const std::string& target, const Account* account,
                         const ScanSettings& settings, const std::string& path,
                         JobProgress* progress = nullptr, const RowOutput& output = {},
                         const DeviceProfile* profile = nullptr, DeviceProfile* learned = nullptr);

// What a finished run leaves for the exit status.
struct RunReport {
  size_t result_files_not_written = 0;
  bool summary_written = true;  // summary.csv (true when there was none to write)
  bool jsonl_written = true;    // the --jsonl stream (true without one)
};

// Runs the scan of every target, each on its own worker thread, all at once,
// with config.ini, accounts.csv, the result files and log/ in options.dir (an
// existing directory; empty: the executable's directory); oid: the `oid` form's
// OID (empty otherwise), and returns when every worker and the log writer have ended and the log
// queue is drained. When the system refuses a worker thread, the target is
// not dropped: the driver waits for the oldest running worker and tries again
// (with no worker left, it scans the target on the calling thread), and says
// so once on standard error. The open-files limit is handled the same way:
// no more scans run at once than it leaves descriptors for (said once on
// standard error when it holds targets back). While workers run and standard
// error is a terminal, a status line shows the progress. A run with targets
// ends with summary.csv beside the result files, the closing summary on
// standard error and, when the built-in time-out met silent targets, a hint
// about it; what could not be written is counted in *report. Rows of
// accounts.csv whose ip is no target of the run (of its shard's share, with
// --shard) are said once on standard error. Returns false,
// having scanned nothing, when dir is empty and the executable's directory
// cannot be determined, or (with targets) result files cannot be made in the
// directory, the latter said on standard error. With options.resume, only the
// targets that the summaries in the directory do not show done are scanned
// (app/resume.h), and the summary holds the others' rows carried over.
// The shard of options (ShardTag, app/target_list.h) names what a shard must
// not share with the others in one folder: summary<tag>.csv and log/log<tag>.txt.
// Result files are named in list order (DistinctResultFilePaths).
// options.jsonl: --jsonl's FILE ("-": standard output, the console's lines then
// on standard error); empty: no stream. A stream that cannot be started is said
// on standard error and nothing is scanned (false). Main thread, once.
bool RunScan(const std::vector<std::string>& targets, const RunOptions& options,
             const std::string& oid, RunReport* report);
