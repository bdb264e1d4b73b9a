// Engine clocks per target. The library keeps one clock (boots, time) per
// engine ID for the whole process, checks every authenticated answer against
// it and stamps every request with it. Cloned devices share an engine ID but
// not a clock: one clone's answers would move the clock past the other's,
// whose answers are then dropped as outside the time window (and whose
// requests draw notInTimeWindow reports). So each (engine ID, target) keeps
// its own copy of the library's record, put in place before every library
// call that builds or reads a message of a session of that target and taken
// back after it. A target that is alone on its engine ID puts back what is
// there already.
//
// Thread safety: only under the library lock.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// After the two above, which it needs.
#include <net-snmp/library/lcd_time.h>

#include <ctime>
#include <map>
#include <string>

class EngineClocks {
 public:
  // Puts the target's clock into the library's record; nothing before the
  // session knows its engine ID or when the target has no clock yet.
  void InstallLocked(const netsnmp_session* s) {
    if (s->securityEngineIDLen == 0) return;
    auto it = clocks_.find(Key(s));
    if (it == clocks_.end()) return;
    Enginetime e =
        search_enginetime_list(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen));
    if (!e) {
      set_enginetime(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen), 0, 0, FALSE);
      e = search_enginetime_list(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen));
      if (!e) return;
    }
    const Clock& c = it->second;
    e->engineTime = c.time;
    e->engineBoot = c.boots;
    e->lastReceivedEngineTime = c.received;
    e->authenticatedFlag = c.authenticated;
  }

  // Takes the library's record back as the target's clock after a call.
  // After the engine-ID probe the record holds the probe's unauthenticated
  // clock only when no authenticated one was there (the library keeps an
  // authenticated clock over an unauthenticated one): when another target
  // put it there, this target starts with none, as a new engine does, and
  // the library synchronises at its first notInTimeWindow report.
  void SaveLocked(const netsnmp_session* s, bool probe) {
    if (s->securityEngineIDLen == 0) return;
    const Enginetime e =
        search_enginetime_list(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen));
    if (!e) return;
    auto [it, added] = clocks_.try_emplace(Key(s));
    Clock& c = it->second;
    if (probe && !added && c.authenticated) return;
    if (probe && e->authenticatedFlag) {
      c = Clock{0, 0, static_cast<time_t>(snmpv3_local_snmpEngineTime()), FALSE};
      return;
    }
    c = Clock{e->engineTime, e->engineBoot, e->lastReceivedEngineTime, e->authenticatedFlag};
  }

 private:
  struct Clock {
    u_int time = 0;
    u_int boots = 0;
    time_t received = 0;
    u_int authenticated = FALSE;
  };

  static std::string Key(const netsnmp_session* s) {
    std::string key(reinterpret_cast<const char*>(s->securityEngineID), s->securityEngineIDLen);
    key.push_back('\0');
    return key.append(s->peername ? s->peername : "");
  }

  std::map<std::string, Clock> clocks_;  // under the library lock
};

// Process-wide, as the library's record it stands in for: every session's
// calls go through it, under the library lock (scan/snmp_setup.h).
extern EngineClocks g_engineClocks;
