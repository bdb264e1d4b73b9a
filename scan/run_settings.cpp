#include "scan/run_settings.h"

std::string g_strModuleDir = "/tmp";
std::string g_strCommunity;
std::string g_strOid;
std::vector<std::string> g_arrOids;
int g_nTimeout = 500;
int g_nRetry = 3;

void ResetRunSettings() {
  g_strModuleDir = "/tmp";
  g_strCommunity.clear();
  g_strOid.clear();
  g_arrOids.clear();
  g_nTimeout = 500;
  g_nRetry = 3;
}
