#include "platform/string_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Keys(const CStringMap<std::string>& m) {
  std::vector<std::string> keys;
  m.ForEach([&](std::string_view k, const std::string&) { keys.emplace_back(k); });
  return keys;
}

TEST(StringMap, BucketsOfKnownKeys) {
  EXPECT_EQ(CStringMap<int>::BucketOf("1.3.6.1.2.1.1.3.0"), 4u);
  EXPECT_EQ(CStringMap<int>::BucketOf("1.3.6.1.2.1.1.1.0"), 11u);
  EXPECT_EQ(CStringMap<int>::BucketOf("1.3.6.1.2.1.1.5.0"), 16u);
  // Up to 9 ASCII characters the hash is the published 32-bit FNV-1.
  EXPECT_EQ(CStringMap<int>::HashKey(""), 2166136261u);
  EXPECT_EQ(CStringMap<int>::HashKey("a"), 0x050c5d7eu);
  EXPECT_EQ(CStringMap<int>::HashKey("foobar"), 0x31f0b262u);
  // Bytes above 0x7F count as negative (sign-extended).
  EXPECT_EQ(CStringMap<int>::HashKey("\xff"), (2166136261u * 16777619u) ^ 0xFFFFFFFFu);
}

TEST(StringMap, IteratesInBucketOrderWhateverTheInsertionOrder) {
  CStringMap<std::string> m;
  m.SetAt("1.3.6.1.2.1.1.5.0", "five");
  m.SetAt("1.3.6.1.2.1.1.1.0", "one");
  m.SetAt("1.3.6.1.2.1.1.3.0", "three");
  EXPECT_EQ(Keys(m), (std::vector<std::string>{"1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.1.0",
                                               "1.3.6.1.2.1.1.5.0"}));
}

TEST(StringMap, SharedBucketNewestFirstAndReplacementInPlace) {
  // Find three keys that share one bucket.
  std::vector<std::string> same;
  const unsigned bucket = CStringMap<int>::BucketOf("1.3.6.1.2.1.1.3.0");
  for (int i = 0; same.size() < 3; ++i) {
    std::string k = "1.3.6.1.2.1.2.2.1." + std::to_string(i);
    if (CStringMap<int>::BucketOf(k) == bucket) same.push_back(k);
  }
  CStringMap<std::string> m;
  for (const auto& k : same) m.SetAt(k, "old");
  EXPECT_EQ(Keys(m), (std::vector<std::string>{same[2], same[1], same[0]}));

  m.SetAt(same[0], "new");  // replaced in place: the order does not change
  EXPECT_EQ(Keys(m), (std::vector<std::string>{same[2], same[1], same[0]}));
  EXPECT_EQ(m.GetCount(), 3u);
  EXPECT_EQ(*m.Find(same[0]), "new");
}

TEST(StringMap, EmptyKeyAndExactLookup) {
  CStringMap<intptr_t> m;
  EXPECT_TRUE(m.IsEmpty());
  intptr_t v = 0;
  EXPECT_FALSE(m.Lookup("", &v));
  m.SetAt("", 3);
  ASSERT_TRUE(m.Lookup("", &v));
  EXPECT_EQ(v, 3);
  m.SetAt("Ab", 1);
  EXPECT_EQ(m.Find("ab"), nullptr);
  EXPECT_EQ(m.Find("Ab "), nullptr);
  EXPECT_EQ(m.GetCount(), 2u);
}

// The map keeps its own copy of every key, whatever its size or bytes: the
// caller's strings are gone by the time the keys are read back.
TEST(StringMap, KeysAreCopiesOfAnySizeAndBytes) {
  std::vector<std::string> want = {"", "1", std::string("a\0b", 3), std::string(64 * 1024 + 1, 'k'),
                                   std::string(200000, 'z')};
  for (int i = 0; i < 3000; ++i) want.push_back("1.3.6.1.2.1.31.1.1.1." + std::to_string(i));
  CStringMap<intptr_t> m;
  for (size_t i = 0; i < want.size(); ++i) m.SetAt(std::string(want[i]), static_cast<intptr_t>(i));
  std::vector<std::string> got;
  m.ForEach([&](std::string_view k, intptr_t v) {
    ASSERT_LT(static_cast<size_t>(v), want.size());
    EXPECT_EQ(k, want[static_cast<size_t>(v)]) << v;
    got.emplace_back(k);
  });
  EXPECT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const intptr_t* v = m.Find(want[i]);
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(*v, static_cast<intptr_t>(i));
  }
}

TEST(StringMap, ManyRowsKeepEveryKeyOnce) {
  CStringMap<std::string> m;
  for (int i = 0; i < 20000; ++i) m.SetAt("1.3.6.1.4.1." + std::to_string(i), std::to_string(i));
  for (int i = 0; i < 20000; i += 2) m.SetAt("1.3.6.1.4.1." + std::to_string(i), "again");
  EXPECT_EQ(m.GetCount(), 20000u);
  size_t seen = 0;
  unsigned last_bucket = 0;
  m.ForEach([&](std::string_view k, const std::string&) {
    unsigned b = CStringMap<std::string>::BucketOf(k);
    EXPECT_GE(b, last_bucket) << k;
    last_bucket = b;
    ++seen;
  });
  EXPECT_EQ(seen, 20000u);
}

}  // namespace

namespace {

// Lookups through the index: every stored key is found with its own value,
// absent keys (prefixes, extensions, near misses) are not, and a value's
// address stays put while the index grows.
TEST(StringMap, IndexFindsExactlyTheStoredKeys) {
  CStringMap<std::string> m;
  m.SetAt("1.3.6.1.2.1.1.1.0", "first");
  const std::string* first = m.Find("1.3.6.1.2.1.1.1.0");
  ASSERT_NE(first, nullptr);
  std::vector<std::string> keys;
  for (int i = 0; i < 5000; ++i)
    keys.push_back("1.3.6.1.2.1.2.2.1." + std::to_string(i % 22) + "." + std::to_string(i));
  for (const auto& k : keys) m.SetAt(k, "v" + k);
  EXPECT_EQ(first, m.Find("1.3.6.1.2.1.1.1.0"));
  EXPECT_EQ(*first, "first");
  for (const auto& k : keys) {
    const std::string* v = m.Find(k);
    ASSERT_NE(v, nullptr) << k;
    EXPECT_EQ(*v, "v" + k);
  }
  for (const std::string& absent : std::vector<std::string>{
           "", "1.3.6.1.2.1.2.2.1", "1.3.6.1.2.1.2.2.1.0.0.", "1.3.6.1.2.1.2.2.1.0.00",
           "1.3.6.1.2.1.2.2.1.0.5000", "x", std::string("1.3.6.1.2.1.1.1.0\0", 18)})
    EXPECT_EQ(m.Find(absent), nullptr) << absent;
  EXPECT_EQ(m.GetCount(), keys.size() + 1);
}

// A tail lies right behind the stored key; a new tail of a present key
// replaces it without moving the key in the order, and no tail leaves the
// last one where it was.
TEST(StringMap, TailsBehindTheirKeys) {
  CStringMap<size_t> m;  // value: the tail's size
  auto tail = [&](const std::string& key) {
    std::string_view stored;
    const size_t* size = m.Find(key, &stored);
    EXPECT_NE(size, nullptr) << key;
    EXPECT_EQ(stored, key);
    return size ? std::string(CStringMap<size_t>::TailOf(stored, *size)) : "";
  };
  m.SetAt("1.3.6.1.2.1.1.5.0", 4, "host");
  m.SetAt("", 5, "empty");
  m.SetAt("1.3.6.1.2.1.1.1.0", 0);
  const std::string big(100 * 1024, 'x');  // beyond a block
  m.SetAt("1.3.6.1.2.1.1.3.0", big.size(), big);
  EXPECT_EQ(tail("1.3.6.1.2.1.1.5.0"), "host");
  EXPECT_EQ(tail(""), "empty");
  EXPECT_EQ(tail("1.3.6.1.2.1.1.1.0"), "");
  EXPECT_EQ(tail("1.3.6.1.2.1.1.3.0"), big);

  std::vector<std::string> before;
  m.ForEach([&](std::string_view k, const size_t&) { before.emplace_back(k); });
  m.SetAt("1.3.6.1.2.1.1.5.0", 8, "new host");
  m.SetAt("", 0);
  std::vector<std::string> after;
  m.ForEach([&](std::string_view k, const size_t& size) {
    after.emplace_back(k);
    if (k == "1.3.6.1.2.1.1.5.0") {
      EXPECT_EQ(CStringMap<size_t>::TailOf(k, size), "new host");
    }
  });
  EXPECT_EQ(after, before);
  EXPECT_EQ(tail(""), "");
  EXPECT_EQ(m.GetCount(), 4u);
}

}  // namespace
