#include "scan/peer_name.h"

#include <gtest/gtest.h>

#include "support/test_util.h"

namespace {

struct PeerCase {
  const char* peer;
  const char* expected;
};

TEST(NumericPeerNameTest, ResolvesTheHostAndKeepsTransportAndPort) {
  if (!testutil::LocalhostResolves())
    GTEST_SKIP() << "\"localhost\" has no IPv4 address in /etc/hosts on this machine";
  const PeerCase cases[] = {
      {"localhost", "127.0.0.1"},           {"localhost:1161", "127.0.0.1:1161"},
      {"LocalHost:1161", "127.0.0.1:1161"}, {"udp:localhost:1161", "udp:127.0.0.1:1161"},
      {"TCP:localhost", "TCP:127.0.0.1"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumericPeerName(c.peer), c.expected) << c.peer;
}

TEST(NumericPeerNameTest, LeavesNumericAndUnresolvedPeersAsGiven) {
  const PeerCase cases[] = {
      {"127.0.0.5:161", "127.0.0.5:161"},
      {"udp:127.0.0.5", "udp:127.0.0.5"},
      {"udp6:[::1]:161", "udp6:[::1]:161"},
      {"::1", "::1"},
      {"unix:/tmp/agent.sock", "unix:/tmp/agent.sock"},
      {"", ""},
      {":161", ":161"},
  };
  for (const auto& c : cases) EXPECT_EQ(NumericPeerName(c.peer), c.expected) << c.peer;
  // The library reports a name that does not resolve.
  const std::string unresolved = testutil::kUnresolvableHost + ":161";
  EXPECT_EQ(NumericPeerName(unresolved), unresolved);
}

}  // namespace
