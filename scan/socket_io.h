// The socket calls of a session's UDP/IPv4 transport, made outside the
// library lock (scan/snmp_session.h).
//
// Socket calls outside the lock. A request's sendmsg carries the loopback
// delivery to the agent and an answer's recvmsg and getsockname are system
// calls too: made under the library lock, they made it the bottleneck of many
// targets. On a UDP/IPv4 transport with the library's own send and receive,
// two stand-ins take their place: the send stand-in keeps the datagram, which
// the session sends once the lock is released; the receive stand-in hands the
// library the datagram that the session read before it took the lock. Outside
// the session's own calls (t_socketIo not this transport), with nothing read
// ahead, or for an address the plain case does not cover, they call the
// library's own functions.
//
// Thread safety: a SocketIo belongs to one session, of one thread.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <memory>
#include <vector>

struct SocketIo {
  static constexpr size_t kMaxDatagram = 65536;  // as much as the library reads

  struct Datagram {
    std::vector<u_char> bytes;
    sockaddr_in to = {};
  };

  netsnmp_transport* transport = nullptr;  // null: the library's own socket calls
  std::vector<Datagram> outgoing;          // the first outgoing_count are queued
  size_t outgoing_count = 0;
  std::unique_ptr<u_char[]> incoming;  // made at the first answer
  ssize_t incoming_length = -1;        // -1: nothing read ahead
  sockaddr_storage from = {};
  socklen_t from_length = 0;
  sockaddr_storage local = {};  // the library reports the local address too
  socklen_t local_length = 0;
};

// The library's send and receive of transport, routed to io's buffers while
// a ScopedSocketIo of it is alive on this thread. Call under the library
// lock, once per transport after it is opened.
void RouteTransportThrough(SocketIo* io, netsnmp_transport* transport);

// Routes the library's socket calls for this thread's session to the
// stand-ins' buffers for one locked section.
class ScopedSocketIo {
 public:
  explicit ScopedSocketIo(SocketIo* io);
  ~ScopedSocketIo();
  ScopedSocketIo(const ScopedSocketIo&) = delete;
  ScopedSocketIo& operator=(const ScopedSocketIo&) = delete;
};

// Sends the datagrams the library queued, without the lock. Returns 0, or
// the errno of the first failed send.
int SendQueued(SocketIo& io);

// Reads one datagram from fd ahead of the library, without the lock. Returns
// 1 when one was read; 0 when there was nothing after all; -1 when the
// library must read (and report) for itself.
int ReadAhead(SocketIo& io, int fd);
