#include "app/globals.h"

void ResetGlobalsForTesting() {
  ResetRunSettings();
  ResetLogState();
  g_mapAccounts.clear();
}
