// Host names in target texts, resolved before a session is opened.
//
// The library resolves a peer's host name inside snmp_open, which runs under
// the library lock: on a slow resolver every target would wait for all the
// others. Resolving here, with no lock held, lets the lookups of all targets
// run at once; the library then gets a numeric address.
//
// Thread safety: may be called from any thread.
#pragma once

#include <string>

// The peer name in the library's syntax ("[transport:]host[:port]") with its
// host name replaced by the first address the system resolver gives (IPv4
// for udp and tcp, IPv6 for udp6 and tcp6); the transport prefix and the port
// are kept as written. Returns the text unchanged when the host is already
// numeric, the transport is another one, or the name does not resolve (the
// library then reports the failure itself, as without this step).
std::string NumericPeerName(const std::string& peer);
