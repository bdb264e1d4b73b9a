#include "app/run_driver.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "accounts/accounts.h"
#include "app/globals.h"
#include "app/profile.h"
#include "log/log_writer.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "scan/mib.h"
#include "scan/scan_options.h"
#include "scan/snmp_setup.h"

namespace {

// Starts the workers of a run in list order. When the system refuses another
// thread (thread count, memory or address-space limits), waits for the oldest
// running worker before trying again, so that no target is dropped; with no
// worker left to wait for, the job runs on the calling thread.
class WorkerLauncher {
 public:
  explicit WorkerLauncher(std::vector<std::unique_ptr<CMIB>>* jobs) : jobs_(*jobs) {}

  void Start(size_t i) {
    CMIB* job = jobs_[i].get();
    job->m_pThread = std::make_unique<platform::Thread>();
    for (;;) {
      int err = 0;
      if (job->m_pThread->Start(ScanThreadProc, job, kWorkerStackSize, &err)) return;
      ReportRefusalOnce(err);
      // Workers before i that are not running any more (joined here, or never
      // started because their job ran on this thread) are passed over.
      while (oldest_ < i && !jobs_[oldest_]->m_pThread->started()) ++oldest_;
      if (oldest_ == i) {
        ScanThreadProc(job);
        return;
      }
      jobs_[oldest_]->m_pThread->Join();
    }
  }

 private:
  void ReportRefusalOnce(int err) {
    if (reported_) return;
    reported_ = true;
    fprintf(stderr,
            "mibscan: the system refused a new scan thread (%s); further targets start as running "
            "scans finish\n",
            strerror(err));
  }

  std::vector<std::unique_ptr<CMIB>>& jobs_;
  size_t oldest_ = 0;  // no worker before this index is running
  bool reported_ = false;
};

void ReportBadValue(const char* key, const std::string& value, const char* used) {
  fprintf(stderr, "mibscan: config.ini [Config] %s=%s is not valid; using %s\n", key, value.c_str(), used);
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

void ApplyConfig(const Profile& config) {
  g_nTimeout = config.GetInt("Config", "Timeout", 500);
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

bool RunScan(const std::vector<std::string>& targets) {
  std::string exe;
  if (!platform::GetExecutablePath(&exe)) return false;
  if (!platform::DirectoryOf(exe, &g_strModuleDir)) return false;

  std::string log_dir = g_strModuleDir + "/log";
  std::error_code ec;
  if (!std::filesystem::is_directory(log_dir, ec)) std::filesystem::create_directory(log_dir, ec);
  g_strLogDir = log_dir;

  StartLogWriter();

  if (targets.size() == 1) g_bDirectLog = true;

  ApplyConfig(Profile::Load(g_strModuleDir + "/config.ini"));

  std::string accounts = g_strModuleDir + "/accounts.csv";
  if (std::filesystem::exists(accounts, ec)) LoadAccounts(accounts);

  // Library set-up touches the environment: do it before any worker runs.
  if (!targets.empty()) InitSnmpLibrary();

  std::vector<std::unique_ptr<CMIB>> jobs;
  jobs.reserve(targets.size());
  for (const auto& target : targets) {
    jobs.push_back(std::make_unique<CMIB>());
    jobs.back()->m_strTarget = target;
  }
  WorkerLauncher launcher(&jobs);
  for (size_t i = 0; i < jobs.size(); ++i) {
    jobs[i]->m_bRunning = 1;
    launcher.Start(i);
  }
  for (auto& job : jobs) {
    job->m_pThread->Join();
    job.reset();
  }

  StopLogWriterAndDrain();
  return true;
}
