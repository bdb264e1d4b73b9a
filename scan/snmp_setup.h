// Net-SNMP set-up and the one lock around every library call.
//
// The library as built here takes no locks of its own: its session list, USM
// user table, engine-time cache and request-id counters are plain globals. So
// every library call made by the scanner runs under one process-wide lock,
// and no thread holds that lock while it waits for an agent (see
// scan/snmp_session.h).
//
// Thread safety: every function here may be called from any thread, without
// holding the lock (except LockSnmpLibrary itself).
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <pthread.h>

#include <mutex>

// Sets up the library once per process: MIB loading off (the scanner prints
// numeric OIDs only), the six boolean settings of configuration files of type
// "snmpwalk", then init_snmp("snmpapp"). Later calls return at once. Best
// called on the main thread before any worker starts (it may set MIBS in the
// environment); every walk calls it as well.
void InitSnmpLibrary();

// The one lock around every library call. Hold it only for library calls and
// never while waiting for the network. Its holds are short and taken by many
// threads per variable, so a waiter spins a little before it sleeps: a sleep
// and wake-up cost more than most holds.
class SnmpLibraryMutex {
 public:
  void lock() { pthread_mutex_lock(&mutex_); }
  void unlock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t mutex_ = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
};
std::unique_lock<SnmpLibraryMutex> LockSnmpLibrary();

// Application setting 3 of the library's store ("dontCheckOrdering" in a
// configuration file of type "snmpwalk").
constexpr int kDontCheckOrderingIndex = 3;
bool SnmpAppBoolean(int index);
