#include "app/run_summary.h"

#include <cstdio>

#include "scan/scan_job.h"

namespace {

// "1 target" / "2 targets"
std::string Counted(size_t n, const char* one, const char* many) {
  return GroupThousands(n) + " " + (n == 1 ? one : many);
}

}  // namespace

TargetResult ResultOf(const ScanResult& scan, const std::string& result_path) {
  TargetResult r;
  scan.rows.ForEach([&](std::string_view, const ResultRow& row) {
    r.stored_versions |= VersionBit(row.version);
  });
  r.outcome = scan.outcome.outcome;
  r.file_written = !result_path.empty();
  r.row.target = scan.target;
  r.row.outcome = OutcomeName(r.outcome);
  for (int v = 1; v <= 3; ++v) {
    if (!(r.stored_versions & VersionBit(v))) continue;
    if (!r.row.versions.empty()) r.row.versions += ' ';
    r.row.versions += VersionLabel(v) + 1;  // "1", "2c", "3"
  }
  r.row.rows = scan.rows.GetCount();
  r.row.seconds = scan.seconds;
  if (r.file_written) {
    const size_t slash = result_path.rfind('/');
    r.row.result_file = result_path.substr(slash == std::string::npos ? 0 : slash + 1);
  }
  r.row.detail = scan.outcome.detail;
  r.cut_by_timeout = scan.walks.cut_by_timeout;
  return r;
}

std::string ClosingSummary(const std::vector<TargetResult>& results, double seconds,
                           const std::string& summary_note) {
  static const struct {
    TargetOutcome outcome;
    const char* label;
  } kOrder[] = {{TargetOutcome::kAnswered, "answered"},
                {TargetOutcome::kPartial, "partial"},
                {TargetOutcome::kNoAnswer, "no answer"},
                {TargetOutcome::kAuthFailed, "authentication failed"},
                {TargetOutcome::kOpenFailed, "open failed"},
                {TargetOutcome::kInvalidOid, "invalid OID"},
                {TargetOutcome::kEmpty, "empty"},
                {TargetOutcome::kInterrupted, "interrupted"}};
  size_t count[std::size(kOrder)] = {};
  size_t by_version[4] = {};
  uint64_t rows = 0;
  size_t not_written = 0;
  for (const TargetResult& r : results) {
    for (size_t k = 0; k < std::size(kOrder); ++k)
      if (kOrder[k].outcome == r.outcome) ++count[k];
    if (r.outcome == TargetOutcome::kAnswered) {
      for (int v = 1; v <= 3; ++v) {
        if (r.stored_versions & VersionBit(v)) {
          ++by_version[v];
          break;
        }
      }
    }
    rows += r.row.rows;
    if (!r.file_written) ++not_written;
  }

  char time[32];
  snprintf(time, sizeof time, "%.1f s", seconds);
  std::string line =
      "mibscan: " + Counted(results.size(), "target", "targets") + " in " + time + ":";
  const char* separator = " ";
  for (size_t k = 0; k < std::size(kOrder); ++k) {
    if (count[k] == 0) continue;
    line += separator + GroupThousands(count[k]) + " " + kOrder[k].label;
    separator = ", ";
    if (kOrder[k].outcome != TargetOutcome::kAnswered) continue;
    std::string versions;
    for (int v = 1; v <= 3; ++v) {
      if (by_version[v] == 0) continue;
      versions += (versions.empty() ? "" : ", ") + std::string(VersionLabel(v)) + " " +
                  GroupThousands(by_version[v]);
    }
    if (!versions.empty()) line += " (" + versions + ")";
  }
  line += "; " + Counted(rows, "row", "rows");
  if (not_written > 0)
    line += "; " + Counted(not_written, "result file", "result files") + " not written";
  line += "; " + summary_note;
  return line;
}

bool NeedsTimeoutHint(const std::vector<TargetResult>& results, bool timeout_configured) {
  if (timeout_configured) return false;
  for (const TargetResult& r : results)
    if (r.outcome == TargetOutcome::kNoAnswer || r.cut_by_timeout) return true;
  return false;
}

std::string TimeoutHint(int timeout_us) {
  return "mibscan: the time-out was the built-in " +
         GroupThousands(static_cast<uint64_t>(timeout_us)) +
         " microseconds per try; Timeout= in config.ini sets it, in microseconds (Timeout=1000000 "
         "is one second)";
}
