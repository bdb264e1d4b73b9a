// The MIB walk: one subtree by get-next (or GETBULK), or one instance by get,
// over one SNMP version, every answer stored through CMIB::StoreVariable; and
// the batched gets of the configured OIDs.
//
// Both variants run the same loop; they differ in how the session is opened
// (traditional or single-session API) and in the log text of a failed open.
// Library calls go through SnmpSession, which serialises them and waits for
// agents outside the library lock, so any number of jobs walk at once.
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
#include "scan/mib.h"
#include "scan/peer_name.h"
#include "scan/run_settings.h"
#include "scan/scan_options.h"
#include "scan/snmp_setup.h"
#include "scan/start_oid.h"

namespace {

// The C library's atoi as the walk relies on it: white space, an optional
// sign and decimal digits, saturating at the limits of a 32-bit int (glibc's
// atoi truncates instead). Reads [text, end).
int SaturatingAtoi(const char* text, const char* end) {
  const char* p = text;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  long long value = 0;
  const long long limit = negative ? 2147483648LL : 2147483647LL;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) value = limit;  // stays saturated; no overflow
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

int ParseStartOid(const char* text, oid* ids, int capacity) {
  int count = 0;
  const char* p = text;
  for (;;) {
    while (*p == '.') ++p;
    if (!*p) break;
    const char* start = p;
    while (*p && *p != '.') ++p;
    if (count < capacity) ids[count] = static_cast<uint32_t>(SaturatingAtoi(start, p));
    ++count;
  }
  return count;
}

namespace {

bool IsException(u_char type) {
  return type == SNMP_ENDOFMIBVIEW || type == SNMP_NOSUCHOBJECT || type == SNMP_NOSUCHINSTANCE;
}

const netsnmp_variable_list* NthVariable(const netsnmp_pdu* pdu, long index) {
  if (index < 1) return nullptr;
  const netsnmp_variable_list* var = pdu->variables;
  for (long i = 1; var && i < index; ++i) var = var->next_variable;
  return var;
}

// A root the buffers cannot hold, or one without a sub-identifier (no end
// bound), is refused before anything is sent.
bool RootFits(int root_length) { return root_length >= 1 && root_length <= MAX_OID_LEN; }

void RefuseOid(CMIB& job, const char* oid_text) {
  console::Print(stderr, "target[%s]invalid OID:%s\n", job.m_strTarget.c_str(), oid_text);
  WriteLog("%s|invalid OID: %s", job.m_strTarget.c_str(), oid_text);
  job.m_walks.NoteInvalidOid(oid_text);
}

// What a failed open or exchange means for the job's outcome, judged by the
// library's report of it (printed before).
void NoteFailure(CMIB& job, const SnmpExchange& session, int version, bool in_open) {
  const int code = session.error_code();
  if (job.m_usmReport != UsmReport::kNone) {
    job.m_walks.NoteAuthFailure(UsmReportText(job.m_usmReport), !job.m_strUser.empty());
  } else if (code == SNMPERR_TIMEOUT) {
    job.m_walks.NoteSilent(version);  // an SNMPv3 discovery without an answer
  } else if (const char* usm = UsmFailureText(code)) {
    job.m_walks.NoteAuthFailure(usm, !job.m_strUser.empty());
  } else if (in_open) {
    job.m_walks.NoteOpenFailure(session.error_text());
  } else {
    job.m_walks.NoteOtherFailure(session.error_text());
  }
}

// A failure the agent named in a USM report: kept on the job and logged by
// name (never with a pass phrase), before the designed failure line.
void NoteUsmReport(CMIB* job, const SnmpExchange& session) {
  job->m_usmReport = session.usm_report();
  if (job->m_usmReport != UsmReport::kNone)
    WriteLog("%s|authentication failed: %s", job->m_strTarget.c_str(),
             UsmReportText(job->m_usmReport));
}

// Reports an exchange without a usable answer: the exchange failed
// (status), or the answer carries an error status.
void ReportFailedExchange(CMIB& job, SnmpExchange* session, int version, int status,
                          const netsnmp_pdu* response) {
  const char* target = job.m_strTarget.c_str();
  if (status == kStatInterrupted) {
    WriteLog("%s|interrupted", target);
    job.m_walks.NoteInterrupted();
  } else if (status == kStatDeadline) {
    // No answer within the time the target was given.
    job.m_walks.NoteSilent(version);
    job.LimitReached();
  } else if (status == STAT_TIMEOUT) {
    console::Print(stderr, "Timeout: No Response from %s\n", target);
    WriteLog("%s|Timeout", target);
    job.m_walks.NoteSilent(version);
  } else if (status != STAT_SUCCESS) {
    session->PrintLibraryError();
    NoteUsmReport(&job, *session);
    WriteLog("%s|Error %d", target, status);
    NoteFailure(job, *session, version, /*in_open=*/false);
  } else if (response->errstat == SNMP_ERR_NOSUCHNAME) {
    console::Print(stdout, "End of MIB\n");
    WriteLog("%s|End of MIB", target);
  } else {
    const char* reason = snmp_errstring(static_cast<int>(response->errstat));
    WriteLog("%s|Error in packet. %s", target, reason);
    job.m_walks.NoteOtherFailure(std::string("error in packet: ") + reason);
    console::LineGuard line(stderr);
    fprintf(stderr, "Error in packet.\nReason: %s\n", reason);
    if (response->errindex != 0) {
      fprintf(stderr, "Failed object: ");
      if (const netsnmp_variable_list* failed = NthVariable(response, response->errindex))
        SnmpSession::PrintObjid(stderr, failed->name, failed->name_length);
      fprintf(stderr, "\n");
    }
  }
}

// One variable of an answer without error status, through the checks of a
// GETNEXT (or GET) answer. Returns false when the walk ends with it.
bool AcceptVariable(CMIB& job, const netsnmp_variable_list* var, WalkCursor* cursor, bool get_next,
                    bool check_ordering) {
  const char* target = job.m_strTarget.c_str();
  if (snmp_oid_compare(cursor->end_bound, cursor->root_length, var->name, var->name_length) <= 0)
    return false;  // at or beyond the end of the subtree
  if (job.StoreVariable(var) && !get_next) {
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
    more = false;
  } else if (!check_ordering && order == 0 && get_next) {
    // Unchecked order still must not ask the same question for ever.
    console::Print(stdout, "Error: OID repeated: \n");
    WriteLog("%s|OID repeated", target);
    more = false;
  }
  cursor->name_length = var->name_length < MAX_OID_LEN ? var->name_length : MAX_OID_LEN;
  memcpy(cursor->name, var->name, cursor->name_length * sizeof(oid));
  return more && !job.LimitReached();
}

// The variables of one answer in order. A GETBULK answer ends at its first
// stop, exactly where the GETNEXT walk would have ended; an answer to a single
// GETNEXT or GET is taken whole, as designed, should an agent send more than
// was asked (only a reached limit cuts it). Returns false when the walk ends
// here.
bool AcceptVariables(CMIB& job, const netsnmp_pdu* response, WalkCursor* cursor, bool get_next,
                     bool bulk, bool check_ordering) {
  // An answer without variables would have the same request sent again
  // for ever.
  if (!response->variables) return false;
  bool running = true;
  for (const netsnmp_variable_list* var = response->variables; var; var = var->next_variable) {
    if (AcceptVariable(job, var, cursor, get_next, check_ordering)) continue;
    running = false;
    if (bulk || job.LimitReached()) break;
  }
  return running;
}

// GETBULK max-repetitions of this target, lowered (never raised) by what its
// answers show; logged by the job once it is done.
int BulkRepetitions(CMIB& job) {
  if (job.m_tuning.bulk_repetitions == 0) job.m_tuning.bulk_repetitions = g_scanOptions.max_reps;
  return job.m_tuning.bulk_repetitions;
}

void LowerBulkRepetitions(CMIB& job, int repetitions) {
  if (repetitions < 1) repetitions = 1;
  if (repetitions >= BulkRepetitions(job)) return;
  job.m_tuning.bulk_repetitions = repetitions;
  job.m_tuning.bulk_lowered = true;
}

// Opens the session of one walk (or batch of gets) over version. Returns 1
// when it is open; 0 when the open failed (reported, "scan end" logged); -1
// when the SNMPv3 key could not be made (reported; no session).
int OpenWalkSession(CMIB& job, SnmpExchange* session, SnmpSession::Api api, int version) {
  const char* target = job.m_strTarget.c_str();
  job.m_nVersion = version;
  InitSnmpLibrary();
  // Once per job, with no lock held; the library gets a numeric address.
  if (job.m_tuning.peer.empty()) job.m_tuning.peer = NumericPeerName(job.m_strTarget);
  SnmpTarget peer;
  peer.peer = job.m_tuning.peer;
  peer.version = version;
  peer.timeout_us = g_nTimeout;
  peer.retries = g_nRetry;
  peer.deadline = job.m_tuning.deadline;
  if (version == 3) {
    peer.user = job.m_strUser;
    peer.pass_phrase = job.m_strPassword;
    peer.auth_protocol = job.m_authProtocol;
    peer.priv_protocol = job.m_privProtocol;
    peer.priv_pass_phrase = job.m_strPrivPassword;
  } else {
    peer.community = g_strCommunity;
  }

  job.m_usmReport = UsmReport::kNone;
  const SnmpSession::OpenStatus opened = session->Open(peer);
  if (opened == SnmpSession::OpenStatus::kBadPassPhrase ||
      opened == SnmpSession::OpenStatus::kBadPrivPassPhrase) {
    const bool auth = opened == SnmpSession::OpenStatus::kBadPassPhrase;
    console::Print(stderr, "Error generating Ku from %s pass phrase.\n",
                   auth ? "authentication" : "privacy");
    WriteLog("%s|password error", target);
    const std::string& refused = auth ? job.m_strPassword : job.m_strPrivPassword;
    job.m_walks.NoteAuthFailure(refused.size() < USM_LENGTH_P_MIN
                                    ? "pass phrase refused (fewer than 8 characters)"
                                    : "pass phrase refused",
                                true);
    return -1;
  }
  if (opened == SnmpSession::OpenStatus::kDeadline) {
    ReportFailedExchange(job, session, version, kStatDeadline, nullptr);
    WriteLog("%s|scan end", target);
    return 0;
  }
  if (opened != SnmpSession::OpenStatus::kOpen) {
    NoteUsmReport(&job, *session);
    if (session->interrupted()) {
      WriteLog("%s|interrupted", target);
      job.m_walks.NoteInterrupted();
    } else {
      WriteLog(
          api == SnmpSession::Api::kTraditional ? "%s|snmp_open error" : "%s|snmp_sess_session",
          target);
      NoteFailure(job, *session, version, /*in_open=*/true);
    }
    WriteLog("%s|scan end", target);
    return 0;
  }

  return 1;
}

}  // namespace

void RunBatchPass(CMIB& job, SnmpExchange* exchange, SnmpSession::Api api, int version,
                  std::vector<BatchItem>* items) {
  const char* target = job.m_strTarget.c_str();
  SnmpExchange& session = *exchange;
  if (OpenWalkSession(job, &session, api, version) <= 0) return;
  const bool check_ordering = !SnmpAppBoolean(kDontCheckOrderingIndex);
  std::vector<bool> stored(items->size(), false);
  std::deque<size_t> todo;
  for (size_t i = 0; i < items->size(); ++i) todo.push_back(i);
  size_t batch = static_cast<size_t>(g_scanOptions.get_batch);
  std::vector<size_t> chunk;
  std::vector<SnmpName> names;
  while ((!todo.empty() || !chunk.empty()) && !job.LimitReached()) {
    while (chunk.size() < batch && !todo.empty()) {
      chunk.push_back(todo.front());
      todo.pop_front();
    }
    names.clear();
    for (size_t i : chunk)
      names.push_back({(*items)[i].cursor.name, (*items)[i].cursor.name_length});
    netsnmp_pdu* response = nullptr;
    const int status = session.Exchange(SNMP_MSG_GET, names.data(), names.size(), 0, &response);
    if (status == STAT_SUCCESS) job.m_walks.NoteAnswer(version);
    if (status == STAT_SUCCESS && response->errstat == SNMP_ERR_TOOBIG && chunk.size() > 1) {
      batch = chunk.size() / 2;
      for (auto it = chunk.rbegin(); it != chunk.rend(); ++it) todo.push_front(*it);
      chunk.clear();
      continue;
    }
    if (status != STAT_SUCCESS || response->errstat != SNMP_ERR_NOERROR) {
      ReportFailedExchange(job, &session, version, status, response);
      if (status == kStatInterrupted || status == kStatDeadline) break;
      const long bad = status == STAT_SUCCESS && response->errstat == SNMP_ERR_NOSUCHNAME
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
      const size_t rows = job.m_mapValues.GetCount();
      AcceptVariable(job, var, &(*items)[i].cursor, false, check_ordering);
      stored[i] = job.m_mapValues.GetCount() != rows;
      var = var->next_variable;
    }
    job.PublishRows();
    chunk.clear();
  }
  session.Close();
  WriteLog("%s|scan end", target);
  std::vector<BatchItem> left;
  for (size_t i = 0; i < items->size(); ++i)
    if (!stored[i]) left.push_back((*items)[i]);
  items->swap(left);
}

int RunWalk(CMIB& job, SnmpExchange* exchange, SnmpSession::Api api, const oid* root,
            int root_length, int version, bool get_next) {
  const char* target = job.m_strTarget.c_str();
  if (!root || !RootFits(root_length)) {
    RefuseOid(job, ("(" + std::to_string(root_length) + " sub-identifiers)").c_str());
    return 0;
  }

  WalkCursor cursor;
  cursor.StartAt(root, static_cast<size_t>(root_length));

  SnmpExchange& session = *exchange;
  if (const int opened = OpenWalkSession(job, &session, api, version); opened <= 0) return opened;

  const bool check_ordering = !SnmpAppBoolean(kDontCheckOrderingIndex);
  const bool bulk = get_next && version != 1 && g_scanOptions.max_reps > 0;
  const int command = bulk ? SNMP_MSG_GETBULK : get_next ? SNMP_MSG_GETNEXT : SNMP_MSG_GET;
  // After a bulk request timed out: the repetitions it asked for, while one
  // request with a single repetition tells a silent device from one that
  // cannot answer that many.
  int timed_out_repetitions = 0;
  bool running = true;
  while (running) {
    if (job.LimitReached()) break;
    const int repetitions = !bulk ? 0 : timed_out_repetitions > 0 ? 1 : BulkRepetitions(job);
    netsnmp_pdu* response = nullptr;
    const SnmpName request = {cursor.name, cursor.name_length};
    const int status = session.Exchange(command, &request, 1, repetitions, &response);
    if (status == STAT_SUCCESS) job.m_walks.NoteAnswer(version);
    if (bulk && repetitions > 1) {
      if (status == STAT_TIMEOUT) {
        timed_out_repetitions = repetitions;
        continue;
      }
      if (status == STAT_SUCCESS && response->errstat == SNMP_ERR_TOOBIG) {
        LowerBulkRepetitions(job, repetitions / 2);
        continue;
      }
    }
    if (timed_out_repetitions > 0 && status == STAT_SUCCESS)
      LowerBulkRepetitions(job, timed_out_repetitions / 2);
    timed_out_repetitions = 0;
    if (status != STAT_SUCCESS || response->errstat != SNMP_ERR_NOERROR) {
      ReportFailedExchange(job, &session, version, status, response);
      running = false;
      continue;
    }
    running = AcceptVariables(job, response, &cursor, get_next, bulk, check_ordering);
    job.PublishRows();
    // A get asks for one instance: one answer ends it. Without this, an
    // answer naming a greater OID inside the bound would pass the ordering
    // check and have the next get ask for that name, and so on for ever;
    // without the ordering check even a plain answer would repeat the get.
    if (!get_next) running = false;
  }
  session.Close();
  WriteLog("%s|scan end", target);
  return 0;
}

namespace {

// The start of a walk or get of the OID text: logged and printed, then
// converted. Returns false (refused and reported) when it gives no root.
bool StartOid(CMIB& job, const char* text, int version, oid* root, int* root_length) {
  WriteLog("%s|scan start: %s[v%d]", job.m_strTarget.c_str(), text, version);
  console::Print(stdout, "target[%s]start:%s[v%d]\n", job.m_strTarget.c_str(), text, version);
  *root_length = ParseStartOid(text, root, MAX_OID_LEN);
  if (RootFits(*root_length)) return true;
  RefuseOid(job, text);
  return false;
}

}  // namespace

int CMIB::Walk(const char* pszOid, int nVersion, bool bGetNext) {
  // After the operator's interrupt no walk starts: the job goes straight on
  // to write what it has.
  if (platform::Interrupted()) {
    m_walks.NoteInterrupted();
    return 0;
  }
  if (LimitReached()) return 0;
  oid root[MAX_OID_LEN];
  int root_length = 0;
  if (!StartOid(*this, pszOid ? pszOid : "", nVersion, root, &root_length)) return 0;
  const size_t rows = m_mapValues.GetCount();
  int result = WalkTraditional(root, root_length, nVersion, bGetNext);
  if (m_mapValues.GetCount() == rows && platform::Interrupted()) {
    m_walks.NoteInterrupted();  // the second variant does not start
  } else if (m_mapValues.GetCount() == rows && !LimitReached()) {
    WriteLog("%s|scan start: snmp_sess_synch_response", m_strTarget.c_str());
    console::Print(stdout, "snmp_sess_synch_response\n");
    result = WalkSingleSession(root, root_length, nVersion, bGetNext);
  }
  return result;
}

int CMIB::WalkTraditional(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext) {
  SnmpSession session(SnmpSession::Api::kTraditional);
  return RunWalk(*this, &session, SnmpSession::Api::kTraditional, pRoot, nRootLen, nVersion,
                 bGetNext);
}

int CMIB::WalkSingleSession(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext) {
  SnmpSession session(SnmpSession::Api::kSingleSession);
  return RunWalk(*this, &session, SnmpSession::Api::kSingleSession, pRoot, nRootLen, nVersion,
                 bGetNext);
}

void CMIB::GetBatch(const std::vector<std::string>& oids, int nVersion,
                    std::vector<size_t>* pending) {
  if (platform::Interrupted()) {
    m_walks.NoteInterrupted();
    return;
  }
  if (LimitReached()) return;
  std::vector<size_t> refused;
  std::vector<BatchItem> items;
  for (size_t index : *pending) {
    oid root[MAX_OID_LEN];
    int root_length = 0;
    if (!StartOid(*this, oids[index].c_str(), nVersion, root, &root_length)) {
      refused.push_back(index);
      continue;
    }
    items.push_back(BatchItem{index, {}});
    items.back().cursor.StartAt(root, static_cast<size_t>(root_length));
  }
  if (!items.empty()) {
    SnmpSession session(SnmpSession::Api::kTraditional);
    RunBatchPass(*this, &session, SnmpSession::Api::kTraditional, nVersion, &items);
  }
  if (!items.empty() && platform::Interrupted()) {
    m_walks.NoteInterrupted();  // the second variant does not start
  } else if (!items.empty() && !LimitReached()) {
    WriteLog("%s|scan start: snmp_sess_synch_response", m_strTarget.c_str());
    console::Print(stdout, "snmp_sess_synch_response\n");
    SnmpSession session(SnmpSession::Api::kSingleSession);
    RunBatchPass(*this, &session, SnmpSession::Api::kSingleSession, nVersion, &items);
  }
  for (const auto& item : items) refused.push_back(item.index);
  std::sort(refused.begin(), refused.end());
  pending->swap(refused);
}

bool CMIB::LimitReached() {
  const int max_rows = g_scanOptions.max_rows;
  const bool rows = max_rows > 0 && m_mapValues.GetCount() >= static_cast<size_t>(max_rows);
  const bool time = !rows && m_tuning.deadline != std::chrono::steady_clock::time_point{} &&
                    std::chrono::steady_clock::now() >= m_tuning.deadline;
  if (!rows && !time) return false;
  if (!m_tuning.limit_reported) {
    m_tuning.limit_reported = true;
    const std::string what = rows ? "MaxRows " + std::to_string(max_rows)
                                  : "MaxSeconds " + std::to_string(g_scanOptions.max_seconds);
    console::Print(stderr, "target[%s]limit reached: %s\n", m_strTarget.c_str(), what.c_str());
    WriteLog("%s|limit reached: %s", m_strTarget.c_str(), what.c_str());
  }
  return true;
}
