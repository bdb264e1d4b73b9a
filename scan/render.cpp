#include "scan/mib.h"

// PLACEHOLDER: rendering comes with the SNMP core issue.
bool CMIB::StoreVariable(const netsnmp_variable_list*) { return false; }
