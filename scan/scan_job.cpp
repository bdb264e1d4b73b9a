// The scan job of one target: its account, its scan plan with the version
// fallback, then its result file. Every fallback is judged by the row count,
// never by what a walk returned.
#include <cstdio>
#include <string>

#include "accounts/accounts.h"
#include "log/log.h"
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
  job->WriteResultFile();
  return 0;
}
