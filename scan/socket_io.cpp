#include "scan/socket_io.h"

#include <net-snmp/library/snmpUDPBaseDomain.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

thread_local SocketIo* t_socketIo = nullptr;

// Runs inside the library, under its lock.
int SendLater(netsnmp_transport* t, const void* buf, int size, void** opaque, int* olength) {
  SocketIo* io = t_socketIo;
  const auto* pair = static_cast<const netsnmp_indexed_addr_pair*>(t->data);
  // The plain case of the library's send: the transport's own address pair,
  // no source address of our choosing.
  if (!io || io->transport != t || size < 0 || (opaque && *opaque) || !pair ||
      t->data_length != static_cast<int>(sizeof *pair) ||
      pair->remote_addr.sa.sa_family != AF_INET ||
      pair->local_addr.sin.sin_addr.s_addr != htonl(INADDR_ANY))
    return netsnmp_udpbase_send(t, buf, size, opaque, olength);
  if (io->outgoing.size() == io->outgoing_count) io->outgoing.emplace_back();
  SocketIo::Datagram& d = io->outgoing[io->outgoing_count++];
  d.bytes.assign(static_cast<const u_char*>(buf), static_cast<const u_char*>(buf) + size);
  d.to = pair->remote_addr.sin;
  return size;
}

// Runs inside the library, under its lock.
int ReceiveReadAhead(netsnmp_transport* t, void* buf, int size, void** opaque, int* olength) {
  SocketIo* io = t_socketIo;
  if (!io || io->transport != t || io->incoming_length < 0)
    return netsnmp_udpbase_recv(t, buf, size, opaque, olength);
  // The library frees it with the PDU, as its own.
  auto* pair =
      static_cast<netsnmp_indexed_addr_pair*>(calloc(1, sizeof(netsnmp_indexed_addr_pair)));
  if (!pair) {
    *opaque = nullptr;
    *olength = 0;
    return -1;
  }
  memcpy(&pair->remote_addr, &io->from,
         std::min<size_t>(io->from_length, sizeof pair->remote_addr));
  memcpy(&pair->local_addr, &io->local,
         std::min<size_t>(io->local_length, sizeof pair->local_addr));
  const size_t length =
      std::min<size_t>(static_cast<size_t>(io->incoming_length), size < 0 ? 0 : size);
  memcpy(buf, io->incoming.get(), length);
  io->incoming_length = -1;
  *opaque = pair;
  *olength = sizeof *pair;
  return static_cast<int>(length);
}

}  // namespace

void RouteTransportThrough(SocketIo* io, netsnmp_transport* transport) {
  if (transport && transport->sock >= 0 && transport->f_send == netsnmp_udpbase_send &&
      transport->f_recv == netsnmp_udpbase_recv) {
    transport->f_send = SendLater;
    transport->f_recv = ReceiveReadAhead;
    io->transport = transport;
  }
}

ScopedSocketIo::ScopedSocketIo(SocketIo* io) { t_socketIo = io; }
ScopedSocketIo::~ScopedSocketIo() { t_socketIo = nullptr; }

int SendQueued(SocketIo& io) {
  int error = 0;
  for (size_t i = 0; i < io.outgoing_count; ++i) {
    SocketIo::Datagram& d = io.outgoing[i];
    iovec iov = {d.bytes.data(), d.bytes.size()};
    msghdr m = {};
    m.msg_name = &d.to;
    m.msg_namelen = sizeof d.to;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    ssize_t rc;
    do {
      rc = sendmsg(io.transport->sock, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0 && error == 0) error = errno;
  }
  io.outgoing_count = 0;
  return error;
}

int ReadAhead(SocketIo& io, int fd) {
  if (!io.transport || fd != io.transport->sock) return -1;
  if (!io.incoming) {
    io.incoming.reset(new (std::nothrow) u_char[SocketIo::kMaxDatagram]);
    if (!io.incoming) return -1;
    // The library asks for it at every answer; the bound address stays.
    io.local_length = sizeof io.local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&io.local), &io.local_length) != 0)
      io.local_length = 0;
  }
  iovec iov = {io.incoming.get(), SocketIo::kMaxDatagram};
  msghdr m = {};
  m.msg_name = &io.from;
  m.msg_namelen = sizeof io.from;
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  ssize_t n;
  do {
    n = recvmsg(fd, &m, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  io.from_length = m.msg_namelen;
  io.incoming_length = n;
  return 1;
}
