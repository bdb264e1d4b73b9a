#include "scan/mib.h"

// PLACEHOLDER: result files come with the output issue.
bool CMIB::WriteResultFile() { return false; }
