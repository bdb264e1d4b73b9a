#include "scan/usm_keys.h"

#include <atomic>
#include <memory>
#include <unordered_map>

UsmKeyTurns g_usmKeyTurns;

namespace {

// ---------------------------------------------------------------------------
// Pass-phrase keys: generate_Ku costs milliseconds of CPU, so each pass phrase
// is hashed once, outside the library lock; concurrent first users of the same
// pass phrase wait for the one computation.
struct KeyCacheEntry {
  platform::Mutex mutex;  // lock order: platform/thread_annotations.h
  bool done GUARDED_BY(mutex) = false;
  bool ok GUARDED_BY(mutex) = false;
  SnmpAuthKey key GUARDED_BY(mutex);
};
platform::Mutex g_keyCacheMutex;  // lock order: platform/thread_annotations.h
// Keyed by the protocol's number, then the pass phrase.
std::unordered_map<std::string, std::shared_ptr<KeyCacheEntry>> g_keyCache
    GUARDED_BY(g_keyCacheMutex);
std::atomic<size_t> g_keyDerivations{0};

}  // namespace

ProtocolOid AuthProtocolOid(AuthProtocol protocol) {
  switch (protocol) {
    case AuthProtocol::kSha:
      return {usmHMACSHA1AuthProtocol, OID_LENGTH(usmHMACSHA1AuthProtocol)};
    case AuthProtocol::kSha224:
      return {usmHMAC128SHA224AuthProtocol, OID_LENGTH(usmHMAC128SHA224AuthProtocol)};
    case AuthProtocol::kSha256:
      return {usmHMAC192SHA256AuthProtocol, OID_LENGTH(usmHMAC192SHA256AuthProtocol)};
    case AuthProtocol::kSha384:
      return {usmHMAC256SHA384AuthProtocol, OID_LENGTH(usmHMAC256SHA384AuthProtocol)};
    case AuthProtocol::kSha512:
      return {usmHMAC384SHA512AuthProtocol, OID_LENGTH(usmHMAC384SHA512AuthProtocol)};
    case AuthProtocol::kMd5:
      break;
  }
  return {usmHMACMD5AuthProtocol, USM_AUTH_PROTO_MD5_LEN};
}

ProtocolOid PrivProtocolOid(PrivProtocol protocol) {
  switch (protocol) {
    case PrivProtocol::kAes:
      return {usmAESPrivProtocol, OID_LENGTH(usmAESPrivProtocol)};
    case PrivProtocol::kAes192:
      return {usmAES192PrivProtocol, OID_LENGTH(usmAES192PrivProtocol)};
    case PrivProtocol::kAes256:
      return {usmAES256PrivProtocol, OID_LENGTH(usmAES256PrivProtocol)};
    case PrivProtocol::kAes192Cisco:
      return {usmAES192CiscoPrivProtocol, OID_LENGTH(usmAES192CiscoPrivProtocol)};
    case PrivProtocol::kAes256Cisco:
      return {usmAES256CiscoPrivProtocol, OID_LENGTH(usmAES256CiscoPrivProtocol)};
    case PrivProtocol::kDes:
    case PrivProtocol::kNone:
      break;
  }
  return {usmDESPrivProtocol, USM_PRIV_PROTO_DES_LEN};
}

size_t PassPhraseKeyDerivations() { return g_keyDerivations.load(); }

bool GetPassPhraseKey(AuthProtocol protocol, const std::string& pass_phrase, SnmpAuthKey* key) {
  std::shared_ptr<KeyCacheEntry> entry;
  {
    platform::MutexLock lock(g_keyCacheMutex);
    auto& slot = g_keyCache[std::to_string(static_cast<int>(protocol)) + '\0' + pass_phrase];
    if (!slot) slot = std::make_shared<KeyCacheEntry>();
    entry = slot;
  }
  platform::MutexLock lock(entry->mutex);
  if (!entry->done && pass_phrase.size() < USM_LENGTH_P_MIN) {
    // Refused here rather than by generate_Ku, which would log through the
    // library's shared log handlers outside the library lock.
    entry->done = true;
    entry->ok = false;
  }
  if (!entry->done) {
    SnmpAuthKey made;
    made.length = sizeof made.bytes;
    const ProtocolOid hash = AuthProtocolOid(protocol);
    ++g_keyDerivations;
    entry->ok = generate_Ku(hash.ids, static_cast<u_int>(hash.length),
                            reinterpret_cast<const u_char*>(pass_phrase.data()), pass_phrase.size(),
                            made.bytes, &made.length) == SNMPERR_SUCCESS;
    if (entry->ok) entry->key = made;
    entry->done = true;
  }
  if (entry->ok) *key = entry->key;
  return entry->ok;
}

bool UsmKeyTurns::MayTake(const std::string& id, const std::string& key) const {
  auto it = entries_.find(id);
  if (it == entries_.end()) return true;
  const Entry& e = it->second;
  return e.ready && (e.holders == 0 || (e.valid && e.key == key));
}

bool UsmKeyTurns::Acquire(const std::string& id, const std::string& key) {
  platform::MutexLock lock(mutex_);
  while (!MayTake(id, key)) changed_.wait(lock);
  Entry& e = entries_[id];
  ++e.holders;
  if (e.valid && e.key == key) return false;
  e.key = key;
  e.ready = false;
  e.valid = false;
  return true;
}

void UsmKeyTurns::FinishInstall(const std::string& id, bool ok) {
  platform::MutexLock lock(mutex_);
  Entry& e = entries_[id];
  e.ready = true;
  e.valid = ok;
  changed_.notify_all();
}

void UsmKeyTurns::Release(const std::string& id) {
  platform::MutexLock lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  if (--it->second.holders == 0) changed_.notify_all();
}
