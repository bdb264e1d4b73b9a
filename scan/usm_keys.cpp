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
  std::mutex mutex;
  bool done = false;
  bool ok = false;
  SnmpAuthKey key;
};
std::mutex g_keyCacheMutex;
std::unordered_map<std::string, std::shared_ptr<KeyCacheEntry>> g_keyCache;

}  // namespace

bool GetMd5AuthKey(const std::string& pass_phrase, SnmpAuthKey* key) {
  std::shared_ptr<KeyCacheEntry> entry;
  {
    std::lock_guard<std::mutex> lock(g_keyCacheMutex);
    auto& slot = g_keyCache[pass_phrase];
    if (!slot) slot = std::make_shared<KeyCacheEntry>();
    entry = slot;
  }
  std::lock_guard<std::mutex> lock(entry->mutex);
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

bool UsmKeyTurns::Acquire(const std::string& id, const std::string& key) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    auto it = entries_.find(id);
    if (it == entries_.end()) return true;
    const Entry& e = it->second;
    return e.ready && (e.holders == 0 || (e.valid && e.key == key));
  });
  Entry& e = entries_[id];
  ++e.holders;
  if (e.valid && e.key == key) return false;
  e.key = key;
  e.ready = false;
  e.valid = false;
  return true;
}

void UsmKeyTurns::FinishInstall(const std::string& id, bool ok) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& e = entries_[id];
  e.ready = true;
  e.valid = ok;
  changed_.notify_all();
}

void UsmKeyTurns::Release(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  if (--it->second.holders == 0) changed_.notify_all();
}
