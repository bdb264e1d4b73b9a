// The run's settings that every scan job reads: where results go, what the
// walks ask for and how long they wait.
//
// Written by the main thread before the first worker starts and only read
// afterwards.
#pragma once

#include <string>
#include <vector>

extern std::string
    g_strModuleDir;  // the run's directory (--dir, else the executable's), no trailing '/'
extern std::string g_strCommunity;          // SNMPv1/v2c community
extern std::string g_strOid;                // the OID of the "oid" command-line form
extern std::vector<std::string> g_arrOids;  // OIDs configured in config.ini [Target]
extern int g_nTimeout;                      // SNMP time-out per try, microseconds
extern int g_nRetry;                        // SNMP retries

// Puts every setting above back to its value at process start. Never called
// while workers run.
void ResetRunSettings();
