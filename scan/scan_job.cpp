// The scan job of one target: its account, its scan plan with the version
// fallback, then its result file and its outcome. Every fallback is judged by
// the row count, never by what a walk returned.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "log/log.h"
#include "output/console.h"
#include "output/result_document.h"
#include "scan/mib.h"
#include "scan/run_settings.h"
#include "scan/scan_options.h"

namespace {

const char kMib2[] = "1.3.6.1.2.1";
const char kEnterprises[] = "1.3.6.1.4.1";
const char kSysUpTime[] = "1.3.6.1.2.1.1.3";
const char kSysUpTimeInstance[] = "1.3.6.1.2.1.1.3.0";

// Configured OIDs, get mode: each one falls back through the versions on its
// own, judged by whether that OID's gets added a row.
void RunConfiguredOids(CMIB* job) {
  const std::vector<int>& versions = g_scanOptions.versions;
  if (g_scanOptions.get_batch > 1) {
    // Each version gets, in batches, the OIDs that no earlier version stored.
    std::vector<size_t> pending;
    for (size_t i = 0; i < g_arrOids.size(); ++i) pending.push_back(i);
    for (int version : versions) {
      if (pending.empty()) break;
      job->GetBatch(g_arrOids, version, &pending);
    }
    return;
  }
  for (const auto& oid : g_arrOids) {
    const size_t before = job->m_mapValues.GetCount();
    for (int version : versions) {
      if (job->m_mapValues.GetCount() != before) break;
      job->Walk(oid.c_str(), version, false);
    }
  }
}

// The two default subtrees over one version, with the sysUpTime probe when
// asked for and the subtree walks did not bring its instance.
void WalkDefaultSubtrees(CMIB* job, int version, bool probe_sys_up_time) {
  job->Walk(kMib2, version, true);
  job->Walk(kEnterprises, version, true);
  if (probe_sys_up_time && !job->HasSysUpTime()) job->Walk(kSysUpTime, version, true);
}

}  // namespace

void CMIB::UseAccount(const Account& account) {
  m_strUser = account.username;
  m_strPassword = account.password;
  m_authProtocol = account.auth_protocol;
  m_privProtocol = account.priv_protocol;
  m_strPrivPassword = account.priv_password;
}

bool CMIB::WriteResultFile() {
  m_strResultFile = m_strResultPath.empty() ? ResultFilePath(g_strModuleDir, m_strTarget, g_strOid)
                                            : m_strResultPath;
  std::string cause;
  const bool ok = SaveResultDocument(m_strResultFile, m_mapValues, m_mapVersions, &cause);
  if (ok) {
    console::Print(stdout, "output: %s\n", m_strResultFile.c_str());
  } else {
    console::Print(stdout, "output error\n");
    WriteLog("%s|output error: %s", m_strTarget.c_str(), cause.c_str());
  }
  return ok;
}

bool CMIB::HasSysUpTime() const { return m_mapValues.Find(kSysUpTimeInstance) != nullptr; }

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

unsigned ScanThreadProc(void* pParam) {
  CMIB* job = static_cast<CMIB*>(pParam);
  const auto started = std::chrono::steady_clock::now();
  if (job->m_pProgress) {
    job->m_pProgress->started_ms.store(SteadyMilliseconds(), std::memory_order_relaxed);
    job->m_pProgress->state.store(JobProgress::kRunning, std::memory_order_release);
  }
  const std::string target = job->m_strTarget;
  WriteLog("%s|start", target.c_str());
  if (g_scanOptions.max_seconds > 0)
    job->m_tuning.deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(g_scanOptions.max_seconds);

  Account account;
  const bool has_account = FindAccount(target, &account);
  if (has_account) WriteLog("%s|account exists", target.c_str());

  if (!g_arrOids.empty()) {
    if (has_account) job->UseAccount(account);
    RunConfiguredOids(job);
  } else if (!g_strOid.empty()) {
    // The command-line OID is one plain v1 get; the account is not used.
    job->Walk(g_strOid.c_str(), 1, false);
  } else if (has_account) {
    job->UseAccount(account);
    WalkDefaultSubtrees(job, 3, true);
  } else {
    // The sysUpTime probe runs in the first version only; each later version
    // only when none before stored anything.
    bool first = true;
    for (int version : g_scanOptions.versions) {
      if (!first && !job->m_mapValues.IsEmpty()) break;
      WalkDefaultSubtrees(job, version, first);
      first = false;
    }
  }
  if (job->m_tuning.bulk_lowered)
    WriteLog("%s|bulk repetitions %d", target.c_str(), job->m_tuning.bulk_repetitions);

  WriteLog("%s|end", target.c_str());
  job->m_bResultWritten = job->WriteResultFile();
  job->m_outcome = DecideOutcome(job->m_walks, job->m_mapValues.GetCount());
  job->m_dSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (job->m_pProgress)
    job->m_pProgress->state.store(JobProgress::kDone, std::memory_order_release);
  return 0;
}
