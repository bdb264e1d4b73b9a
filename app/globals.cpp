#include "app/globals.h"

#include "scan/scan_options.h"

void ResetGlobalsForTesting() {
  ResetRunSettings();
  ResetLogState();
  g_mapAccounts.clear();
  g_scanOptions = ScanOptions{};
}
