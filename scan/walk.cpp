#include "scan/mib.h"

// PLACEHOLDER: the walk comes with the SNMP core issue.
int CMIB::Walk(const char*, int, bool) { return 0; }
int CMIB::WalkTraditional(const oid*, int, int, bool) { return 0; }
int CMIB::WalkSingleSession(const oid*, int, int, bool) { return 0; }
