#include "app/target_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "app/command_line.h"
#include "platform/hash.h"
#include "support/test_util.h"

namespace {

std::vector<std::string> Read(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> targets;
  std::string error;
  EXPECT_TRUE(ReadTargetList(in, &targets, &error)) << error;
  return targets;
}

TEST(TargetList, LinesTable) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> targets;
  };
  const Case cases[] = {
      {"empty file", "", {}},
      {"one line without end", "10.0.0.1", {"10.0.0.1"}},
      {"LF ends", "a\nb\n", {"a", "b"}},
      {"CR LF ends", "a\r\nb\r\n", {"a", "b"}},
      {"blanks trimmed", " \ta:161 \t\r\n", {"a:161"}},
      {"blank lines skipped", "\n\r\n  \n\t\na\n\n", {"a"}},
      {"comments skipped", "# fleet\na\n#b\n", {"a"}},
      {"indented comment skipped", "  # note\r\na\n", {"a"}},
      {"# inside a line is kept", "a#1\n", {"a#1"}},
      {"commas are not split", "a,b\n", {"a,b"}},
      {"duplicates kept in order", "b\na\nb\n", {"b", "a", "b"}},
      {"lone CR is not an end", "a\rb\n", {"a\rb"}},
      {"last line without end", "a\nb", {"a", "b"}},
      {"NUL kept for the validation to judge", std::string("a\0b\n", 4), {std::string("a\0b", 3)}},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.text), c.targets) << c.name;
}

TEST(TargetList, LinesAcrossReadBlocks) {
  // Lines that straddle the reader's block boundaries arrive whole.
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 20000; ++i) {
    expected.push_back("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) +
                       "." + std::to_string(i % 256) + ":" + std::to_string(1024 + i % 7));
    text += expected.back() + (i % 3 ? "\r\n" : "\n");
  }
  EXPECT_EQ(Read(text), expected);
}

TEST(TargetList, OverlongLineRefusedByNumber) {
  for (size_t extra : {0u, 1u}) {
    std::string longest(kMaxTargetLineBytes + extra, 'a');
    std::istringstream in("x\ny\n" + longest + "\nz\n");
    std::vector<std::string> targets;
    std::string error;
    const bool ok = ReadTargetList(in, &targets, &error);
    if (extra == 0) {
      EXPECT_TRUE(ok) << error;
      EXPECT_EQ(targets.size(), 4u);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find("line 3"), std::string::npos) << error;
      EXPECT_EQ(targets, (std::vector<std::string>{"x", "y"}));
    }
  }
}

TEST(TargetList, FileErrorsNameTheFile) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "list.txt", "# two\na\r\n\r\nb\r\n");
  std::vector<std::string> targets;
  std::string error;
  ASSERT_TRUE(ReadTargetFile(dir / "list.txt", &targets, &error)) << error;
  EXPECT_EQ(targets, (std::vector<std::string>{"a", "b"}));

  for (const std::string& bad : {dir / "missing.txt", dir.path()}) {
    targets.clear();
    EXPECT_FALSE(ReadTargetFile(bad, &targets, &error)) << bad;
    EXPECT_EQ(error.rfind(bad + ": ", 0), 0u) << error;
    EXPECT_TRUE(targets.empty());
  }
}

TEST(TargetList, Fnv1a64KnownValues) {
  // Published FNV-1a 64-bit test vectors: any machine must agree on them.
  EXPECT_EQ(platform::Fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(platform::Fnv1a64("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(platform::Fnv1a64("foobar"), 0x85944171f73967e8ull);
  // The shard is hash % N + 1.
  EXPECT_EQ(ShardOf("a", 2), 1u);
  EXPECT_EQ(ShardOf("a", 3), 2u);
  EXPECT_EQ(ShardOf("", 16), 6u);  // low nibble 0x5
  EXPECT_EQ(ShardOf("foobar", 7), 7u);
}

void ExpectShardsCoverOnceAndBalance(const std::vector<std::string>& fleet,
                                     const std::string& kind) {
  for (uint32_t n = 1; n <= 7; ++n) {
    std::vector<int> owners(fleet.size(), 0);
    std::vector<size_t> sizes;
    for (uint32_t k = 1; k <= n; ++k) {
      RunOptions options;
      options.shard = k;
      options.shard_count = n;
      std::vector<std::string> mine;
      std::string error;
      ASSERT_TRUE(AssembleTargets(options, fleet, &mine, &error)) << error;
      // Order is kept, so each kept target is found walking the fleet forward.
      size_t at = 0;
      for (const auto& t : mine) {
        while (at < fleet.size() && fleet[at] != t) ++at;
        ASSERT_LT(at, fleet.size())
            << kind << ": shard " << k << "/" << n << " out of order or foreign: " << t;
        ++owners[at++];
      }
      sizes.push_back(mine.size());
    }
    EXPECT_TRUE(std::all_of(owners.begin(), owners.end(), [](int o) { return o == 1; }))
        << kind << " N=" << n;
    const auto [lo, hi] = std::minmax_element(sizes.begin(), sizes.end());
    EXPECT_LE(static_cast<double>(*hi - *lo), 0.1 * static_cast<double>(*lo)) << kind << " N=" << n;
  }
}

TEST(TargetList, ShardsCoverEveryTargetOnceAndBalance) {
  std::vector<std::string> addresses, names;
  for (int i = 0; i < 10000; ++i) {
    addresses.push_back("10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) +
                        "." + std::to_string(i % 256));
    names.push_back("sw" + std::to_string(i) + ".site" + std::to_string(i % 13) +
                    ".example.net:161");
  }
  ExpectShardsCoverOnceAndBalance(addresses, "addresses");
  ExpectShardsCoverOnceAndBalance(names, "host names");
}

TEST(TargetList, FileTargetsComeFirst) {
  testutil::TempDir dir;
  testutil::WriteFile(dir / "list.txt", "f1\nf2\n");
  RunOptions options;
  options.targets_file = dir / "list.txt";
  std::vector<std::string> targets;
  std::string error;
  ASSERT_TRUE(AssembleTargets(options, {"c1", ""}, &targets, &error)) << error;
  EXPECT_EQ(targets, (std::vector<std::string>{"f1", "f2", "c1", ""}));

  options.targets_file = dir / "none.txt";
  EXPECT_FALSE(AssembleTargets(options, {"c1"}, &targets, &error));
  EXPECT_EQ(error.rfind("--targets: " + dir / "none.txt", 0), 0u) << error;
}

}  // namespace
