#include "scan/mib.h"

static const char kSysUpTimeInstance[] = "1.3.6.1.2.1.1.3.0";

bool CMIB::HasSysUpTime() const { return m_mapValues.Find(kSysUpTimeInstance) != nullptr; }

// PLACEHOLDER: the scan plans come with the job issue.
unsigned ScanThreadProc(void* pParam) {
  (void)pParam;
  return 0;
}
