// One SNMP session of one walk, safe to use from many scan threads at once.
//
// Every library call runs under the library lock (scan/snmp_setup.h), and no
// thread holds that lock while it waits for an agent: a request is sent under
// the lock, its socket is polled without it, and the answer is read (or the
// time-out processed) under it again. SNMPv3 engine-ID discovery goes through
// the same exchange instead of the library's blocking probe.
//
// Thread safety: one SnmpSession belongs to one thread; the static members may
// be called from any thread. None may be called with the library lock held.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "scan/snmp_exchange.h"
#include "scan/socket_io.h"
#include "scan/usm_user.h"

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
// parses are the same; see scan/socket_io.h).
//
// Waits end early at the operator's interrupt (platform/interrupt.h) and at
// the target's deadline.
//
// Failures write the library's own report, prefixed "snmpwalk", on standard
// error (through output/console.h); the caller adds its own log line. A
// failure caused by the interrupt prints nothing and sets interrupted().
// The report's number and text stay readable through error_code() and
// error_text() until the next report.
class SnmpSession : public SnmpExchange {
 public:
  enum class Api { kTraditional, kSingleSession };

  explicit SnmpSession(Api api);
  ~SnmpSession();  // closes the session
  SnmpSession(const SnmpSession&) = delete;
  SnmpSession& operator=(const SnmpSession&) = delete;

  OpenStatus Open(const SnmpTarget& target) override;
  ExchangeStatus Exchange(int command, const SnmpName* names, size_t count, long repetitions,
                          netsnmp_pdu** response) override;
  // Posted requests share the socket; answers find their request by its id.
  ExchangeStatus Post(int command, const SnmpName* names, size_t count, long repetitions,
                      int* ticket) override;
  ExchangeStatus Collect(int* ticket, netsnmp_pdu** response) override;
  void PrintLibraryError() override;
  int error_code() const override { return error_code_; }
  const std::string& error_text() const override { return error_text_; }
  bool interrupted() const override { return interrupted_; }
  UsmReport usm_report() const override { return usm_report_; }

  // Prints name with the library's fprint_objid.
  static void PrintObjid(FILE* stream, const oid* name, size_t name_length);

  // The peer name of the open session (the target text); "" when not open.
  const char* PeerName() const;

  // Closes the session (idempotent) and gives its SNMPv3 key turn back.
  void Close() override;

 private:
  struct Request;

  // Takes the report of s (its number and the library's text, which lives in
  // shared buffers) under the held library lock; PrintError prints it
  // after the lock is released.
  void CaptureErrorLocked(netsnmp_session* s);
  void PrintError() const;
  bool OpenWith(netsnmp_session* settings);
  bool Discover();
  netsnmp_pdu* BuildLocked(int command, const SnmpName* names, size_t count, long repetitions,
                           bool probe);
  ExchangeStatus Transact(int command, const SnmpName* names, size_t count, long repetitions,
                          bool probe);
  // Sends r's request; false when the interrupt or the deadline came first.
  bool Send(Request* r, int command, const SnmpName* names, size_t count, long repetitions,
            bool probe, int* fd, int* timeout_ms);
  // Waits until one of watch is no longer waiting, the interrupt or the
  // deadline.
  void Wait(const std::vector<Request*>& watch, int fd, int timeout_ms, bool probe);
  // The answer or failure of r, which has ended, as Exchange gives it.
  ExchangeStatus Finish(Request* r);
  bool PrepareWaitLocked(int* fd, int* timeout_ms);
  // -1 without a deadline, 0 once it has passed, else the milliseconds left.
  int MillisecondsToDeadline() const;
  void RetireRequest();
  void Retire(std::unique_ptr<Request> r);
  void FreeResponseLocked();

  Api api_;
  void* handle_ = nullptr;              // single-session handle (both APIs)
  netsnmp_session* session_ = nullptr;  // the library's copy of the session
  bool empty_security_name_ = false;    // SNMPv3 without a user name
  bool interrupted_ = false;
  std::chrono::steady_clock::time_point deadline_{};  // the target's; the epoch: none
  bool deadline_cut_ = false;  // the last Open or Exchange ended at the deadline
  int error_code_ = 0;
  std::string error_text_;
  UsmReport usm_report_ = UsmReport::kNone;
  netsnmp_pdu* response_ = nullptr;
  std::unique_ptr<Request> request_;
  std::vector<std::unique_ptr<Request>> orphans_;  // still known to the library
  std::vector<std::unique_ptr<Request>> posted_;   // oldest first
  int next_ticket_ = 1;
  std::unique_ptr<UsmKeyLease> lease_;
  std::unique_ptr<SocketIo> io_;
  netsnmp_large_fd_set fdset_;
};
