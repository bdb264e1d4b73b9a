// Safe use of Net-SNMP from many scan threads at once.
//
// The library as built here takes no locks of its own: its session list, USM
// user table, engine-time cache and request-id counters are plain globals. So
// every library call made by the scanner runs under one process-wide lock,
// and no thread holds that lock while it waits for an agent: a request is
// sent under the lock, its socket is polled without it, and the answer is read
// (or the time-out processed) under it again. SNMPv3 engine-ID discovery goes
// through the same exchange instead of the library's blocking probe.
//
// Thread safety: every function here may be called from any thread, without
// holding the lock (except LockSnmpLibrary itself). One SnmpSession belongs to
// one thread.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <pthread.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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

// Exchange status of a wait cut short by the operator's interrupt (beside the
// library's STAT_SUCCESS, STAT_ERROR and STAT_TIMEOUT).
constexpr int kStatInterrupted = -1;

// Application setting 3 of the library's store ("dontCheckOrdering" in a
// configuration file of type "snmpwalk").
constexpr int kDontCheckOrderingIndex = 3;
bool SnmpAppBoolean(int index);

// The SNMPv3 authentication key (Ku) for an MD5 pass phrase, generated once
// per pass phrase for the whole process, outside the library lock. Returns
// false when the library refuses the pass phrase (for example shorter than 8
// bytes); *key is then unchanged.
struct SnmpAuthKey {
  u_char bytes[USM_AUTH_KU_LEN];
  size_t length = 0;
};
bool GetMd5AuthKey(const std::string& pass_phrase, SnmpAuthKey* key);

// One variable name of a request (not owned).
struct SnmpName {
  const oid* ids;
  size_t length;
};

// One open SNMP session of one walk.
//
// Open() opens it through the traditional API (snmp_open, then the
// single-session handle of that session for the exchanges, snmp_close) or the
// single-session API (snmp_sess_open, snmp_sess_close). For SNMPv3 it then
// discovers the agent's engine ID and, with a security name, installs the key
// of this session for (engine ID, user): sessions that share an engine ID and
// user name but not the key take turns (the library's user table holds one key
// per pair), so each authenticates with its own pass phrase.
//
// Answers are matched by request id on the session's own socket, as the
// library does. On UDP over IPv4 the session makes the socket's system calls
// itself, outside the library lock (the datagrams the library builds and
// parses are the same; see SocketIo in the source).
//
// Waits end early at the operator's interrupt (platform/interrupt.h).
//
// Failures write the library's own report, prefixed "snmpwalk", on standard
// error; the caller adds its own log line. A failure caused by the interrupt
// prints nothing and sets interrupted().
class SnmpSession {
 public:
  enum class Api { kTraditional, kSingleSession };

  explicit SnmpSession(Api api);
  ~SnmpSession();  // closes the session
  SnmpSession(const SnmpSession&) = delete;
  SnmpSession& operator=(const SnmpSession&) = delete;

  // settings: filled by InitSessionSettings and the caller; it is only read
  // (the library copies it) but must stay alive during the call. Returns false
  // when the open or the SNMPv3 discovery failed; the report is printed.
  bool Open(netsnmp_session* settings);

  // Sends one request of type command (SNMP_MSG_GET or SNMP_MSG_GETNEXT) for
  // the single name and waits for the answer without holding the library
  // lock. Returns STAT_SUCCESS with *response set (owned by this object, valid
  // until the next Exchange or Close), STAT_TIMEOUT, STAT_ERROR, or
  // kStatInterrupted when the operator's interrupt came first (nothing is
  // sent once it has come).
  int Exchange(int command, const oid* name, size_t name_length, netsnmp_pdu** response) {
    const SnmpName one = {name, name_length};
    return Exchange(command, &one, 1, 0, response);
  }
  // The same for a request of `count` names, in order; command may also be
  // SNMP_MSG_GETBULK, which asks for that many repetitions (non-repeaters 0).
  int Exchange(int command, const SnmpName* names, size_t count, long repetitions, netsnmp_pdu** response);

  // The library's report of the last failure of this session, prefixed
  // "snmpwalk", on standard error.
  void PrintLibraryError();

  // Prints name with the library's fprint_objid.
  static void PrintObjid(FILE* stream, const oid* name, size_t name_length);

  // True when the last Open or Exchange ended because of the interrupt.
  bool interrupted() const { return interrupted_; }

  // The peer name of the open session (the target text); "" when not open.
  const char* PeerName() const;

  // Closes the session (idempotent) and gives its SNMPv3 key turn back.
  void Close();

  // Fills *settings with the library defaults (snmp_sess_init) under the lock.
  static void InitSessionSettings(netsnmp_session* settings);

  // The session's socket buffers; for the library's transport stand-ins only.
  struct SocketIo;

 private:
  struct Request;
  class KeyLease;

  bool Discover();
  bool InstallUserKey();
  netsnmp_pdu* BuildLocked(int command, const SnmpName* names, size_t count, long repetitions, bool probe);
  int Transact(int command, const SnmpName* names, size_t count, long repetitions, bool probe);
  bool PrepareWaitLocked(int* fd, int* timeout_ms);
  int SendQueued();
  int ReadAhead(int fd);
  void RetireRequest();
  void FreeResponseLocked();

  Api api_;
  void* handle_ = nullptr;              // single-session handle (both APIs)
  netsnmp_session* session_ = nullptr;  // the library's copy of the session
  bool empty_security_name_ = false;    // SNMPv3 without a user name
  bool interrupted_ = false;
  netsnmp_pdu* response_ = nullptr;
  std::unique_ptr<Request> request_;
  std::vector<std::unique_ptr<Request>> orphans_;  // still known to the library
  std::unique_ptr<KeyLease> lease_;
  std::unique_ptr<SocketIo> io_;
  netsnmp_large_fd_set fdset_;
};
