// A string-keyed map whose iteration order is that of the classic MFC string
// maps, because the result files list rows in that order and operators diff
// them across runs.
//
// Order: 17 buckets that never grow; a key's bucket is a sampled 32-bit FNV-1
// hash of its bytes modulo 17; a new key goes to the head of its bucket's
// chain; iteration walks buckets 0..16, each newest key first. Replacing the
// value of a present key keeps its place.
//
// Lookups go through a separate hash index, so the fixed 17 chains never make
// a lookup linear in the number of rows.
//
// Not thread-safe: one thread writes a map (a job owns its maps).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

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

  size_t GetCount() const { return nodes_.size(); }
  bool IsEmpty() const { return nodes_.empty(); }

  // Exact, byte-for-byte lookup. Returns nullptr when absent.
  const V* Find(std::string_view key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &nodes_[it->second].value;
  }
  bool Lookup(std::string_view key, V* value) const {
    const V* v = Find(key);
    if (v) *value = *v;
    return v != nullptr;
  }

  // Adds the key at the head of its bucket, or replaces the value in place.
  void SetAt(std::string_view key, V value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      nodes_[it->second].value = std::move(value);
      return;
    }
    const unsigned bucket = BucketOf(key);
    const uint32_t id = static_cast<uint32_t>(nodes_.size());
    nodes_.push_back(Node{std::string(key), std::move(value), heads_[bucket]});
    heads_[bucket] = id;
    // Deque elements never move, so the view into the stored key stays valid.
    index_.emplace(std::string_view(nodes_.back().key), id);
  }

  // Calls fn(key, value) for every entry in the map's iteration order.
  template <class Fn>
  void ForEach(Fn&& fn) const {
    for (unsigned b = 0; b < kBucketCount; ++b)
      for (uint32_t n = heads_[b]; n != kNone; n = nodes_[n].next) fn(nodes_[n].key, nodes_[n].value);
  }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;
  struct Node {
    std::string key;
    V value;
    uint32_t next;
  };
  std::deque<Node> nodes_;
  uint32_t heads_[kBucketCount];
  std::unordered_map<std::string_view, uint32_t> index_;
};
