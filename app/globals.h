// Process-wide settings and shared objects.
//
// All are written by the main thread before the first worker starts and only
// read afterwards, except g_bLogRunning (cleared by the main thread at
// shutdown, polled by the log writer) and the log queue (guarded by
// g_logMutex).
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "log/log.h"

namespace platform {
class Thread;
}

extern std::string g_strModuleDir;           // executable's directory, no trailing '/'
extern std::string g_strLogDir;              // "<module dir>/log" once the run has started
extern const std::string g_strLogFile;       // "log.txt"
extern std::string g_strCommunity;           // SNMPv1/v2c community
extern std::string g_strOid;                 // the OID of the "oid" command-line form
extern std::vector<std::string> g_arrOids;   // OIDs configured in config.ini [Target]
extern int g_nTimeout;                       // SNMP time-out per try, microseconds
extern int g_nRetry;                         // SNMP retries
extern bool g_bLogEnabled;                   // Log=1 in config.ini
extern bool g_bDirectLog;                    // exactly one target: log lines written in place
extern std::atomic<bool> g_bLogRunning;      // log writer loops while set
extern platform::Thread* g_pLogThread;       // the log writer, once started
extern std::mutex g_logMutex;                // guards g_logQueue
extern std::deque<LogRecord> g_logQueue;     // records waiting for the log writer
extern std::map<std::string, Account> g_mapAccounts;  // SNMPv3 account per target address

// Puts every setting above back to its value at process start. For tests that
// run several configurations in one process; never called while threads run.
void ResetGlobalsForTesting();
