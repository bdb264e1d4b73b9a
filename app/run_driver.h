// One whole run: settings, log writer, one worker per target, shutdown.
#pragma once

#include <string>
#include <vector>

class Profile;

// Reads the [Config] keys and the [Target] OID list of config.ini into the
// process-wide settings. Main thread, before any worker starts.
void ApplyConfig(const Profile& config);

// Runs the scan of every target, each on its own worker thread, all at once,
// and returns when every worker and the log writer have ended and the log
// queue is drained. Returns false, having done nothing, when the executable's
// directory cannot be determined. Main thread, once.
bool RunScan(const std::vector<std::string>& targets);
