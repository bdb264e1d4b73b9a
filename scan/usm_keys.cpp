#include "scan/usm_keys.h"

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
std::unordered_map<std::string, std::shared_ptr<KeyCacheEntry>> g_keyCache GUARDED_BY(g_keyCacheMutex);

}  // namespace

bool GetMd5AuthKey(const std::string& pass_phrase, SnmpAuthKey* key) {
  std::shared_ptr<KeyCacheEntry> entry;
  {
    platform::MutexLock lock(g_keyCacheMutex);
    auto& slot = g_keyCache[pass_phrase];
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
    entry->ok = generate_Ku(usmHMACMD5AuthProtocol, USM_AUTH_PROTO_MD5_LEN,
                            reinterpret_cast<const u_char*>(pass_phrase.data()), pass_phrase.size(), made.bytes,
                            &made.length) == SNMPERR_SUCCESS;
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
