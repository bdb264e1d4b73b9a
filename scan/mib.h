// CMIB: the record of one target scan job.
//
// The run driver creates it and starts the job's worker thread on it; from
// then until the driver has joined that thread, only the job's own thread
// touches it. Records of different targets share nothing.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdint>
#include <memory>
#include <string>

#include "accounts/accounts.h"
#include "platform/string_map.h"
#include "platform/thread.h"
#include "scan/usm_report.h"

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
  AuthProtocol m_authProtocol = AuthProtocol::kMd5;   // SNMPv3 authentication with a user
  PrivProtocol m_privProtocol = PrivProtocol::kNone;  // kNone: authNoPriv
  std::string m_strPrivPassword;          // SNMPv3 privacy pass phrase; never printed or logged
  UsmReport m_usmReport = UsmReport::kNone;  // the USM report that ended the last walk, if one did

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

  // Takes the user, the pass phrases and the protocols of the account for
  // the SNMPv3 walks that follow.
  void UseAccount(const Account& account);

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
