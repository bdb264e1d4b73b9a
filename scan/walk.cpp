// The walks of one target (scan/walk.h): the version's two variants, the walk
// loop with its bulk tuning and the batch loop. Their reports are in
// scan/walk_report.cpp.
//
// Both variants run the same loop; they differ in how the session is opened
// (traditional or single-session API) and in the log text of a failed open.
#include "scan/walk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "log/log.h"
#include "output/console.h"
#include "platform/interrupt.h"
#include "scan/peer_name.h"
#include "scan/render.h"
#include "scan/snmp_setup.h"
#include "scan/start_oid.h"
#include "scan/walk_streams.h"

namespace {

const char kSysUpTimeInstance[] = "1.3.6.1.2.1.1.3.0";

// A root the buffers cannot hold, or one without a sub-identifier (no end
// bound), is refused before anything is sent.
bool RootFits(int root_length) { return root_length >= 1 && root_length <= MAX_OID_LEN; }

}  // namespace

Walker::Walker(std::string target, const ScanSettings& settings, JobProgress* progress)
    : target_(std::move(target)), settings_(settings), progress_(progress) {
  if (settings.max_seconds > 0)
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(settings.max_seconds);
}

void Walker::UseAccount(const Account& account) { account_ = account; }

void Walker::UseBulkProfile(int repetitions, bool no_bulk) {
  no_bulk_ = no_bulk;
  if (repetitions > 0 && repetitions < settings_.max_reps) bulk_repetitions_ = repetitions;
}

bool Walker::StoreVariable(const netsnmp_variable_list* var, int version) {
  ValueEncoding encoding = ValueEncoding::kText;
  if (!RenderValue(var, &value_text_, &encoding)) return false;
  const OidText name(var->name, var->name_length);
  rows_.SetAt(name.view(), ResultRow{value_text_, version, SmiTypeName(var->type),
                                     encoding == ValueEncoding::kBase64});
  return true;
}

bool Walker::HasSysUpTime() const { return rows_.Find(kSysUpTimeInstance).has_value(); }

void Walker::PublishRows() {
  if (progress_) progress_->rows.store(rows_.GetCount(), std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The loops

// One variable of an answer without error status, through the checks of a
// GETNEXT (or GET) answer. Returns false when the walk ends with it.
bool Walker::AcceptVariable(const netsnmp_variable_list* var, WalkCursor* cursor, bool get_next,
                            bool check_ordering) {
  const char* target = target_.c_str();
  if (snmp_oid_compare(cursor->end_bound, cursor->root_length, var->name, var->name_length) <= 0)
    return false;  // at or beyond the end of the subtree
  if (StoreVariable(var, version_) && !get_next) {
    console::Print(stdout, "Success\n");
    WriteLog("%s|Success", target);
  }
  if (IsException(var->type)) return false;
  const int order =
      snmp_oid_compare(cursor->name, cursor->name_length, var->name, var->name_length);
  bool more = true;
  if (check_ordering && order >= 0) {
    console::Print(stdout, "Error: OID not increasing: \n");
    WriteLog("%s|OID not increasing", target);
    cut_why_ = "OID not increasing";
    more = false;
  } else if (!check_ordering && order == 0 && get_next) {
    // Unchecked order still must not ask the same question for ever.
    console::Print(stdout, "Error: OID repeated: \n");
    WriteLog("%s|OID repeated", target);
    cut_why_ = "OID repeated";
    more = false;
  }
  cursor->name_length = var->name_length < MAX_OID_LEN ? var->name_length : MAX_OID_LEN;
  memcpy(cursor->name, var->name, cursor->name_length * sizeof(oid));
  if (more && LimitReached()) {
    cut_why_ = "limit reached";
    more = false;
  }
  return more;
}

// The variables of one answer in order. A GETBULK answer ends at its first
// stop, exactly where the GETNEXT walk would have ended; an answer to a single
// GETNEXT or GET is taken whole, as designed, should an agent send more than
// was asked (only a reached limit cuts it). Returns false when the walk ends
// here.
bool Walker::AcceptVariables(const netsnmp_pdu* response, WalkCursor* cursor, bool get_next,
                             bool bulk, bool check_ordering) {
  // An answer without variables would have the same request sent again
  // for ever.
  if (!response->variables) return false;
  bool running = true;
  for (const netsnmp_variable_list* var = response->variables; var; var = var->next_variable) {
    if (AcceptVariable(var, cursor, get_next, check_ordering)) continue;
    running = false;
    if (bulk || LimitReached()) break;
  }
  return running;
}

// GETBULK max-repetitions of this target, lowered (never raised) by what its
// answers show; logged by the job once it is done.
int Walker::BulkRepetitions() {
  if (bulk_repetitions_ == 0) bulk_repetitions_ = settings_.max_reps;
  return bulk_repetitions_;
}

void Walker::NoteEmptyBulkAnswer() {
  if (bulk_empty_reported_) return;
  bulk_empty_reported_ = true;
  WriteLog("%s|bulk answer empty", target_.c_str());
}

void Walker::LowerBulkRepetitions(int repetitions) {
  if (repetitions < 1) repetitions = 1;
  if (repetitions >= BulkRepetitions()) return;
  bulk_repetitions_ = repetitions;
  bulk_lowered_ = true;
}

// Opens the session of one walk (or batch of gets) over version: kFailed
// when the open failed (reported, "scan end" logged); kNoKey when the SNMPv3
// key could not be made (reported; no session).
Walker::Opened Walker::OpenWalkSession(SnmpExchange* session, SnmpSession::Api api, int version) {
  const char* target = target_.c_str();
  version_ = version;
  InitSnmpLibrary();
  // Once per target, with no lock held; the library gets a numeric address.
  if (peer_.empty()) peer_ = NumericPeerName(target_);
  SnmpTarget peer;
  peer.peer = peer_;
  peer.version = version;
  peer.timeout_us = settings_.timeout_us;
  peer.retries = settings_.retries;
  peer.deadline = deadline_;
  if (version == 3) {
    peer.user = account_.username;
    peer.pass_phrase = account_.password;
    peer.auth_protocol = account_.auth_protocol;
    peer.priv_protocol = account_.priv_protocol;
    peer.priv_pass_phrase = account_.priv_password;
  } else {
    peer.community = settings_.community;
  }

  usm_report_ = UsmReport::kNone;
  const SnmpSession::OpenStatus opened = session->Open(peer);
  if (opened == SnmpSession::OpenStatus::kBadPassPhrase ||
      opened == SnmpSession::OpenStatus::kBadPrivPassPhrase) {
    const bool auth = opened == SnmpSession::OpenStatus::kBadPassPhrase;
    console::Print(stderr, "Error generating Ku from %s pass phrase.\n",
                   auth ? "authentication" : "privacy");
    WriteLog("%s|password error", target);
    const std::string& refused = auth ? account_.password : account_.priv_password;
    tally_.NoteAuthFailure(refused.size() < USM_LENGTH_P_MIN
                               ? "pass phrase refused (fewer than 8 characters)"
                               : "pass phrase refused",
                           true);
    return Opened::kNoKey;
  }
  if (opened == SnmpSession::OpenStatus::kDeadline) {
    ReportFailedExchange(session, version, ExchangeStatus::kDeadline, nullptr);
    WriteLog("%s|scan end", target);
    return Opened::kFailed;
  }
  if (opened != SnmpSession::OpenStatus::kOpen) {
    NoteUsmReport(*session);
    if (session->interrupted()) {
      WriteLog("%s|interrupted", target);
      tally_.NoteInterrupted();
    } else {
      WriteLog(
          api == SnmpSession::Api::kTraditional ? "%s|snmp_open error" : "%s|snmp_sess_session",
          target);
      NoteFailure(*session, version, /*in_open=*/true);
    }
    WriteLog("%s|scan end", target);
    return Opened::kFailed;
  }
  return Opened::kOpen;
}

void Walker::RunBatchPass(SnmpExchange* exchange, SnmpSession::Api api, int version,
                          std::vector<BatchItem>* items) {
  const char* target = target_.c_str();
  SnmpExchange& session = *exchange;
  if (OpenWalkSession(&session, api, version) != Opened::kOpen) return;
  const bool check_ordering = !SnmpAppBoolean(kDontCheckOrderingIndex);
  std::vector<bool> stored(items->size(), false);
  std::deque<size_t> todo;
  for (size_t i = 0; i < items->size(); ++i) todo.push_back(i);
  size_t batch = static_cast<size_t>(settings_.get_batch);
  std::vector<size_t> chunk;
  std::vector<SnmpName> names;
  while ((!todo.empty() || !chunk.empty()) && !LimitReached()) {
    while (chunk.size() < batch && !todo.empty()) {
      chunk.push_back(todo.front());
      todo.pop_front();
    }
    names.clear();
    for (size_t i : chunk)
      names.push_back({(*items)[i].cursor.name, (*items)[i].cursor.name_length});
    netsnmp_pdu* response = nullptr;
    const ExchangeStatus status =
        session.Exchange(SNMP_MSG_GET, names.data(), names.size(), 0, &response);
    if (status == ExchangeStatus::kSuccess) tally_.NoteAnswer(version);
    if (status == ExchangeStatus::kSuccess && response->errstat == SNMP_ERR_TOOBIG &&
        chunk.size() > 1) {
      batch = chunk.size() / 2;
      for (auto it = chunk.rbegin(); it != chunk.rend(); ++it) todo.push_front(*it);
      chunk.clear();
      continue;
    }
    if (status != ExchangeStatus::kSuccess || response->errstat != SNMP_ERR_NOERROR) {
      ReportFailedExchange(&session, version, status, response);
      if (status == ExchangeStatus::kInterrupted || status == ExchangeStatus::kDeadline) break;
      const long bad =
          status == ExchangeStatus::kSuccess && response->errstat == SNMP_ERR_NOSUCHNAME
              ? response->errindex
              : 0;
      if (bad >= 1 && static_cast<size_t>(bad) <= chunk.size())
        chunk.erase(chunk.begin() + (bad - 1));  // the others are sent again
      else
        chunk.clear();
      continue;
    }
    const netsnmp_variable_list* var = response->variables;
    for (size_t i : chunk) {
      if (!var) break;
      const size_t rows = rows_.GetCount();
      AcceptVariable(var, &(*items)[i].cursor, false, check_ordering);
      stored[i] = rows_.GetCount() != rows;
      var = var->next_variable;
    }
    PublishRows();
    chunk.clear();
  }
  session.Close();
  WriteLog("%s|scan end", target);
  std::vector<BatchItem> left;
  for (size_t i = 0; i < items->size(); ++i)
    if (!stored[i]) left.push_back((*items)[i]);
  items->swap(left);
}

bool Walker::RunWalk(SnmpExchange* exchange, SnmpSession::Api api, const oid* root, int root_length,
                     int version, bool get_next) {
  const char* target = target_.c_str();
  if (!root || !RootFits(root_length)) {
    RefuseOid(("(" + std::to_string(root_length) + " sub-identifiers)").c_str());
    return true;
  }

  WalkLoopState loop;
  WalkCursor& cursor = loop.cursor;
  cursor.StartAt(root, static_cast<size_t>(root_length));
  const size_t rows_before = rows_.GetCount();
  cut_why_.clear();
  cut_by_timeout_ = false;

  SnmpExchange& session = *exchange;
  switch (OpenWalkSession(&session, api, version)) {
    case Opened::kOpen:
      break;
    case Opened::kFailed:
      return true;
    case Opened::kNoKey:
      return false;
  }

  const bool check_ordering = !SnmpAppBoolean(kDontCheckOrderingIndex);
  bool& bulk = loop.bulk;
  int& command = loop.command;
  int& timed_out_repetitions = loop.timed_out_repetitions;
  bool& empty_answered = loop.empty_answered;
  bulk = get_next && version != 1 && settings_.max_reps > 0 && !no_bulk_;
  command = bulk ? SNMP_MSG_GETBULK : get_next ? SNMP_MSG_GETNEXT : SNMP_MSG_GET;
  // Several streams hand the walk back to this loop when they give up.
  std::shared_ptr<StreamsAhead> ahead = std::move(ahead_);
  bool running = !bulk || settings_.streams <= 1 || one_stream_ ||
                 WalkInStreams(this, &session, version, check_ordering, ahead.get(), &loop);
  while (running) {
    if (LimitReached()) {
      cut_why_ = "limit reached";
      break;
    }
    const int repetitions = !bulk                                         ? 0
                            : timed_out_repetitions > 0 || empty_answered ? 1
                                                                          : BulkRepetitions();
    netsnmp_pdu* response = nullptr;
    const SnmpName request = {cursor.name, cursor.name_length};
    const ExchangeStatus status = session.Exchange(command, &request, 1, repetitions, &response);
    if (status == ExchangeStatus::kSuccess) tally_.NoteAnswer(version);
    // An empty bulk answer is no answer: the device teaches "bulk failed".
    if (bulk && status == ExchangeStatus::kSuccess && response->errstat == SNMP_ERR_NOERROR &&
        response->variables)
      bulk_answered_ = true;
    if (bulk && repetitions == 1 && status == ExchangeStatus::kTimeout) bulk_unanswered_ = true;
    if (bulk && repetitions > 1) {
      if (status == ExchangeStatus::kTimeout) {
        timed_out_repetitions = repetitions;
        continue;
      }
      if (status == ExchangeStatus::kSuccess && response->errstat == SNMP_ERR_TOOBIG) {
        LowerBulkRepetitions(repetitions / 2);
        continue;
      }
    }
    if (timed_out_repetitions > 0 && status == ExchangeStatus::kSuccess)
      LowerBulkRepetitions(timed_out_repetitions / 2);
    timed_out_repetitions = 0;
    if (bulk && status == ExchangeStatus::kSuccess && response->errstat == SNMP_ERR_NOERROR &&
        !response->variables) {
      // A bulk request that failed: the same adaptation as for silence.
      NoteEmptyBulkAnswer();
      bulk_unanswered_ = true;
      if (repetitions > 1) {
        empty_answered = true;
      } else {
        bulk = false;
        command = SNMP_MSG_GETNEXT;
      }
      continue;
    }
    if (status != ExchangeStatus::kSuccess || response->errstat != SNMP_ERR_NOERROR) {
      ReportFailedExchange(&session, version, status, response);
      running = false;
      continue;
    }
    running = AcceptVariables(response, &cursor, get_next, bulk, check_ordering);
    PublishRows();
    if (empty_answered) {
      bulk = false;
      command = SNMP_MSG_GETNEXT;
    }
    // A get asks for one instance: one answer ends it. Without this, an
    // answer naming a greater OID inside the bound would pass the ordering
    // check and have the next get ask for that name, and so on for ever;
    // without the ordering check even a plain answer would repeat the get.
    if (!get_next) running = false;
  }
  session.Close();
  WriteLog("%s|scan end", target);
  // A walk that stored rows and then stopped short of its subtree's end.
  const size_t stored = rows_.GetCount() - rows_before;
  if (get_next && stored > 0 && !cut_why_.empty())
    tally_.NoteCut(std::string(OidText(root, static_cast<size_t>(root_length)).view()), stored,
                   cut_why_, cut_by_timeout_);
  return true;
}

// ---------------------------------------------------------------------------
// A walk or a batch of gets over one version, in its two variants

// The start of a walk or get of the OID text: logged and printed, then
// converted. Returns false (refused and reported) when it gives no root.
bool Walker::StartOid(const char* text, int version, oid* root, int* root_length) {
  WriteLog("%s|scan start: %s[v%d]", target_.c_str(), text, version);
  console::Print(stdout, "target[%s]start:%s[v%d]\n", target_.c_str(), text, version);
  *root_length = ParseStartOid(text, root, MAX_OID_LEN);
  if (RootFits(*root_length)) return true;
  RefuseOid(text);
  return false;
}

bool Walker::Walk(const char* oid_text, int version, bool get_next, const char* then) {
  // After the operator's interrupt no walk starts: the job goes straight on
  // to write what it has.
  if (platform::Interrupted()) {
    tally_.NoteInterrupted();
    return true;
  }
  if (LimitReached()) return true;
  oid root[MAX_OID_LEN];
  int root_length = 0;
  if (!StartOid(oid_text ? oid_text : "", version, root, &root_length)) return true;
  const size_t rows = rows_.GetCount();
  bool keyed;
  {
    if (then && get_next) {
      oid next[MAX_OID_LEN];
      const int length = ParseStartOid(then, next, MAX_OID_LEN);
      if (RootFits(length)) then_.assign(next, next + length);
    }
    SnmpSession session(SnmpSession::Api::kTraditional);
    keyed = RunWalk(&session, SnmpSession::Api::kTraditional, root, root_length, version, get_next);
    then_.clear();
  }
  if (rows_.GetCount() == rows && platform::Interrupted()) {
    tally_.NoteInterrupted();  // the second variant does not start
  } else if (rows_.GetCount() == rows && !LimitReached()) {
    WriteLog("%s|scan start: snmp_sess_synch_response", target_.c_str());
    console::Print(stdout, "snmp_sess_synch_response\n");
    SnmpSession session(SnmpSession::Api::kSingleSession);
    keyed =
        RunWalk(&session, SnmpSession::Api::kSingleSession, root, root_length, version, get_next);
  }
  return keyed;
}

void Walker::GetBatch(const std::vector<std::string>& oids, int version,
                      std::vector<size_t>* pending) {
  if (platform::Interrupted()) {
    tally_.NoteInterrupted();
    return;
  }
  if (LimitReached()) return;
  std::vector<size_t> refused;
  std::vector<BatchItem> items;
  for (size_t index : *pending) {
    oid root[MAX_OID_LEN];
    int root_length = 0;
    if (!StartOid(oids[index].c_str(), version, root, &root_length)) {
      refused.push_back(index);
      continue;
    }
    items.push_back(BatchItem{index, {}});
    items.back().cursor.StartAt(root, static_cast<size_t>(root_length));
  }
  if (!items.empty()) {
    SnmpSession session(SnmpSession::Api::kTraditional);
    RunBatchPass(&session, SnmpSession::Api::kTraditional, version, &items);
  }
  if (!items.empty() && platform::Interrupted()) {
    tally_.NoteInterrupted();  // the second variant does not start
  } else if (!items.empty() && !LimitReached()) {
    WriteLog("%s|scan start: snmp_sess_synch_response", target_.c_str());
    console::Print(stdout, "snmp_sess_synch_response\n");
    SnmpSession session(SnmpSession::Api::kSingleSession);
    RunBatchPass(&session, SnmpSession::Api::kSingleSession, version, &items);
  }
  for (const auto& item : items) refused.push_back(item.index);
  std::sort(refused.begin(), refused.end());
  pending->swap(refused);
}
