#include "scan/snmp_session.h"

#include <net-snmp/library/large_fd_set.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "output/console.h"
#include "platform/interrupt.h"
#include "scan/engine_clocks.h"
#include "scan/engine_ids.h"
#include "scan/snmp_setup.h"
#include "scan/socket_io.h"
#include "scan/usm_keys.h"
#include "scan/usm_user.h"

// The state of one request, shared with the library's callback. The library
// may call back until the request leaves its list (answer, time-out, close),
// so a request that ends otherwise stays alive until the session is closed.
struct SnmpSession::Request {
  int ticket = 0;  // of a posted request
  bool waiting = false;
  bool settled = false;  // the library has dropped the request
  ExchangeStatus status = ExchangeStatus::kSuccess;
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
          r->status = ExchangeStatus::kError;
          r->report = UsmReportFromLibraryError(report);
          session->s_snmp_errno = report;
        } else if (pdu->command == SNMP_MSG_RESPONSE) {
          // The library frees pdu after this call.
          if (r->response) snmp_free_pdu(r->response);
          r->response = snmp_clone_pdu(pdu);
          r->status = r->response ? ExchangeStatus::kSuccess : ExchangeStatus::kError;
          r->settled = true;
          session->s_snmp_errno = r->response ? SNMPERR_SUCCESS : SNMPERR_MALLOC;
        } else {
          r->status = ExchangeStatus::kError;
          session->s_snmp_errno = SNMPERR_PROTOCOL;
          return 0;
        }
        break;
      case NETSNMP_CALLBACK_OP_TIMED_OUT:
        r->waiting = false;
        r->settled = true;
        r->status = ExchangeStatus::kTimeout;
        session->s_snmp_errno = SNMPERR_TIMEOUT;
        break;
      case NETSNMP_CALLBACK_OP_SEC_ERROR:
        r->waiting = false;
        if (r->status == ExchangeStatus::kSuccess) {
          r->status = ExchangeStatus::kError;
          session->s_snmp_errno = SNMPERR_GENERR;
        }
        break;
      case NETSNMP_CALLBACK_OP_SEND_FAILED:
      case NETSNMP_CALLBACK_OP_DISCONNECT:
        r->waiting = false;
        r->status = ExchangeStatus::kError;
        if (session->s_snmp_errno == SNMPERR_SUCCESS) session->s_snmp_errno = SNMPERR_ABORT;
        break;
      default:  // resend, connect: keep waiting
        break;
    }
    return 1;
  }
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
    RouteTransportThrough(io_.get(), snmp_sess_transport(handle_));
  }
  if (session_->version != SNMP_VERSION_3) return true;
  if (Discover() && InstallUsmUser(session_, &lease_)) return true;
  if (!interrupted_ && !deadline_cut_) PrintLibraryError();
  Close();
  return false;
}

bool SnmpSession::Discover() {
  if (session_->securityEngineIDLen != 0) return true;
  // A noAuth request without a user name: the agent answers with a report
  // that carries its engine ID, which the library puts on the session.
  const ExchangeStatus status = Transact(SNMP_MSG_GET, nullptr, 0, 0, /*probe=*/true);
  // The report the probe asks for.
  if (usm_report_ == UsmReport::kUnknownEngineId) usm_report_ = UsmReport::kNone;
  auto lock = LockSnmpLibrary();
  FreeResponseLocked();
  if (status == ExchangeStatus::kInterrupted || status == ExchangeStatus::kDeadline) return false;
  if (session_->securityEngineIDLen == 0) {
    if (status == ExchangeStatus::kTimeout)
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

ExchangeStatus SnmpSession::Exchange(int command, const SnmpName* names, size_t count,
                                     long repetitions, netsnmp_pdu** response) {
  *response = nullptr;
  if (!handle_) return ExchangeStatus::kError;
  const ExchangeStatus status = Transact(command, names, count, repetitions, /*probe=*/false);
  if (status == ExchangeStatus::kSuccess) *response = response_;
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

bool SnmpSession::Send(Request* r, int command, const SnmpName* names, size_t count,
                       long repetitions, bool probe, int* fd, int* timeout_ms) {
  interrupted_ = platform::Interrupted();
  if (interrupted_) return false;
  deadline_cut_ = MillisecondsToDeadline() == 0;
  if (deadline_cut_) return false;
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
      r->status = ExchangeStatus::kError;
      session_->s_snmp_errno = SNMPERR_MALLOC;
    } else if (snmp_sess_async_send(handle_, pdu, &Request::Callback, r) == 0) {
      // A failed send leaves the PDU with us and no request behind.
      snmp_free_pdu(pdu);
      r->waiting = false;
      r->settled = true;
      r->status = ExchangeStatus::kError;
    } else if (r->waiting && !PrepareWaitLocked(fd, timeout_ms)) {
      r->waiting = false;  // the library dropped it at once
      r->status = ExchangeStatus::kError;
      if (r->report == UsmReport::kNone) session_->s_snmp_errno = SNMPERR_GENERR;
    }
  }
  if (const int send_error = SendQueued(*io_); send_error != 0 && r->waiting) {
    // What the library reports when its own send fails; the request stays
    // with it until the session closes.
    auto lock = LockSnmpLibrary();
    r->waiting = false;
    r->status = ExchangeStatus::kError;
    session_->s_snmp_errno = SNMPERR_BAD_SENDTO;
    session_->s_errno = send_error;
  }
  return true;
}

void SnmpSession::Wait(const std::vector<Request*>& watch, int fd, int timeout_ms, bool probe) {
  auto all_waiting = [&watch] {
    for (const Request* r : watch)
      if (!r->waiting) return false;
    return true;
  };
  // Under the lock: the watched requests that still wait end with kError.
  auto fail_waiting = [&](bool unless_reported) {
    for (Request* r : watch) {
      if (!r->waiting) continue;
      r->waiting = false;
      r->status = ExchangeStatus::kError;
      if (!unless_reported || r->report == UsmReport::kNone)
        session_->s_snmp_errno = SNMPERR_GENERR;
    }
  };
  int wake_fd = platform::InterruptWakeFd();
  while (all_waiting()) {
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
    const int read_ahead = readable ? ReadAhead(*io_, fd) : 0;
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
        fail_waiting(false);
        snmp_set_detail(strerror(poll_errno));
      }
      // Not consumed (the library did not read): stale by the next wait.
      io_->incoming_length = -1;
      if (all_waiting() && platform::Interrupted()) {
        // The request stays with the library until the session closes.
        interrupted_ = true;
      } else if (all_waiting() && !PrepareWaitLocked(&fd, &timeout_ms)) {
        // No request of ours in flight any more: the library gave up on it
        // (after a notInTimeWindow report once its retries are spent) or
        // lost it. Waiting on would last until some datagram came.
        fail_waiting(true);
      }
    }
    // Resends; a failed one ends in a time-out, as in the library.
    SendQueued(*io_);
    if (interrupted_) break;
  }
}

ExchangeStatus SnmpSession::Finish(Request* r) {
  const ExchangeStatus status = interrupted_    ? ExchangeStatus::kInterrupted
                                : deadline_cut_ ? ExchangeStatus::kDeadline
                                                : r->status;
  usm_report_ = status == ExchangeStatus::kError ? r->report : UsmReport::kNone;
  response_ = r->response;
  r->response = nullptr;
  if (status != ExchangeStatus::kSuccess && response_) {
    auto lock = LockSnmpLibrary();
    FreeResponseLocked();
  }
  return status;
}

ExchangeStatus SnmpSession::Transact(int command, const SnmpName* names, size_t count,
                                     long repetitions, bool probe) {
  Request* r = request_.get();
  int fd = -1, timeout_ms = -1;
  if (!Send(r, command, names, count, repetitions, probe, &fd, &timeout_ms))
    return interrupted_ ? ExchangeStatus::kInterrupted : ExchangeStatus::kDeadline;
  if (r->waiting) Wait({r}, fd, timeout_ms, probe);
  const ExchangeStatus status = Finish(r);
  RetireRequest();
  return status;
}

ExchangeStatus SnmpSession::Post(int command, const SnmpName* names, size_t count, long repetitions,
                                 int* ticket) {
  *ticket = -1;
  if (!handle_) return ExchangeStatus::kError;
  auto r = std::make_unique<Request>();
  int fd = -1, timeout_ms = -1;
  if (!Send(r.get(), command, names, count, repetitions, /*probe=*/false, &fd, &timeout_ms))
    return interrupted_ ? ExchangeStatus::kInterrupted : ExchangeStatus::kDeadline;
  r->ticket = next_ticket_++;
  *ticket = r->ticket;
  posted_.push_back(std::move(r));
  return ExchangeStatus::kSuccess;
}

ExchangeStatus SnmpSession::Collect(int* ticket, netsnmp_pdu** response) {
  *ticket = -1;
  *response = nullptr;
  {
    auto lock = LockSnmpLibrary();
    FreeResponseLocked();
  }
  if (posted_.empty()) return ExchangeStatus::kError;
  interrupted_ = false;
  deadline_cut_ = false;
  auto done = [this] {
    return std::find_if(posted_.begin(), posted_.end(),
                        [](const std::unique_ptr<Request>& r) { return !r->waiting; });
  };
  if (done() == posted_.end()) {
    interrupted_ = platform::Interrupted();
    deadline_cut_ = !interrupted_ && MillisecondsToDeadline() == 0;
    if (interrupted_) return ExchangeStatus::kInterrupted;
    if (deadline_cut_) return ExchangeStatus::kDeadline;
    std::vector<Request*> watch;
    for (auto& r : posted_) watch.push_back(r.get());
    int fd = -1, timeout_ms = -1;
    bool in_flight;
    {
      auto lock = LockSnmpLibrary();
      in_flight = PrepareWaitLocked(&fd, &timeout_ms);
      if (!in_flight) {
        for (Request* r : watch) {
          r->waiting = false;
          r->status = ExchangeStatus::kError;
        }
        session_->s_snmp_errno = SNMPERR_GENERR;
      }
    }
    if (in_flight) Wait(watch, fd, timeout_ms, /*probe=*/false);
    if (interrupted_) return ExchangeStatus::kInterrupted;
    if (deadline_cut_) return ExchangeStatus::kDeadline;
  }
  auto it = done();
  if (it == posted_.end()) return ExchangeStatus::kError;
  std::unique_ptr<Request> r = std::move(*it);
  posted_.erase(it);
  *ticket = r->ticket;
  const ExchangeStatus status = Finish(r.get());
  if (status == ExchangeStatus::kSuccess) *response = response_;
  Retire(std::move(r));
  return status;
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

void SnmpSession::Retire(std::unique_ptr<Request> r) {
  // The library may still call back for it, until the session closes.
  if (!r->settled) orphans_.push_back(std::move(r));
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
    for (auto& posted : posted_)
      if (posted->response) snmp_free_pdu(posted->response);
    if (request_->response) snmp_free_pdu(request_->response);
    request_->response = nullptr;
  }
  orphans_.clear();
  posted_.clear();
  lease_.reset();
}
