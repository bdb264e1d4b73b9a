// CMIB: the record of one target scan job.
//
// The run driver creates it and starts the job's worker thread on it; from
// then until the driver has joined that thread, only the job's own thread
// touches it. Records of different targets share nothing.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/string_map.h"
#include "platform/thread.h"

class CMIB {
 public:
  int m_bRunning = 0;
  std::unique_ptr<platform::Thread> m_pThread;
  std::string m_strTarget;
  int m_nVersion = 0;                     // SNMP version (1, 2, 3) of the walk in progress
  CStringMap<std::string> m_mapValues;    // OID text -> value text
  CStringMap<intptr_t> m_mapVersions;     // OID text -> version that stored the row
  std::string m_strUser;                  // SNMPv3 user; empty without an account
  std::string m_strPassword;              // SNMPv3 pass phrase; never printed or logged

  // Per-target state of the opt-in fleet options (scan/scan_options.h).
  struct Tuning {
    int bulk_repetitions = 0;   // GETBULK max-repetitions; 0 until the first bulk walk takes the setting
    bool bulk_lowered = false;  // tooBig or silence made it lower than the setting
    std::chrono::steady_clock::time_point deadline{};  // MaxSeconds; the clock's epoch: none
    bool limit_reported = false;
    std::string peer;  // the target with its host name resolved (scan/peer_name.h); empty until the first open
  } m_tuning;

  // Walks the subtree under pszOid (get-next) or gets the one instance
  // (get), over SNMP version nVersion, storing every answer as a row. Runs the
  // single-session variant when the traditional one stored nothing. Returns 0,
  // or -1 when the SNMPv3 key could not be made. Reports on the console and in
  // the log; never throws. After the operator's interrupt it returns 0 at
  // once, and a walk in progress ends at its next request or wait, logging
  // "<target>|interrupted"; the rows it stored stay.
  int Walk(const char* pszOid, int nVersion, bool bGetNext);
  int WalkTraditional(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext);
  int WalkSingleSession(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext);

  // Renders one received variable and stores it as a row tagged with
  // m_nVersion. Returns false, touching nothing, for types without a rendering.
  bool StoreVariable(const netsnmp_variable_list* var);

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

  // Writes the rows to "<module dir>/<target><suffix>.xml" and prints
  // "output: <path>" or "output error". Returns true when the file was written.
  bool WriteResultFile();
};

// Worker thread procedure: the whole scan of the CMIB passed as pParam, which
// only this thread touches until it returns. Failures are reported by the
// walks and the result step; the job always runs to its end. Returns 0.
unsigned ScanThreadProc(void* pParam);
