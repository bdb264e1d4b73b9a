// What the walk loop needs of an SNMP session: open it, exchange one request
// for one answer, learn why a step failed, close it. SnmpSession
// (scan/snmp_session.h) is the one that talks to agents; the walk loop's unit
// test answers from a script instead.
//
// Thread safety: one object belongs to one thread. None of its functions may
// be called with the library lock (scan/snmp_setup.h) held.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "scan/usm_report.h"

// How one exchange ended: an answer, a failure the library reports, no answer
// within the retries, or a wait cut short by the operator's interrupt or at
// the target's deadline.
enum class ExchangeStatus { kSuccess, kError, kTimeout, kInterrupted, kDeadline };

// What a session is opened for.
struct SnmpTarget {
  std::string peer;    // the target text, as the library parses it
  int version = 1;     // 1, 2 (v2c) or 3
  int timeout_us = 0;  // per try
  int retries = 0;
  std::string community;    // versions 1 and 2
  std::string user;         // version 3; empty: noAuth, no user name
  std::string pass_phrase;  // version 3 with a user: authentication
  AuthProtocol auth_protocol = AuthProtocol::kMd5;
  PrivProtocol priv_protocol = PrivProtocol::kNone;  // kNone: authNoPriv, else authPriv
  std::string priv_pass_phrase;
  // No wait runs past it; the clock's epoch: none.
  std::chrono::steady_clock::time_point deadline{};
};

// One variable name of a request (not owned).
struct SnmpName {
  const oid* ids;
  size_t length;
};

class SnmpExchange {
 public:
  virtual ~SnmpExchange() = default;

  enum class OpenStatus { kOpen, kBadPassPhrase, kBadPrivPassPhrase, kFailed, kDeadline };

  // Opens the session for target. kBadPassPhrase, kBadPrivPassPhrase: that
  // pass phrase gives no key (see GetPassPhraseKey); nothing was opened and
  // nothing printed.
  // kFailed: the open or the SNMPv3 discovery failed; the report is printed.
  // kDeadline: the target's deadline came before the SNMPv3 discovery's
  // answer; nothing is open and nothing printed.
  virtual OpenStatus Open(const SnmpTarget& target) = 0;

  // Sends one request of type command (SNMP_MSG_GET, SNMP_MSG_GETNEXT or
  // SNMP_MSG_GETBULK, which asks for `repetitions` repetitions with
  // non-repeaters 0) for the `count` names, in order, and waits for the
  // answer. Returns kSuccess with *response set (owned by this object,
  // valid until the next Exchange or Close), kTimeout, kError,
  // kInterrupted when the operator's interrupt came first (nothing is
  // sent once it has come), or kDeadline when the target's deadline
  // came first (nothing is sent once it has passed).
  virtual ExchangeStatus Exchange(int command, const SnmpName* names, size_t count,
                                  long repetitions, netsnmp_pdu** response) = 0;

  // Several requests at once on the session: Post sends one request as
  // Exchange does, without waiting, and names it by *ticket. Returns
  // kSuccess once it is under way (a send that fails shows in Collect), or
  // kError (no session), kInterrupted or kDeadline with nothing sent.
  virtual ExchangeStatus Post(int command, const SnmpName* names, size_t count, long repetitions,
                              int* ticket);

  // Waits until one posted request ends and says which in *ticket, with
  // the status and *response that Exchange would give for it (valid until
  // the next Collect, Exchange or Close). kInterrupted or kDeadline: *ticket
  // -1, the posted requests stay posted. kError with *ticket -1: nothing is
  // posted. This default sends the posted requests one after another
  // through Exchange, so an exchange that cannot overlap requests still
  // serves a caller that posts several.
  virtual ExchangeStatus Collect(int* ticket, netsnmp_pdu** response);

  // The library's report of the last failure of this session, prefixed
  // "snmpwalk", on standard error.
  virtual void PrintLibraryError() = 0;

  // The library's error number (SNMPERR_...) and text of the last report
  // printed by Open or PrintLibraryError; 0 and "" before any.
  virtual int error_code() const = 0;
  virtual const std::string& error_text() const = 0;

  // True when the last Open or Exchange ended because of the interrupt.
  virtual bool interrupted() const = 0;

  // The USM report that ended the last Open or Exchange; kNone when none did
  // (the engine-ID probe's expected unknownEngineID report does not count).
  virtual UsmReport usm_report() const = 0;

  // Closes the session (idempotent).
  virtual void Close() = 0;

 private:
  // The default Post and Collect: requests not yet sent, oldest first.
  struct Queued {
    int ticket;
    int command;
    std::vector<std::vector<oid>> names;
    long repetitions;
  };
  std::deque<Queued> queued_;
  int next_ticket_ = 1;
};
