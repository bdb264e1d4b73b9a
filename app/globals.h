// The process-wide state, each part defined in the room that owns it: the run
// settings (scan/run_settings.h), the log settings and queue (log/log.h,
// log/log_writer.h) and the accounts map (accounts/accounts.h).
#pragma once

#include "accounts/accounts.h"
#include "log/log.h"
#include "log/log_writer.h"
#include "scan/run_settings.h"

// Puts all of it back to its value at process start. For tests that run
// several configurations in one process; never called while threads run.
void ResetGlobalsForTesting();
