#include "app/resume.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <unordered_map>
#include <utility>

namespace {

bool AllDigits(const std::string& s, size_t from, size_t to) {
  if (from >= to) return false;
  for (size_t i = from; i < to; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// The summary files of dir, oldest first (by modification time, then name).
std::vector<std::string> SummaryFiles(const std::string& dir) {
  std::vector<std::pair<std::pair<int64_t, int64_t>, std::string>> found;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name != "summary.csv" && !IsShardSummaryName(name)) continue;
    struct stat info;
    const std::string path = dir + "/" + name;
    if (stat(path.c_str(), &info) != 0) continue;
    found.push_back({{info.st_mtim.tv_sec, info.st_mtim.tv_nsec}, path});
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> paths;
  for (auto& f : found) paths.push_back(std::move(f.second));
  return paths;
}

// Done: answered or empty, and its result file is still there (a row whose
// file could not be written, or has gone since, would leave a hole).
bool IsDone(const SummaryRow& row, const std::string& dir) {
  if (row.outcome != "answered" && row.outcome != "empty") return false;
  if (row.result_file.empty()) return false;
  std::error_code ec;
  return std::filesystem::is_regular_file(dir + "/" + row.result_file, ec);
}

}  // namespace

bool IsShardSummaryName(const std::string& name) {
  const std::string prefix = "summary-", suffix = ".csv";
  if (name.size() <= prefix.size() + suffix.size() || name.rfind(prefix, 0) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  const size_t of = name.find("-of-", prefix.size());
  return of != std::string::npos && AllDigits(name, prefix.size(), of) &&
         AllDigits(name, of + 4, name.size() - suffix.size());
}

ResumePlan PlanResume(const std::string& dir, const std::vector<std::string>& targets) {
  std::unordered_map<std::string, SummaryRow> last;
  std::vector<SummaryRow> rows;
  std::string error;
  for (const std::string& path : SummaryFiles(dir)) {
    if (!ReadSummaryFile(path, &rows, &error)) {
      if (!error.empty())
        fprintf(stderr,
                "mibscan: --resume: %s cannot be used (%s); its targets are scanned again\n",
                path.c_str(), error.c_str());
      continue;
    }
    for (SummaryRow& row : rows) last[row.target] = std::move(row);
  }
  ResumePlan plan;
  plan.carried.reserve(targets.size());
  for (const std::string& target : targets) {
    const auto it = last.find(target);
    if (it != last.end() && IsDone(it->second, dir)) {
      plan.carried.emplace_back(it->second);
    } else {
      plan.carried.emplace_back();
      plan.to_scan.push_back(target);
    }
  }
  return plan;
}

std::vector<SummaryRow> MergeResumedRows(const ResumePlan& plan,
                                         const std::vector<SummaryRow>& scanned_rows) {
  std::vector<SummaryRow> rows;
  rows.reserve(plan.carried.size());
  size_t next = 0;
  for (const auto& carried : plan.carried) {
    if (carried) {
      rows.push_back(*carried);
    } else if (next < scanned_rows.size()) {
      rows.push_back(scanned_rows[next++]);
    }
  }
  return rows;
}
