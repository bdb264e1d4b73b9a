#include "scan/snmp_session.h"

#include <net-snmp/library/large_fd_set.h>
#include <net-snmp/library/lcd_time.h>
#include <net-snmp/library/snmpUDPBaseDomain.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

#include "output/console.h"
#include "platform/interrupt.h"
#include "scan/engine_ids.h"
#include "scan/snmp_setup.h"
#include "scan/usm_keys.h"

// ---------------------------------------------------------------------------
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
struct SnmpSession::SocketIo {
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

namespace {

thread_local SnmpSession::SocketIo* t_socketIo = nullptr;

// Runs inside the library, under its lock.
int SendLater(netsnmp_transport* t, const void* buf, int size, void** opaque, int* olength) {
  SnmpSession::SocketIo* io = t_socketIo;
  const auto* pair = static_cast<const netsnmp_indexed_addr_pair*>(t->data);
  // The plain case of the library's send: the transport's own address pair,
  // no source address of our choosing.
  if (!io || io->transport != t || size < 0 || (opaque && *opaque) || !pair ||
      t->data_length != static_cast<int>(sizeof *pair) ||
      pair->remote_addr.sa.sa_family != AF_INET ||
      pair->local_addr.sin.sin_addr.s_addr != htonl(INADDR_ANY))
    return netsnmp_udpbase_send(t, buf, size, opaque, olength);
  if (io->outgoing.size() == io->outgoing_count) io->outgoing.emplace_back();
  SnmpSession::SocketIo::Datagram& d = io->outgoing[io->outgoing_count++];
  d.bytes.assign(static_cast<const u_char*>(buf), static_cast<const u_char*>(buf) + size);
  d.to = pair->remote_addr.sin;
  return size;
}

// Runs inside the library, under its lock.
int ReceiveReadAhead(netsnmp_transport* t, void* buf, int size, void** opaque, int* olength) {
  SnmpSession::SocketIo* io = t_socketIo;
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

// Routes the library's socket calls for this thread's session to the
// stand-ins' buffers for one locked section.
class ScopedSocketIo {
 public:
  explicit ScopedSocketIo(SnmpSession::SocketIo* io) { t_socketIo = io; }
  ~ScopedSocketIo() { t_socketIo = nullptr; }
  ScopedSocketIo(const ScopedSocketIo&) = delete;
  ScopedSocketIo& operator=(const ScopedSocketIo&) = delete;
};

// ---------------------------------------------------------------------------
// Engine clocks per target. The library keeps one clock (boots, time) per
// engine ID for the whole process, checks every authenticated answer against
// it and stamps every request with it. Cloned devices share an engine ID but
// not a clock: one clone's answers would move the clock past the other's,
// whose answers are then dropped as outside the time window (and whose
// requests draw notInTimeWindow reports). So each (engine ID, target) keeps
// its own copy of the library's record, put in place before every library
// call that builds or reads a message of a session of that target and taken
// back after it. A target that is alone on its engine ID puts back what is
// there already.
class EngineClocks {
 public:
  // Puts the target's clock into the library's record; nothing before the
  // session knows its engine ID or when the target has no clock yet.
  void InstallLocked(const netsnmp_session* s) {
    if (s->securityEngineIDLen == 0) return;
    auto it = clocks_.find(Key(s));
    if (it == clocks_.end()) return;
    Enginetime e =
        search_enginetime_list(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen));
    if (!e) {
      set_enginetime(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen), 0, 0, FALSE);
      e = search_enginetime_list(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen));
      if (!e) return;
    }
    const Clock& c = it->second;
    e->engineTime = c.time;
    e->engineBoot = c.boots;
    e->lastReceivedEngineTime = c.received;
    e->authenticatedFlag = c.authenticated;
  }

  // Takes the library's record back as the target's clock after a call.
  // After the engine-ID probe the record holds the probe's unauthenticated
  // clock only when no authenticated one was there (the library keeps an
  // authenticated clock over an unauthenticated one): when another target
  // put it there, this target starts with none, as a new engine does, and
  // the library synchronises at its first notInTimeWindow report.
  void SaveLocked(const netsnmp_session* s, bool probe) {
    if (s->securityEngineIDLen == 0) return;
    const Enginetime e =
        search_enginetime_list(s->securityEngineID, static_cast<u_int>(s->securityEngineIDLen));
    if (!e) return;
    auto [it, added] = clocks_.try_emplace(Key(s));
    Clock& c = it->second;
    if (probe && !added && c.authenticated) return;
    if (probe && e->authenticatedFlag) {
      c = Clock{0, 0, static_cast<time_t>(snmpv3_local_snmpEngineTime()), FALSE};
      return;
    }
    c = Clock{e->engineTime, e->engineBoot, e->lastReceivedEngineTime, e->authenticatedFlag};
  }

 private:
  struct Clock {
    u_int time = 0;
    u_int boots = 0;
    time_t received = 0;
    u_int authenticated = FALSE;
  };

  static std::string Key(const netsnmp_session* s) {
    std::string key(reinterpret_cast<const char*>(s->securityEngineID), s->securityEngineIDLen);
    key.push_back('\0');
    return key.append(s->peername ? s->peername : "");
  }

  std::map<std::string, Clock> clocks_;  // under the library lock
};

EngineClocks g_engineClocks;

}  // namespace

// ---------------------------------------------------------------------------

// The state of one request, shared with the library's callback. The library
// may call back until the request leaves its list (answer, time-out, close),
// so a request that ends otherwise stays alive until the session is closed.
struct SnmpSession::Request {
  bool waiting = false;
  bool settled = false;  // the library has dropped the request
  int status = STAT_SUCCESS;
  netsnmp_pdu* response = nullptr;
  UsmReport report = UsmReport::kNone;

  // Runs inside the library with its lock held: must not block or lock.
  static int Callback(int op, netsnmp_session* session, int /*reqid*/, netsnmp_pdu* pdu,
                      void* magic) {
    auto* r = static_cast<Request*>(magic);
    switch (op) {
      case NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE:
        r->waiting = false;
        if (!pdu) break;
        if (pdu->command == SNMP_MSG_REPORT) {
          const int report = snmpv3_get_report_type(pdu);
          // The library sends again itself after a notInTimeWindow report.
          if (report == SNMPERR_NOT_IN_TIME_WINDOW) r->waiting = true;
          r->status = STAT_ERROR;
          r->report = UsmReportFromLibraryError(report);
          session->s_snmp_errno = report;
        } else if (pdu->command == SNMP_MSG_RESPONSE) {
          // The library frees pdu after this call.
          if (r->response) snmp_free_pdu(r->response);
          r->response = snmp_clone_pdu(pdu);
          r->status = r->response ? STAT_SUCCESS : STAT_ERROR;
          r->settled = true;
          session->s_snmp_errno = r->response ? SNMPERR_SUCCESS : SNMPERR_MALLOC;
        } else {
          r->status = STAT_ERROR;
          session->s_snmp_errno = SNMPERR_PROTOCOL;
          return 0;
        }
        break;
      case NETSNMP_CALLBACK_OP_TIMED_OUT:
        r->waiting = false;
        r->settled = true;
        r->status = STAT_TIMEOUT;
        session->s_snmp_errno = SNMPERR_TIMEOUT;
        break;
      case NETSNMP_CALLBACK_OP_SEC_ERROR:
        r->waiting = false;
        if (r->status == STAT_SUCCESS) {
          r->status = STAT_ERROR;
          session->s_snmp_errno = SNMPERR_GENERR;
        }
        break;
      case NETSNMP_CALLBACK_OP_SEND_FAILED:
      case NETSNMP_CALLBACK_OP_DISCONNECT:
        r->waiting = false;
        r->status = STAT_ERROR;
        if (session->s_snmp_errno == SNMPERR_SUCCESS) session->s_snmp_errno = SNMPERR_ABORT;
        break;
      default:  // resend, connect: keep waiting
        break;
    }
    return 1;
  }
};

class SnmpSession::KeyLease {
 public:
  explicit KeyLease(std::string id) : id_(std::move(id)) {}
  ~KeyLease() { g_usmKeyTurns.Release(id_); }
  const std::string& id() const { return id_; }

 private:
  std::string id_;
};

SnmpSession::SnmpSession(Api api)
    : api_(api), request_(std::make_unique<Request>()), io_(std::make_unique<SocketIo>()) {
  netsnmp_large_fd_set_init(&fdset_, FD_SETSIZE);
}

SnmpSession::~SnmpSession() {
  Close();
  netsnmp_large_fd_set_cleanup(&fdset_);
}

SnmpSession::OpenStatus SnmpSession::Open(const SnmpTarget& target) {
  netsnmp_session settings;
  {
    auto lock = LockSnmpLibrary();
    snmp_sess_init(&settings);
  }
  deadline_ = target.deadline;
  deadline_cut_ = false;
  settings.timeout = target.timeout_us;
  settings.retries = target.retries;
  settings.peername = const_cast<char*>(target.peer.c_str());
  if (target.version == 3) {
    settings.version = SNMP_VERSION_3;
    if (target.user.empty()) {
      settings.securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    } else {
      settings.securityName = const_cast<char*>(target.user.c_str());
      settings.securityNameLen = target.user.size();
      settings.securityLevel = SNMP_SEC_LEVEL_AUTHNOPRIV;
      const ProtocolOid auth = AuthProtocolOid(target.auth_protocol);
      settings.securityAuthProto = const_cast<oid*>(auth.ids);
      settings.securityAuthProtoLen = auth.length;
      SnmpAuthKey key;
      if (!GetPassPhraseKey(target.auth_protocol, target.pass_phrase, &key))
        return OpenStatus::kBadPassPhrase;
      memcpy(settings.securityAuthKey, key.bytes, key.length);
      settings.securityAuthKeyLen = key.length;
      if (target.priv_protocol != PrivProtocol::kNone) {
        settings.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
        const ProtocolOid priv = PrivProtocolOid(target.priv_protocol);
        settings.securityPrivProto = const_cast<oid*>(priv.ids);
        settings.securityPrivProtoLen = priv.length;
        // Under the authentication protocol's hash, as the library's tools do.
        if (!GetPassPhraseKey(target.auth_protocol, target.priv_pass_phrase, &key)) {
          memset(settings.securityAuthKey, 0, sizeof settings.securityAuthKey);
          return OpenStatus::kBadPrivPassPhrase;
        }
        memcpy(settings.securityPrivKey, key.bytes, key.length);
        settings.securityPrivKeyLen = key.length;
      }
    }
  } else {
    settings.community = reinterpret_cast<u_char*>(const_cast<char*>(target.community.c_str()));
    settings.community_len = target.community.size();
    settings.version = target.version == 2 ? SNMP_VERSION_2c : SNMP_VERSION_1;
  }
  const bool ok = OpenWith(&settings);
  // Not the settings: the library's copy of the keys is what it uses.
  memset(settings.securityAuthKey, 0, sizeof settings.securityAuthKey);
  memset(settings.securityPrivKey, 0, sizeof settings.securityPrivKey);
  if (ok) return OpenStatus::kOpen;
  return deadline_cut_ ? OpenStatus::kDeadline : OpenStatus::kFailed;
}

// settings is only read (the library copies it).
bool SnmpSession::OpenWith(netsnmp_session* settings) {
  {
    auto lock = LockSnmpLibrary();
    if (api_ == Api::kTraditional) {
      netsnmp_session* ss = snmp_open(settings);
      if (ss) {
        handle_ = snmp_sess_pointer(ss);
        if (!handle_) snmp_close(ss);
      }
    } else {
      handle_ = snmp_sess_open(settings);
    }
    session_ = handle_ ? snmp_sess_session(handle_) : nullptr;
    if (!session_) {
      // The library reports on the settings it was given.
      CaptureErrorLocked(settings);
      handle_ = nullptr;
      lock.unlock();
      PrintError();
      return false;
    }
    // The library would probe for the engine ID at the first send, blocking
    // under our lock; discovery goes through our own exchange instead.
    session_->flags |= SNMP_FLAGS_DONT_PROBE;
    empty_security_name_ = session_->version == SNMP_VERSION_3 && session_->securityNameLen == 0;
    netsnmp_transport* transport = snmp_sess_transport(handle_);
    if (transport && transport->sock >= 0 && transport->f_send == netsnmp_udpbase_send &&
        transport->f_recv == netsnmp_udpbase_recv) {
      transport->f_send = SendLater;
      transport->f_recv = ReceiveReadAhead;
      io_->transport = transport;
    }
  }
  if (session_->version != SNMP_VERSION_3) return true;
  if (Discover() && InstallUserKey()) return true;
  if (!interrupted_ && !deadline_cut_) PrintLibraryError();
  Close();
  return false;
}

bool SnmpSession::Discover() {
  if (session_->securityEngineIDLen != 0) return true;
  // A noAuth request without a user name: the agent answers with a report
  // that carries its engine ID, which the library puts on the session.
  const int status = Transact(SNMP_MSG_GET, nullptr, 0, 0, /*probe=*/true);
  // The report the probe asks for.
  if (usm_report_ == UsmReport::kUnknownEngineId) usm_report_ = UsmReport::kNone;
  auto lock = LockSnmpLibrary();
  FreeResponseLocked();
  if (status == kStatInterrupted || status == kStatDeadline) return false;
  if (session_->securityEngineIDLen == 0) {
    if (status == STAT_TIMEOUT)
      session_->s_snmp_errno = SNMPERR_TIMEOUT;
    else if (session_->s_snmp_errno == SNMPERR_SUCCESS)
      session_->s_snmp_errno = SNMPERR_UNKNOWN_ENG_ID;
    return false;
  }
  session_->s_snmp_errno = SNMPERR_SUCCESS;
  NoteEngineId(session_->peername ? session_->peername : "", session_->securityEngineID,
               session_->securityEngineIDLen);
  return true;
}

bool SnmpSession::InstallUserKey() {
  if (session_->securityNameLen == 0) return true;
  std::string id, key;
  {
    auto lock = LockSnmpLibrary();
    id.assign(reinterpret_cast<const char*>(session_->securityEngineID),
              session_->securityEngineIDLen);
    id.push_back('\0');
    id.append(session_->securityName, session_->securityNameLen);
    // Everything the library's user entry takes from the session.
    auto append = [&key](const void* bytes, size_t length) {
      const std::string size = std::to_string(length) + ':';
      key.append(size).append(static_cast<const char*>(bytes), length);
    };
    append(session_->securityAuthProto, session_->securityAuthProtoLen * sizeof(oid));
    append(session_->securityAuthKey, session_->securityAuthKeyLen);
    append(session_->securityPrivProto, session_->securityPrivProtoLen * sizeof(oid));
    append(session_->securityPrivKey, session_->securityPrivKeyLen);
  }
  // May wait for sessions of the same pair: never under the library lock.
  const bool install = g_usmKeyTurns.Acquire(id, key);
  lease_ = std::make_unique<KeyLease>(id);
  if (!install) return true;
  bool ok;
  {
    auto lock = LockSnmpLibrary();
    struct usmUser* old = usm_get_user(session_->securityEngineID, session_->securityEngineIDLen,
                                       session_->securityName);
    if (old) {
      // usm_remove_user returns the list head, not the user.
      usm_remove_user(old);
      old->next = old->prev = nullptr;
      usm_free_user(old);
    }
    session_->flags &= ~SNMP_FLAGS_USER_CREATED;
    ok = usm_create_user_from_session(session_) == SNMPERR_SUCCESS &&
         usm_get_user(session_->securityEngineID, session_->securityEngineIDLen,
                      session_->securityName) != nullptr;
    if (!ok) session_->s_snmp_errno = SNMPERR_GENERR;
  }
  g_usmKeyTurns.FinishInstall(id, ok);
  return ok;
}

int SnmpSession::Exchange(int command, const SnmpName* names, size_t count, long repetitions,
                          netsnmp_pdu** response) {
  *response = nullptr;
  if (!handle_) return STAT_ERROR;
  const int status = Transact(command, names, count, repetitions, /*probe=*/false);
  if (status == STAT_SUCCESS) *response = response_;
  return status;
}

netsnmp_pdu* SnmpSession::BuildLocked(int command, const SnmpName* names, size_t count,
                                      long repetitions, bool probe) {
  netsnmp_pdu* pdu = snmp_pdu_create(command);
  if (!pdu) return nullptr;
  if (probe) {
    pdu->version = SNMP_VERSION_3;
    pdu->securityLevel = SNMP_SEC_LEVEL_NOAUTH;
    pdu->securityModel = SNMP_SEC_MODEL_USM;
  } else {
    for (size_t i = 0; i < count; ++i) snmp_add_null_var(pdu, names[i].ids, names[i].length);
    if (command == SNMP_MSG_GETBULK) {
      pdu->non_repeaters = 0;
      pdu->max_repetitions = repetitions;
    }
  }
  if (probe || empty_security_name_) {
    // Without it the send fails with "No securityName specified".
    pdu->securityName = strdup("");
    pdu->securityNameLen = 0;
  }
  return pdu;
}

int SnmpSession::Transact(int command, const SnmpName* names, size_t count, long repetitions,
                          bool probe) {
  interrupted_ = platform::Interrupted();
  if (interrupted_) return kStatInterrupted;
  deadline_cut_ = MillisecondsToDeadline() == 0;
  if (deadline_cut_) return kStatDeadline;
  Request* r = request_.get();
  int fd = -1, timeout_ms = -1;
  int wake_fd = platform::InterruptWakeFd();
  {
    auto lock = LockSnmpLibrary();
    ScopedSocketIo io(io_.get());
    FreeResponseLocked();
    // Request ids are process-wide counters: the PDU is made under the lock.
    netsnmp_pdu* pdu = BuildLocked(command, names, count, repetitions, probe);
    g_engineClocks.InstallLocked(session_);  // the message is built at the send
    r->waiting = true;
    if (!pdu) {
      r->waiting = false;
      r->settled = true;
      r->status = STAT_ERROR;
      session_->s_snmp_errno = SNMPERR_MALLOC;
    } else if (snmp_sess_async_send(handle_, pdu, &Request::Callback, r) == 0) {
      // A failed send leaves the PDU with us and no request behind.
      snmp_free_pdu(pdu);
      r->waiting = false;
      r->settled = true;
      r->status = STAT_ERROR;
    } else if (r->waiting && !PrepareWaitLocked(&fd, &timeout_ms)) {
      r->waiting = false;  // the library dropped it at once
      r->status = STAT_ERROR;
      if (r->report == UsmReport::kNone) session_->s_snmp_errno = SNMPERR_GENERR;
    }
  }
  if (const int send_error = SendQueued(); send_error != 0 && r->waiting) {
    // What the library reports when its own send fails; the request stays
    // with it until the session closes.
    auto lock = LockSnmpLibrary();
    r->waiting = false;
    r->status = STAT_ERROR;
    session_->s_snmp_errno = SNMPERR_BAD_SENDTO;
    session_->s_errno = send_error;
  }
  while (r->waiting) {
    // The socket first, so an answer that came with the interrupt is kept.
    pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int to_deadline = MillisecondsToDeadline();
    const bool deadline_first = to_deadline >= 0 && (timeout_ms < 0 || to_deadline <= timeout_ms);
    const int n = poll(p, 2, deadline_first ? to_deadline : timeout_ms);
    const int poll_errno = errno;
    if (n == 0 && deadline_first) {
      // The request stays with the library until the session closes.
      deadline_cut_ = true;
      break;
    }
    const bool readable = n > 0 && p[0].revents != 0;
    // 1: an answer read ahead; 0: nothing there after all; -1: the library
    // reads (and reports) for itself.
    const int read_ahead = readable ? ReadAhead(fd) : 0;
    {
      auto lock = LockSnmpLibrary();
      ScopedSocketIo io(io_.get());
      if (readable) {
        if (read_ahead != 0) {
          g_engineClocks.InstallLocked(session_);
          snmp_sess_read2(handle_, &fdset_);
          g_engineClocks.SaveLocked(session_, probe);
        }
      } else if (n > 0 || (n < 0 && platform::Interrupted())) {
        // Only the wake-up: nothing to read, no time-out due. A wake-up
        // without the flag (left over from a test) would wake us for ever.
        if (!platform::Interrupted()) wake_fd = -1;
      } else if (n == 0) {
        // Resends are built afresh, with the clock.
        g_engineClocks.InstallLocked(session_);
        snmp_sess_timeout(handle_);
      } else if (poll_errno != EINTR) {
        r->waiting = false;
        r->status = STAT_ERROR;
        session_->s_snmp_errno = SNMPERR_GENERR;
        snmp_set_detail(strerror(poll_errno));
      }
      // Not consumed (the library did not read): stale by the next wait.
      io_->incoming_length = -1;
      if (r->waiting && platform::Interrupted()) {
        // The request stays with the library until the session closes.
        interrupted_ = true;
      } else if (r->waiting && !PrepareWaitLocked(&fd, &timeout_ms)) {
        // No request of ours in flight any more: the library gave up on it
        // (after a notInTimeWindow report once its retries are spent) or
        // lost it. Waiting on would last until some datagram came.
        r->waiting = false;
        r->status = STAT_ERROR;
        if (r->report == UsmReport::kNone) session_->s_snmp_errno = SNMPERR_GENERR;
      }
    }
    // Resends; a failed one ends in a time-out, as in the library.
    SendQueued();
    if (interrupted_) break;
  }
  const int status = interrupted_ ? kStatInterrupted : deadline_cut_ ? kStatDeadline : r->status;
  usm_report_ = status == STAT_ERROR ? r->report : UsmReport::kNone;
  response_ = r->response;
  r->response = nullptr;
  if (status != STAT_SUCCESS && response_) {
    auto lock = LockSnmpLibrary();
    FreeResponseLocked();
  }
  RetireRequest();
  return status;
}

int SnmpSession::SendQueued() {
  SocketIo& io = *io_;
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

int SnmpSession::ReadAhead(int fd) {
  SocketIo& io = *io_;
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

bool SnmpSession::PrepareWaitLocked(int* fd, int* timeout_ms) {
  int numfds = 0;
  int block = NETSNMP_SNMPBLOCK;
  struct timeval tv = {0, 0};
  NETSNMP_LARGE_FD_ZERO(&fdset_);
  snmp_sess_select_info2_flags(handle_, &numfds, &fdset_, &tv, &block, NETSNMP_SELECT_NOALARMS);
  *fd = -1;
  netsnmp_transport* transport = snmp_sess_transport(handle_);
  if (transport && transport->sock >= 0 && transport->sock < numfds &&
      netsnmp_large_fd_is_set(transport->sock, &fdset_)) {
    *fd = transport->sock;
  } else {
    for (int i = 0; i < numfds && *fd < 0; ++i)
      if (netsnmp_large_fd_is_set(i, &fdset_)) *fd = i;
  }
  // The library blocks without a time-out only when it has no request in
  // flight: then there is nothing to wait for.
  if (block) {
    *timeout_ms = -1;
    return false;
  }
  const long long ms = static_cast<long long>(tv.tv_sec) * 1000 + (tv.tv_usec + 999) / 1000;
  *timeout_ms = ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
  return *fd >= 0 || *timeout_ms >= 0;
}

int SnmpSession::MillisecondsToDeadline() const {
  if (deadline_ == std::chrono::steady_clock::time_point{}) return -1;
  const auto left = deadline_ - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  // Rounded up, so a wait that ends at it finds the deadline passed.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

void SnmpSession::RetireRequest() {
  if (request_->settled) {
    *request_ = Request{};
  } else {
    // The library may still call back for it, until the session closes.
    orphans_.push_back(std::move(request_));
    request_ = std::make_unique<Request>();
  }
}

void SnmpSession::FreeResponseLocked() {
  if (response_) snmp_free_pdu(response_);
  response_ = nullptr;
}

void SnmpSession::CaptureErrorLocked(netsnmp_session* s) {
  char* text = nullptr;
  // What snmp_sess_perror prints, with the same buffers read.
  snmp_error(s, nullptr, nullptr, &text);
  error_code_ = s->s_snmp_errno;
  error_text_ = text ? text : "";
  free(text);
}

void SnmpSession::PrintError() const {
  console::Print(stderr, "snmpwalk: %s\n", error_text_.c_str());
}

void SnmpSession::PrintLibraryError() {
  {
    auto lock = LockSnmpLibrary();
    if (!session_) return;
    CaptureErrorLocked(session_);
  }
  PrintError();
}

void SnmpSession::PrintObjid(FILE* stream, const oid* name, size_t name_length) {
  // fprint_objid ends with its own line feed; the caller ends the line.
  u_char* buf = nullptr;
  size_t buf_len = 0, out_len = 0;
  {
    auto lock = LockSnmpLibrary();
    sprint_realloc_objid(&buf, &buf_len, &out_len, 1, name, name_length);
  }
  if (buf) fwrite(buf, 1, out_len, stream);
  free(buf);
}

const char* SnmpSession::PeerName() const {
  return session_ && session_->peername ? session_->peername : "";
}

void SnmpSession::Close() {
  {
    auto lock = LockSnmpLibrary();
    FreeResponseLocked();
    if (handle_) {
      // Pending requests are timed out through their callbacks here.
      if (api_ == Api::kTraditional)
        snmp_close(session_);
      else
        snmp_sess_close(handle_);
      handle_ = nullptr;
      session_ = nullptr;
      io_->transport = nullptr;  // closed with the session
    }
    for (auto& orphan : orphans_)
      if (orphan->response) snmp_free_pdu(orphan->response);
    if (request_->response) snmp_free_pdu(request_->response);
    request_->response = nullptr;
  }
  orphans_.clear();
  lease_.reset();
}
