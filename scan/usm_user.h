// The library's user entry of an SNMPv3 session with a user name: installed
// with the session's own key, in turns with the sessions of the same engine ID
// and user that hold another key (scan/usm_keys.h).
//
// Thread safety: any thread, without the library lock held.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <memory>
#include <string>

// A session's turn at the user entry of (engine ID, user); given back when
// it is destroyed.
class UsmKeyLease {
 public:
  explicit UsmKeyLease(std::string id) : id_(std::move(id)) {}
  ~UsmKeyLease();
  UsmKeyLease(const UsmKeyLease&) = delete;
  UsmKeyLease& operator=(const UsmKeyLease&) = delete;

 private:
  std::string id_;
};

// Makes the library's entry for session's engine ID and user hold session's
// key, waiting for its turn; *lease holds the turn until the session closes.
// Without a user name there is nothing to install. Returns false, with
// session->s_snmp_errno set, when the library refused the entry. session has
// discovered its engine ID.
bool InstallUsmUser(netsnmp_session* session, std::unique_ptr<UsmKeyLease>* lease);
