#include "scan/peer_name.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cctype>
#include <cstring>

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

// The address family of a transport prefix of the library's: AF_INET or
// AF_INET6 for the IP transports, AF_UNSPEC for the others (left alone), -1
// when the word is no transport (so a host name).
int FamilyOf(const std::string& word) {
  static const char* const kIpv4[] = {"udp", "tcp"};
  static const char* const kIpv6[] = {"udp6", "tcp6", "udpv6", "tcpv6", "udpipv6", "tcpipv6"};
  static const char* const kOther[] = {"unix",   "ipx", "aal5pvc", "pvc",      "dtlsudp", "dtls",
                                       "tlstcp", "tls", "ssh",     "callback", "alias"};
  for (const char* t : kIpv4)
    if (word == t) return AF_INET;
  for (const char* t : kIpv6)
    if (word == t) return AF_INET6;
  for (const char* t : kOther)
    if (word == t) return AF_UNSPEC;
  return -1;
}

}  // namespace

std::string NumericPeerName(const std::string& peer) {
  std::string prefix, rest = peer;
  int family = AF_INET;  // the library's default transport is udp
  const size_t colon = peer.find(':');
  if (colon != std::string::npos) {
    const int f = FamilyOf(Lower(peer.substr(0, colon)));
    if (f == AF_UNSPEC) return peer;
    if (f != -1) {
      family = f;
      prefix = peer.substr(0, colon + 1);
      rest = peer.substr(colon + 1);
    }
  }
  // An IPv6 literal ("[...]" or bare with colons) is numeric already.
  if (rest.empty() || rest[0] == '[') return peer;
  std::string host = rest, port;
  const size_t last = rest.rfind(':');
  if (last != std::string::npos) {
    if (rest.find(':') != last) return peer;  // bare IPv6 literal
    host = rest.substr(0, last);
    port = rest.substr(last);  // with its colon
  }
  if (host.empty()) return peer;
  unsigned char probe[sizeof(in6_addr)];
  if (inet_pton(AF_INET, host.c_str(), probe) == 1 || inet_pton(AF_INET6, host.c_str(), probe) == 1)
    return peer;

  addrinfo hints = {};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return peer;
  char text[INET6_ADDRSTRLEN] = "";
  const void* address =
      family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
  const bool ok = inet_ntop(family, address, text, sizeof text) != nullptr;
  freeaddrinfo(found);
  if (!ok) return peer;
  return prefix + (family == AF_INET6 ? "[" + std::string(text) + "]" : std::string(text)) + port;
}
