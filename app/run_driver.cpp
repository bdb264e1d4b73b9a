#include "app/run_driver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "accounts/accounts.h"
#include "app/command_line.h"
#include "app/config.h"
#include "app/device_profiles.h"
#include "app/progress_line.h"
#include "app/resume.h"
#include "app/run_folder.h"
#include "app/target_list.h"
#include "app/run_summary.h"
#include "app/targets.h"
#include "log/log.h"
#include "log/log_writer.h"
#include "output/console.h"
#include "output/result_document.h"
#include "output/summary_file.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"
#include "scan/engine_ids.h"
#include "scan/scan_job.h"
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

// One target of the run. The driver makes it; from the start of its worker
// until the driver has joined that worker, only the worker touches it, except
// progress, which is made of atomics for the status line.
struct TargetJob {
  std::string target;
  std::string result_path;  // distinct from every other target's
  const Account* account = nullptr;  // its accounts.csv row; null: none
  JobProgress* progress = nullptr;
  bool has_profile = false;  // Learn=1 and the device is known
  DeviceProfile profile;     // what earlier runs learned
  DeviceProfile learned;     // what this scan learned
  std::unique_ptr<platform::Thread> thread;
  TargetResult result;  // the worker's last act
};

// What every worker of the run reads; set before the first starts.
struct RunPlan {
  const ScanSettings* scan;
  RowOutput output;
};

// Names rows for a result document, carrying a hint from row to row.
class HintedNamer : public RowNamer {
 public:
  explicit HintedNamer(const MibNames* names) : names_(names) {}
  bool Name(std::string_view oid, std::string* out) override {
    return names_ && names_->Name(oid, out, &hint_);
  }

 private:
  const MibNames* names_;
  MibNameHint hint_;
};

struct WorkerStart {
  TargetJob* job;
  const RunPlan* plan;
  ScanSlots* slots;
};

unsigned ScanWithinSlot(void* param) {
  auto* start = static_cast<WorkerStart*>(param);
  TargetJob& job = *start->job;
  job.result =
      ScanAndSave(job.target, job.account, *start->plan->scan, job.result_path, job.progress,
                  start->plan->output, job.has_profile ? &job.profile : nullptr, &job.learned);
  if (job.progress) job.progress->state.store(JobProgress::kDone, std::memory_order_release);
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
  WorkerLauncher(std::vector<TargetJob>* jobs, const RunPlan* plan, size_t slots)
      : jobs_(*jobs), plan_(plan), starts_(jobs->size()), slots_(slots) {
    if (slots < jobs_.size())
      console::Print(
          stderr,
          "mibscan: the open-files limit lets %zu scans run at once; further targets start as "
          "running scans finish\n",
          slots);
  }

  void Start(size_t i) {
    TargetJob* job = &jobs_[i];
    starts_[i] = WorkerStart{job, plan_, &slots_};
    slots_.Take();
    job->thread = std::make_unique<platform::Thread>();
    for (;;) {
      int err = 0;
      if (job->thread->Start(ScanWithinSlot, &starts_[i], kWorkerStackSize, &err)) return;
      ReportRefusalOnce(err);
      // Workers before i that are not running any more (joined here, or never
      // started because their job ran on this thread) are passed over.
      while (oldest_ < i && !jobs_[oldest_].thread->started()) ++oldest_;
      if (oldest_ == i) {
        ScanWithinSlot(&starts_[i]);
        return;
      }
      jobs_[oldest_].thread->Join();
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

  std::vector<TargetJob>& jobs_;
  const RunPlan* plan_;
  std::vector<WorkerStart> starts_;  // one per job, never moved once the workers run
  ScanSlots slots_;
  size_t oldest_ = 0;  // no worker before this index is running
  bool reported_ = false;
};

// summary.csv, the closing summary and the hint, once every job has ended.
void ReportRun(const std::vector<TargetResult>& results, double seconds, const std::string& dir,
               const std::string& shard_tag, const RunConfig& config,
               const ResumePlan* resumed, RunReport* report) {
  std::vector<SummaryRow> rows;
  rows.reserve(results.size());
  for (const TargetResult& r : results) {
    rows.push_back(r.row);
    if (!r.file_written) ++report->result_files_not_written;
  }
  if (resumed) rows = MergeResumedRows(*resumed, rows);
  const std::string path = SummaryFilePath(dir, shard_tag);
  std::string error;
  report->summary_written = WriteSummaryFile(path, rows, &error);
  const std::string note = report->summary_written ? path : path + " not written: " + error;
  fprintf(stderr, "%s\n", ClosingSummary(results, seconds, note).c_str());
  if (NeedsTimeoutHint(results, config.timeout_configured))
    fprintf(stderr, "%s\n", TimeoutHint(config.scan.timeout_us).c_str());
}

}  // namespace

TargetResult ScanAndSave(const std::string& target, const Account* account,
                         const ScanSettings& settings, const std::string& path,
                         JobProgress* progress, const RowOutput& output,
                         const DeviceProfile* profile, DeviceProfile* learned) {
  const auto started = std::chrono::steady_clock::now();
  ScanResult scan = ScanTarget(target, account, settings, progress, profile);
  if (learned) *learned = scan.learned;
  HintedNamer namer(output.names);
  const bool written = WriteResultFile(
      path, target, scan.rows, RowExtras{output.value_types, output.names ? &namer : nullptr});
  if (output.jsonl) {
    JsonLinesBatch batch(target);
    HintedNamer jsonl_namer(output.names);
    std::string name;
    scan.rows.ForEach([&](std::string_view oid, const ResultRow& row) {
      name.clear();
      if (output.names) jsonl_namer.Name(oid, &name);
      batch.Add({oid, row.version, row.type ? row.type : "", row.value, row.base64, name});
    });
    output.jsonl->Write(batch);
  }
  // The summary's time includes the result file.
  scan.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return ResultOf(scan, written ? path : "");
}

bool RunScan(const std::vector<std::string>& listed, const RunOptions& options,
             const std::string& oid, RunReport* report) {
  const int64_t started_ms = SteadyMilliseconds();
  const std::string& dir = options.dir;
  const std::string shard_tag = ShardTag(options);
  std::string run_dir;
  if (dir.empty()) {
    std::string note;
    std::string error;
    if (!DefaultRunFolder(&run_dir, &note, &error)) {
      fprintf(stderr, "mibscan: %s\n", error.c_str());
      return false;
    }
    if (!note.empty()) fprintf(stderr, "mibscan: %s\n", note.c_str());
  } else {
    // Every path is made as "<dir>/<name>": no trailing '/' (the root becomes "").
    run_dir = dir.substr(0, dir.find_last_not_of('/') + 1);
  }

  LogSettings log;
  log.dir = run_dir + "/log";
  std::error_code ec;
  if (!std::filesystem::is_directory(log.dir, ec)) std::filesystem::create_directory(log.dir, ec);
  // Shards of one list may share a folder: each keeps a log file, and
  // rotated files, of its own.
  log.file = "log" + shard_tag + ".txt";

  // Found before any scan, not after every target has been walked.
  std::string problem;
  if (!listed.empty() && !platform::DirectoryWritable(run_dir, &problem)) {
    fprintf(stderr, "mibscan: result files cannot be written in %s (%s)\n", run_dir.c_str(),
            problem.c_str());
    return false;
  }
  ResumePlan resume_plan;
  if (options.resume && !listed.empty()) {
    resume_plan = PlanResume(run_dir, listed);
    fprintf(stderr, "mibscan: --resume: %s of %s done in an earlier run; scanning %s\n",
            GroupThousands(listed.size() - resume_plan.to_scan.size()).c_str(),
            (GroupThousands(listed.size()) + (listed.size() == 1 ? " target" : " targets")).c_str(),
            GroupThousands(resume_plan.to_scan.size()).c_str());
  }
  const std::vector<std::string>& targets = options.resume ? resume_plan.to_scan : listed;

  JsonLinesWriter jsonl;
  if (!options.jsonl.empty()) {
    if (!jsonl.Open(options.jsonl, &problem)) {
      fprintf(stderr, "mibscan: --jsonl %s cannot be written (%s)\n", options.jsonl.c_str(),
              problem.c_str());
      return false;
    }
    if (options.jsonl == "-") console::UseStdoutForData();
  }

  RunConfig config = ReadRunConfig(LoadConfig(run_dir + "/config.ini"));
  config.scan.oid = oid;
  log.enabled = config.log_enabled;
  if (log.enabled && !platform::DirectoryWritable(log.dir, &problem)) {
    fprintf(stderr,
            "mibscan: config.ini: Log=1, but the log directory %s cannot be made or written (%s); "
            "no log is kept\n",
            log.dir.c_str(), problem.c_str());
    log.enabled = false;
  }
  log.direct = targets.size() == 1;
  UseLogSettings(log);
  StartLogWriter();

  Accounts accounts;
  const std::string accounts_path = run_dir + "/accounts.csv";
  if (std::filesystem::exists(accounts_path, ec)) {
    std::vector<std::string> ips;
    LoadAccounts(accounts_path, &accounts, &ips);
    if (!listed.empty())
      ReportAccountsWithoutTarget(accounts_path, ips, listed, options.shard, options.shard_count);
  }

  DeviceProfiles profiles;
  if (config.learn && !targets.empty()) profiles = LoadDeviceProfiles(run_dir, shard_tag);

  // Library set-up touches the environment: do it before any worker runs.
  if (!targets.empty()) InitSnmpLibrary();

  // The operator's MIBs are read once, before any worker: the library's MIB
  // tree is process-wide.
  MibNames names;
  if (config.names) {
    std::vector<std::string> mib_problems;
    names.LoadOperatorMibs(config.mib_dirs, config.mibs, &mib_problems);
    for (const std::string& p : mib_problems)
      fprintf(stderr, "mibscan: config.ini: %s\n", p.c_str());
  }
  const RunPlan plan{&config.scan,
                     RowOutput{config.value_types, config.names ? &names : nullptr,
                               options.jsonl.empty() ? nullptr : &jsonl}};
  std::unique_ptr<JobProgress[]> progress(new JobProgress[targets.size()]);
  std::vector<TargetJob> jobs(targets.size());
  // Named here, over the whole list in its order, so that two targets never
  // share a file and a resumed run names each file as the first run did.
  std::vector<std::string> paths = DistinctResultFilePaths(run_dir, listed, oid);
  for (size_t i = 0, j = 0; i < listed.size(); ++i) {
    if (options.resume && resume_plan.carried[i]) continue;
    jobs[j].target = listed[i];
    jobs[j].result_path = std::move(paths[i]);
    jobs[j].account = FindAccount(accounts, listed[i]);
    jobs[j].progress = &progress[j];
    if (config.learn)
      jobs[j].has_profile = FindDeviceProfile(profiles, listed[i], &jobs[j].profile);
    ++j;
  }
  ProgressLine progress_line(targets, progress.get(), started_ms);
  WorkerLauncher launcher(&jobs, &plan, std::min(jobs.size(), ScansWithinDescriptorLimit()));
  for (size_t i = 0; i < jobs.size(); ++i) launcher.Start(i);
  std::vector<TargetResult> results;
  results.reserve(jobs.size());
  for (TargetJob& job : jobs) {
    job.thread->Join();
    results.push_back(std::move(job.result));
  }
  progress_line.Stop();
  LogSharedEngineIds();
  if (!options.jsonl.empty() && !jsonl.Finish(&problem)) {
    fprintf(stderr, "mibscan: --jsonl %s could not be written (%s)\n", options.jsonl.c_str(),
            problem.c_str());
    report->jsonl_written = false;
  }
  if (config.learn && !jobs.empty()) {
    std::vector<std::pair<std::string, DeviceProfile>> learned;
    learned.reserve(jobs.size());
    for (const TargetJob& job : jobs) learned.emplace_back(job.target, job.learned);
    std::string error;
    if (!SaveDeviceProfiles(profiles, learned, UtcNow(), &error))
      fprintf(stderr, "mibscan: %s not written: %s\n", profiles.path.c_str(), error.c_str());
  }

  StopLogWriterAndDrain();
  if (!listed.empty())
    ReportRun(results, static_cast<double>(SteadyMilliseconds() - started_ms) / 1000.0, run_dir,
              shard_tag, config, options.resume ? &resume_plan : nullptr, report);
  return true;
}
