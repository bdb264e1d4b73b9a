// The scan job of one target: its account, its scan plan with the version
// fallback, then its result file and its outcome. Every fallback is judged by
// the row count, never by what a walk returned.
#include <chrono>
#include <cstdio>
#include <string>

#include "accounts/accounts.h"
#include "log/log.h"
#include "output/console.h"
#include "output/result_document.h"
#include "scan/mib.h"
#include "scan/run_settings.h"

namespace {

const char kMib2[] = "1.3.6.1.2.1";
const char kEnterprises[] = "1.3.6.1.4.1";
const char kSysUpTime[] = "1.3.6.1.2.1.1.3";
const char kSysUpTimeInstance[] = "1.3.6.1.2.1.1.3.0";

// Configured OIDs, get mode: each one falls back from v1 to v2c to v3 on its
// own, judged by whether that OID's gets added a row.
void RunConfiguredOids(CMIB* job) {
  for (const auto& oid : g_arrOids) {
    const size_t before = job->m_mapValues.GetCount();
    job->Walk(oid.c_str(), 1, false);
    if (job->m_mapValues.GetCount() == before) job->Walk(oid.c_str(), 2, false);
    if (job->m_mapValues.GetCount() == before) job->Walk(oid.c_str(), 3, false);
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
  m_strResultFile = ResultFilePath(g_strModuleDir, m_strTarget, g_strOid);
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
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
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
    WalkDefaultSubtrees(job, 1, true);
    if (job->m_mapValues.IsEmpty()) WalkDefaultSubtrees(job, 2, false);
    if (job->m_mapValues.IsEmpty()) WalkDefaultSubtrees(job, 3, false);
  }

  WriteLog("%s|end", target.c_str());
  job->m_bResultWritten = job->WriteResultFile();
  job->m_outcome = DecideOutcome(job->m_walks, job->m_mapValues.GetCount());
  job->m_dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (job->m_pProgress) job->m_pProgress->state.store(JobProgress::kDone, std::memory_order_release);
  return 0;
}
