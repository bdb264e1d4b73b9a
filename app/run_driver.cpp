#include "app/run_driver.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "accounts/accounts.h"
#include "app/globals.h"
#include "app/profile.h"
#include "app/progress_line.h"
#include "app/resume.h"
#include "app/run_summary.h"
#include "log/log_writer.h"
#include "output/console.h"
#include "output/summary_file.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "scan/engine_ids.h"
#include "scan/mib.h"
#include "scan/scan_options.h"
#include "scan/snmp_setup.h"

namespace {

// Descriptors one scan may hold at once: its socket, its result file, and
// what name resolution opens; plus a reserve for the log writer and the rest
// of the process.
constexpr unsigned long kDescriptorsPerScan = 4;
constexpr unsigned long kDescriptorReserve = 16;

// How many scans the open-files limit lets run at once, judged from what is
// open now; at least one.
size_t ScansWithinDescriptorLimit() {
  const unsigned long limit = platform::OpenFileLimit();
  const unsigned long open_now = platform::OpenDescriptorCount();
  if (limit == 0 || open_now == 0) return SIZE_MAX;  // unknown: no waiting
  const unsigned long spare =
      limit > open_now + kDescriptorReserve ? limit - open_now - kDescriptorReserve : 0;
  return std::max<size_t>(1, spare / kDescriptorsPerScan);
}

// Scans allowed to hold descriptors at once. A worker takes a slot before it
// starts and gives it back as its last act.
class ScanSlots {
 public:
  explicit ScanSlots(size_t count) : free_(count) {}
  void Take() EXCLUDES(mutex_) {
    platform::MutexLock lock(mutex_);
    while (free_ == 0) freed_.wait(lock);
    --free_;
  }
  void Give() EXCLUDES(mutex_) {
    {
      platform::MutexLock lock(mutex_);
      ++free_;
    }
    freed_.notify_one();
  }

 private:
  platform::Mutex mutex_;  // lock order: platform/thread_annotations.h
  std::condition_variable_any freed_;
  size_t free_ GUARDED_BY(mutex_);
};

struct WorkerStart {
  CMIB* job;
  ScanSlots* slots;
};

unsigned ScanWithinSlot(void* param) {
  auto* start = static_cast<WorkerStart*>(param);
  ScanThreadProc(start->job);
  start->slots->Give();
  return 0;
}

// Starts the workers of a run in list order. Running out of descriptors is
// treated like a refused thread: a target waits for running scans to end
// rather than fail to open its socket or result file. When the system refuses
// another thread (thread count, memory or address-space limits), waits for
// the oldest running worker before trying again, so that no target is
// dropped; with no worker left to wait for, the job runs on the calling
// thread.
class WorkerLauncher {
 public:
  WorkerLauncher(std::vector<std::unique_ptr<CMIB>>* jobs, size_t slots)
      : jobs_(*jobs), starts_(jobs->size()), slots_(slots) {
    if (slots < jobs_.size())
      console::Print(
          stderr,
          "mibscan: the open-files limit lets %zu scans run at once; further targets start as "
          "running scans finish\n",
          slots);
  }

  void Start(size_t i) {
    CMIB* job = jobs_[i].get();
    starts_[i] = WorkerStart{job, &slots_};
    slots_.Take();
    job->m_pThread = std::make_unique<platform::Thread>();
    for (;;) {
      int err = 0;
      if (job->m_pThread->Start(ScanWithinSlot, &starts_[i], kWorkerStackSize, &err)) return;
      ReportRefusalOnce(err);
      // Workers before i that are not running any more (joined here, or never
      // started because their job ran on this thread) are passed over.
      while (oldest_ < i && !jobs_[oldest_]->m_pThread->started()) ++oldest_;
      if (oldest_ == i) {
        ScanWithinSlot(&starts_[i]);
        return;
      }
      jobs_[oldest_]->m_pThread->Join();
    }
  }

 private:
  void ReportRefusalOnce(int err) {
    if (reported_) return;
    reported_ = true;
    console::Print(
        stderr,
        "mibscan: the system refused a new scan thread (%s); further targets start as running "
        "scans finish\n",
        strerror(err));
  }

  std::vector<std::unique_ptr<CMIB>>& jobs_;
  std::vector<WorkerStart> starts_;  // one per job, never moved once the workers run
  ScanSlots slots_;
  size_t oldest_ = 0;  // no worker before this index is running
  bool reported_ = false;
};

void ReportBadValue(const char* key, const std::string& value, const char* used) {
  fprintf(stderr, "mibscan: config.ini [Config] %s=%s is not valid; using %s\n", key, value.c_str(),
          used);
}

// An integer key of the fleet options: absent keeps the default silently; a
// value below the minimum is reported and gives the default.
int ReadCount(const Profile& config, const char* key, int minimum, int default_value) {
  const int value = config.GetInt("Config", key, default_value);
  if (value >= minimum) return value;
  ReportBadValue(key, config.GetString("Config", key, ""), std::to_string(default_value).c_str());
  return default_value;
}

void ApplyScanOptions(const Profile& config) {
  const ScanOptions defaults;
  const std::string versions = config.GetString("Config", "Versions", "1,2c,3");
  if (!ParseVersionList(versions, &g_scanOptions.versions)) {
    ReportBadValue("Versions", versions, "1,2c,3");
    g_scanOptions.versions = defaults.versions;
  }
  g_scanOptions.max_reps = ReadCount(config, "MaxRepetitions", 0, defaults.max_reps);
  g_scanOptions.get_batch = ReadCount(config, "GetBatch", 1, defaults.get_batch);
  g_scanOptions.max_rows = ReadCount(config, "MaxRows", 0, defaults.max_rows);
  g_scanOptions.max_seconds = ReadCount(config, "MaxSeconds", 0, defaults.max_seconds);
}

}  // namespace

Profile LoadConfig(const std::string& path) {
  std::string problem;
  Profile config = Profile::Load(path, &problem);
  if (!problem.empty())
    fprintf(stderr, "mibscan: %s cannot be read (%s); the defaults are used\n", path.c_str(),
            problem.c_str());
  return config;
}

void ApplyConfig(const Profile& config) {
  g_nTimeout = config.GetInt("Config", "Timeout", 500);
  if (g_nTimeout <= 0) {
    fprintf(stderr, "mibscan: config.ini: Timeout=%d is not a time; using 500\n", g_nTimeout);
    g_nTimeout = 500;
  }
  g_nRetry = config.GetInt("Config", "Retry", 3);
  g_bLogEnabled = config.GetInt("Config", "Log", 0) == 1;
  g_strCommunity = config.GetString("Config", "Community", "tkvwqz");
  for (int n = 1;; ++n) {
    std::string value = config.GetString("Target", "OID_" + std::to_string(n), "");
    if (value.empty()) break;
    if (value.find('.') != std::string::npos) g_arrOids.push_back(value);
  }
  ApplyScanOptions(config);
}

namespace {

// summary.csv, the closing summary and the hint, once every job has ended.
void ReportRun(const std::vector<TargetResult>& results, double seconds, bool timeout_configured,
               const ResumePlan* resumed, RunReport* report) {
  std::vector<SummaryRow> rows;
  rows.reserve(results.size());
  size_t silent = 0;
  for (const TargetResult& r : results) {
    rows.push_back(r.row);
    if (!r.file_written) ++report->result_files_not_written;
    if (r.outcome == TargetOutcome::kNoAnswer) ++silent;
  }
  if (resumed) rows = MergeResumedRows(*resumed, rows);
  const std::string path = SummaryFilePath(g_strModuleDir);
  std::string error;
  report->summary_written = WriteSummaryFile(path, rows, &error);
  const std::string note = report->summary_written ? path : path + " not written: " + error;
  fprintf(stderr, "%s\n", ClosingSummary(results, seconds, note).c_str());
  if (!timeout_configured && silent > 0) fprintf(stderr, "%s\n", TimeoutHint(g_nTimeout).c_str());
}

}  // namespace

bool RunScan(const std::vector<std::string>& listed, const std::string& dir, RunReport* report,
             bool resume) {
  const int64_t started_ms = SteadyMilliseconds();
  if (dir.empty()) {
    std::string exe;
    if (!platform::GetExecutablePath(&exe)) return false;
    if (!platform::DirectoryOf(exe, &g_strModuleDir)) return false;
  } else {
    // Every path is made as "<dir>/<name>": no trailing '/' (the root becomes "").
    g_strModuleDir = dir.substr(0, dir.find_last_not_of('/') + 1);
  }

  std::string log_dir = g_strModuleDir + "/log";
  std::error_code ec;
  if (!std::filesystem::is_directory(log_dir, ec)) std::filesystem::create_directory(log_dir, ec);
  g_strLogDir = log_dir;

  // Found before any scan, not after every target has been walked.
  std::string problem;
  if (!listed.empty() && !platform::DirectoryWritable(g_strModuleDir, &problem)) {
    fprintf(stderr, "mibscan: result files cannot be written in %s (%s)\n", g_strModuleDir.c_str(),
            problem.c_str());
    return false;
  }
  ResumePlan plan;
  if (resume && !listed.empty()) {
    plan = PlanResume(g_strModuleDir, listed);
    const size_t done = listed.size() - plan.to_scan.size();
    fprintf(stderr, "mibscan: --resume: %s of %s done in an earlier run; scanning %s\n",
            GroupThousands(done).c_str(),
            (GroupThousands(listed.size()) + (listed.size() == 1 ? " target" : " targets")).c_str(),
            GroupThousands(plan.to_scan.size()).c_str());
  }
  const std::vector<std::string>& targets = resume ? plan.to_scan : listed;

  StartLogWriter();

  if (targets.size() == 1) g_bDirectLog = true;

  const Profile config = LoadConfig(g_strModuleDir + "/config.ini");
  ApplyConfig(config);
  const bool timeout_configured = config.Has("Config", "Timeout");
  if (g_bLogEnabled && !platform::DirectoryWritable(log_dir, &problem)) {
    fprintf(stderr,
            "mibscan: config.ini: Log=1, but the log directory %s cannot be made or written (%s); "
            "no log is kept\n",
            log_dir.c_str(), problem.c_str());
    g_bLogEnabled = false;
  }

  std::string accounts = g_strModuleDir + "/accounts.csv";
  if (std::filesystem::exists(accounts, ec)) LoadAccounts(accounts);

  // Library set-up touches the environment: do it before any worker runs.
  if (!targets.empty()) InitSnmpLibrary();

  std::vector<std::unique_ptr<CMIB>> jobs;
  jobs.reserve(targets.size());
  std::unique_ptr<JobProgress[]> progress(new JobProgress[targets.size()]);
  for (size_t i = 0; i < targets.size(); ++i) {
    jobs.push_back(std::make_unique<CMIB>());
    jobs.back()->m_strTarget = targets[i];
    jobs.back()->m_pProgress = &progress[i];
  }
  ProgressLine progress_line(targets, progress.get(), started_ms);
  WorkerLauncher launcher(&jobs, std::min(jobs.size(), ScansWithinDescriptorLimit()));
  for (size_t i = 0; i < jobs.size(); ++i) launcher.Start(i);
  // A job's rows go with its record as soon as it is joined; its summary
  // stays.
  std::vector<TargetResult> results;
  results.reserve(jobs.size());
  for (auto& job : jobs) {
    job->m_pThread->Join();
    results.push_back(ResultOf(*job));
    job.reset();
  }
  progress_line.Stop();
  LogSharedEngineIds();

  StopLogWriterAndDrain();
  if (!listed.empty())
    ReportRun(results, static_cast<double>(SteadyMilliseconds() - started_ms) / 1000.0,
              timeout_configured, resume ? &plan : nullptr, report);
  return true;
}
