#include "app/globals.h"

#include "platform/thread.h"
#include "scan/scan_options.h"

std::string g_strModuleDir = "/tmp";
std::string g_strLogDir = "./log";
const std::string g_strLogFile = "log.txt";
std::string g_strCommunity;
std::string g_strOid;
std::vector<std::string> g_arrOids;
int g_nTimeout = 500;
int g_nRetry = 3;
bool g_bLogEnabled = false;
bool g_bDirectLog = false;
std::atomic<bool> g_bLogRunning{true};
platform::Thread* g_pLogThread = nullptr;
std::mutex g_logMutex;
std::deque<LogRecord> g_logQueue;
std::map<std::string, Account> g_mapAccounts;

void ResetGlobalsForTesting() {
  g_strModuleDir = "/tmp";
  g_strLogDir = "./log";
  g_strCommunity.clear();
  g_strOid.clear();
  g_arrOids.clear();
  g_nTimeout = 500;
  g_nRetry = 3;
  g_bLogEnabled = false;
  g_bDirectLog = false;
  g_bLogRunning = true;
  g_pLogThread = nullptr;
  g_logQueue.clear();
  g_mapAccounts.clear();
  g_scanOptions = ScanOptions{};
}
