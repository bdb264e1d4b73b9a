// The scan job of one target: its account, its scan plan with the version
// fallback, then its result file. Every fallback is judged by the row count,
// never by what a walk returned.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "log/log.h"
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

bool CMIB::WriteResultFile() {
  const std::string path = ResultFilePath(g_strModuleDir, m_strTarget, g_strOid);
  const bool ok = SaveResultDocument(path, m_mapValues, m_mapVersions);
  if (ok)
    printf("output: %s\n", path.c_str());
  else
    printf("output error\n");
  return ok;
}

bool CMIB::HasSysUpTime() const { return m_mapValues.Find(kSysUpTimeInstance) != nullptr; }

unsigned ScanThreadProc(void* pParam) {
  CMIB* job = static_cast<CMIB*>(pParam);
  const std::string target = job->m_strTarget;
  WriteLog("%s|start", target.c_str());
  if (g_scanOptions.max_seconds > 0)
    job->m_tuning.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(g_scanOptions.max_seconds);

  Account account;
  const bool has_account = FindAccount(target, &account);
  if (has_account) WriteLog("%s|account exists", target.c_str());

  if (!g_arrOids.empty()) {
    if (has_account) {
      job->m_strUser = account.username;
      job->m_strPassword = account.password;
    }
    RunConfiguredOids(job);
  } else if (!g_strOid.empty()) {
    // The command-line OID is one plain v1 get; the account is not used.
    job->Walk(g_strOid.c_str(), 1, false);
  } else if (has_account) {
    job->m_strUser = account.username;
    job->m_strPassword = account.password;
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
  job->WriteResultFile();
  return 0;
}
