// SNMPv3 user keys: each pass phrase's key made once per process, and the
// turns that sessions take on the library's one key per (engine ID, user).
//
// Thread safety: any thread; nothing here takes the library lock or may be
// called while holding it when it can wait (UsmKeyTurns::Acquire).
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <string>

#include "accounts/accounts.h"
#include "platform/thread_annotations.h"

// The library's object identifiers of the protocols.
struct ProtocolOid {
  const oid* ids;
  size_t length;
};
ProtocolOid AuthProtocolOid(AuthProtocol protocol);
ProtocolOid PrivProtocolOid(PrivProtocol protocol);  // not for kNone

// The key (Ku) of a pass phrase under the hash of an authentication protocol,
// generated once per (protocol, pass phrase) for the whole process (the key
// cache is process-wide state: a key is the same for every target), outside
// the library lock. Privacy keys come from the privacy pass phrase under the
// authentication protocol's hash, so one cache serves both. Returns false
// when the library refuses the pass phrase (for example shorter than 8
// bytes); *key is then unchanged.
struct SnmpAuthKey {
  u_char bytes[USM_AUTH_KU_LEN];
  size_t length = 0;
};
bool GetPassPhraseKey(AuthProtocol protocol, const std::string& pass_phrase, SnmpAuthKey* key);

// How many keys GetPassPhraseKey has derived so far in this process.
size_t PassPhraseKeyDerivations();

// Turns on the library's per-(engine ID, user) key. The library localises a
// key only when it creates the user entry, so a session whose key differs from
// the installed one must wait until no session uses the entry, then replace
// it. Sessions with the same key share it. id names the pair; key stands for
// everything the entry holds (protocols and keys; compared byte for byte).
class UsmKeyTurns {
 public:
  // Waits until the caller may use key for id, then counts it as a holder.
  // Returns true when the caller must install its key and then call
  // FinishInstall (holders of another key wait until then), false when the
  // installed key is already its own.
  bool Acquire(const std::string& id, const std::string& key) EXCLUDES(mutex_);

  // Ends an install that Acquire asked for; ok tells whether the library now
  // holds the key (when not, the next holder installs again).
  void FinishInstall(const std::string& id, bool ok) EXCLUDES(mutex_);

  // Gives a turn back; one call per Acquire.
  void Release(const std::string& id) EXCLUDES(mutex_);

 private:
  struct Entry {
    std::string key;  // the Ku in use; meaningful when valid
    int holders = 0;
    bool ready = true;   // false while a holder installs its key
    bool valid = false;  // the library's entry holds `key`
  };

  bool MayTake(const std::string& id, const std::string& key) const REQUIRES(mutex_);

  platform::Mutex mutex_;  // lock order: platform/thread_annotations.h
  std::condition_variable_any changed_;
  std::map<std::string, Entry> entries_ GUARDED_BY(mutex_);
};

// The turns of every session of the process: process-wide, as the library's
// user table it guards.
extern UsmKeyTurns g_usmKeyTurns;
