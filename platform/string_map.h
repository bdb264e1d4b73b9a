// A string-keyed map whose iteration order is that of the classic MFC string
// maps, because the result files list rows in that order and operators diff
// them across runs.
//
// Order: 17 buckets that never grow; a key's bucket is a sampled 32-bit FNV-1
// hash of its bytes modulo 17; a new key goes to the head of its bucket's
// chain; iteration walks buckets 0..16, each newest key first. Replacing the
// value of a present key keeps its place.
//
// Lookups go through a separate open-addressing index on a full hash of the
// key, so the fixed 17 chains never make a lookup linear in the number of
// rows, and an insert hashes the key once.
//
// Keys are copied into blocks of the map's own that never move (a result
// holds thousands of OIDs, each too long for a string's inline buffer), each
// with an optional tail of text right behind it that a value may stand for
// (TailOf), so an entry with a text costs no allocation of its own.
//
// Not thread-safe: one thread writes a map (a job owns its maps).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

template <class V>
class CStringMap {
 public:
  static constexpr unsigned kBucketCount = 17;

  // The sampled FNV-1 hash: every (len / 10 + 1)-th byte, each taken as a
  // signed 8-bit value sign-extended to 32 bits.
  static uint32_t HashKey(std::string_view key) {
    uint32_t hash = 2166136261u;
    const size_t step = key.size() / 10 + 1;
    for (size_t i = 0; i < key.size(); i += step) {
      hash *= 16777619u;
      hash ^= static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(key[i])));
    }
    return hash;
  }
  static unsigned BucketOf(std::string_view key) { return HashKey(key) % kBucketCount; }

  CStringMap() {
    for (auto& h : heads_) h = kNone;
  }
  CStringMap(const CStringMap&) = delete;
  CStringMap& operator=(const CStringMap&) = delete;
  // Keys stay where they are: their blocks move with the map.
  CStringMap(CStringMap&&) = default;
  CStringMap& operator=(CStringMap&&) = default;

  size_t GetCount() const { return nodes_.size(); }
  bool IsEmpty() const { return nodes_.empty(); }

  // Exact, byte-for-byte lookup. Returns nullptr when absent. The pointer
  // stays valid until the map is destroyed; so does *stored_key (if given),
  // the map's own copy of key, behind which its tail lies.
  const V* Find(std::string_view key, std::string_view* stored_key = nullptr) const {
    const uint32_t id = FindId(key, IndexHash(key));
    if (id == kNone) return nullptr;
    if (stored_key) *stored_key = nodes_[id].Key();
    return &nodes_[id].value;
  }
  bool Lookup(std::string_view key, V* value) const {
    const V* v = Find(key);
    if (v) *value = *v;
    return v != nullptr;
  }

  // Adds the key at the head of its bucket, or replaces the value in place.
  // tail is stored right behind the key's bytes, replacing any earlier
  // tail of the key (whose bytes stay until the map goes).
  void SetAt(std::string_view key, V value, std::string_view tail = {}) {
    const uint32_t hash = IndexHash(key);
    size_t slot = 0;
    const uint32_t found = FindId(key, hash, &slot);
    if (found != kNone) {
      Node& node = nodes_[found];
      if (!tail.empty()) node.key = StoreKey(key, tail);
      node.value = std::move(value);
      return;
    }
    const unsigned bucket = BucketOf(key);
    const uint32_t id = static_cast<uint32_t>(nodes_.size());
    if (key.size() > UINT32_MAX) throw std::length_error("CStringMap: key too long");
    nodes_.push_back(Node{StoreKey(key, tail), static_cast<uint32_t>(key.size()), heads_[bucket],
                          hash, std::move(value)});
    heads_[bucket] = id;
    if ((nodes_.size() + 1) * 2 > slots_.size()) {
      Grow();
    } else {
      slots_[slot] = id;
    }
  }

  // Calls fn(key, value) for every entry in the map's iteration order; key is
  // a std::string_view valid as long as the map.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    for (unsigned b = 0; b < kBucketCount; ++b)
      for (uint32_t n = heads_[b]; n != kNone; n = nodes_[n].next)
        fn(nodes_[n].Key(), nodes_[n].value);
  }

  // The size bytes stored behind key (a view of the map's own copy: ForEach's
  // or Find's) by the SetAt that stored the entry's value; size: that tail's
  // length, which the caller keeps.
  static std::string_view TailOf(std::string_view key, size_t size) {
    return {key.data() + key.size(), size};
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  // Small: a result holds one per row.
  struct Node {
    const char* key;  // in key_blocks_, its tail behind it
    uint32_t key_size;
    uint32_t next;  // older key of the same bucket
    uint32_t hash;  // IndexHash(key)
    V value;
    std::string_view Key() const { return {key, key_size}; }
  };

  // A copy of key and tail, one behind the other, in the current block, or
  // in a new one (each twice the size of the last, up to 64 KiB) when they
  // do not fit.
  const char* StoreKey(std::string_view key, std::string_view tail) {
    const size_t size = key.size() + tail.size();
    if (size > block_left_) {
      block_size_ = std::max(size, std::min<size_t>(block_size_ * 2, 64 * 1024));
      key_blocks_.emplace_back(new char[block_size_]);
      block_next_ = key_blocks_.back().get();
      block_left_ = block_size_;
    }
    char* stored = block_next_;
    if (!key.empty()) memcpy(stored, key.data(), key.size());
    if (!tail.empty()) memcpy(stored + key.size(), tail.data(), tail.size());
    block_next_ += size;
    block_left_ -= size;
    return stored;
  }

  // The index's own hash: every byte counts, eight at a time.
  static uint32_t IndexHash(std::string_view key) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ key.size();
    const char* p = key.data();
    size_t n = key.size();
    for (; n >= 8; p += 8, n -= 8) {
      uint64_t w;
      memcpy(&w, p, 8);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    }
    if (n > 0) {
      uint64_t w = 0;
      memcpy(&w, p, n);
      h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    }
    h ^= h >> 29;
    h *= 0xC4CEB9FE1A85EC53ull;
    return static_cast<uint32_t>(h >> 32);
  }

  // The node holding key, or kNone; *empty_slot gets the slot where the
  // key would go.
  uint32_t FindId(std::string_view key, uint32_t hash, size_t* empty_slot = nullptr) const {
    if (slots_.empty()) return kNone;
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const uint32_t id = slots_[i];
      if (id == kNone) {
        if (empty_slot) *empty_slot = i;
        return kNone;
      }
      const Node& n = nodes_[id];
      if (n.hash == hash && n.Key() == key) return id;
    }
  }

  // Doubles the index (at least 64 slots), keeping it at most half full.
  void Grow() {
    std::vector<uint32_t> slots(slots_.empty() ? 64 : slots_.size() * 2, kNone);
    const size_t mask = slots.size() - 1;
    for (uint32_t id = 0; id < nodes_.size(); ++id) {
      size_t i = nodes_[id].hash & mask;
      while (slots[i] != kNone) i = (i + 1) & mask;
      slots[i] = id;
    }
    slots_.swap(slots);
  }

  std::deque<Node> nodes_;
  uint32_t heads_[kBucketCount];
  std::vector<uint32_t> slots_;  // node ids, kNone when free; size a power of two
  std::vector<std::unique_ptr<char[]>> key_blocks_;
  char* block_next_ = nullptr;
  size_t block_left_ = 0;
  size_t block_size_ = 128;  // of the newest block
};
