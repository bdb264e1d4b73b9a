// CMIB: the record of one target scan job.
//
// The run driver creates it and starts the job's worker thread on it; from
// then until the driver has joined that thread, only the job's own thread
// touches it, except the JobProgress it points to, which is made of atomics
// for the driver's status line. Records of different targets share nothing.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "platform/string_map.h"
#include "platform/thread.h"
#include "scan/usm_report.h"
#include "scan/walk_outcome.h"

// How far one job has come, read by the run driver's status line while the
// job runs. Written by the job's thread only; any thread may read.
struct JobProgress {
  enum State { kWaiting, kRunning, kDone };
  std::atomic<int> state{kWaiting};
  std::atomic<int64_t> started_ms{0};  // steady-clock milliseconds at the start
  std::atomic<size_t> rows{0};
};

class CMIB {
 public:
  std::unique_ptr<platform::Thread> m_pThread;
  std::string m_strTarget;
  int m_nVersion = 0;                   // SNMP version (1, 2, 3) of the walk in progress
  CStringMap<std::string> m_mapValues;  // OID text -> value text
  CStringMap<intptr_t> m_mapVersions;   // OID text -> version that stored the row
  std::string m_strUser;                // SNMPv3 user; empty without an account
  std::string m_strPassword;            // SNMPv3 pass phrase; never printed or logged
  JobProgress* m_pProgress = nullptr;   // the driver's; may be null

  // Filled by the job as it runs and when it ends, for the run's summary.
  WalkTally m_walks;              // what the walks met
  OutcomeDecision m_outcome;      // decided at the end of the job
  double m_dSeconds = 0;          // the job's run time, result file included
  bool m_bResultWritten = false;  // WriteResultFile succeeded
  std::string m_strResultFile;    // the result file's path
  std::string m_strResultPath;    // named by the run driver, distinct per target; "": the default
  AuthProtocol m_authProtocol = AuthProtocol::kMd5;   // SNMPv3 authentication with a user
  PrivProtocol m_privProtocol = PrivProtocol::kNone;  // kNone: authNoPriv
  std::string m_strPrivPassword;             // SNMPv3 privacy pass phrase; never printed or logged
  UsmReport m_usmReport = UsmReport::kNone;  // the USM report that ended the last walk, if one did

  // Per-target state of the opt-in fleet options (scan/scan_options.h).
  struct Tuning {
    int bulk_repetitions =
        0;  // GETBULK max-repetitions; 0 until the first bulk walk takes the setting
    bool bulk_lowered = false;  // tooBig or silence made it lower than the setting
    std::chrono::steady_clock::time_point deadline{};  // MaxSeconds; the clock's epoch: none
    bool limit_reported = false;
    std::string peer;  // the target with its host name resolved (scan/peer_name.h); empty until the
                       // first open
  } m_tuning;

  // Walks the subtree under pszOid (get-next) or gets the one instance
  // (get), over SNMP version nVersion, storing every answer as a row. Runs the
  // single-session variant when the traditional one stored nothing. Returns 0,
  // or -1 when the SNMPv3 key could not be made. Reports on the console and in
  // the log; never throws. After the operator's interrupt it returns 0 at
  // once, and a walk in progress ends at its next request or wait, logging
  // "<target>|interrupted"; the rows it stored stay. What the walk met
  // (answers, time-outs, refusals) is noted in m_walks.
  int Walk(const char* pszOid, int nVersion, bool bGetNext);
  int WalkTraditional(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext);
  int WalkSingleSession(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext);

  // Renders one received variable and stores it as a row tagged with
  // m_nVersion. Returns false, touching nothing, for types without a rendering.
  bool StoreVariable(const netsnmp_variable_list* var);

  // Takes the user, the pass phrases and the protocols of the account for
  // the SNMPv3 walks that follow.
  void UseAccount(const Account& account);

  // True when MaxRows rows are stored or the MaxSeconds deadline has passed.
  // The first time it is true it logs "<target>|limit reached: ..." and
  // prints the same on standard error.
  bool LimitReached();

  // Gets the configured OIDs up to GetBatch per GET PDU over one version,
  // storing every answer as a row. *pending: indexes into oids of the OIDs
  // still to get; on return, those that stored nothing (kept in order).
  // Reports as a get per batch; never throws.
  void GetBatch(const std::vector<std::string>& oids, int nVersion, std::vector<size_t>* pending);

  // True when the sysUpTime instance (1.3.6.1.2.1.1.3.0) is among the rows.
  bool HasSysUpTime() const;

  // Writes the rows to m_strResultPath, or when that is empty to
  // "<module dir>/<target><suffix>.xml" (the path used left in
  // m_strResultFile), and prints "output: <path>" or "output error". Returns
  // true when the file was written.
  bool WriteResultFile();

  // Makes the row count visible to the status line.
  void PublishRows() {
    if (m_pProgress) m_pProgress->rows.store(m_mapValues.GetCount(), std::memory_order_relaxed);
  }
};

// Worker thread procedure: the whole scan of the CMIB passed as pParam, which
// only this thread touches until it returns. Failures are reported by the
// walks and the result step; the job always runs to its end, and leaves its
// outcome, time and result file in the record. Returns 0.
unsigned ScanThreadProc(void* pParam);

// The steady clock in milliseconds, as JobProgress::started_ms holds it.
int64_t SteadyMilliseconds();
