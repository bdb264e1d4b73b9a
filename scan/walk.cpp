// The MIB walk: one subtree by get-next, or one instance by get, over one SNMP
// version, every answer stored through CMIB::StoreVariable.
//
// Both variants run the same loop; they differ in how the session is opened
// (traditional or single-session API) and in the log text of a failed open.
// Library calls go through SnmpSession, which serialises them and waits for
// agents outside the library lock, so any number of jobs walk at once.
#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "output/console.h"
#include "platform/interrupt.h"
#include "scan/mib.h"
#include "scan/run_settings.h"
#include "scan/snmp_session.h"
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
void NoteFailure(CMIB& job, const SnmpSession& session, int version, bool in_open) {
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
void NoteUsmReport(CMIB* job, const SnmpSession& session) {
  job->m_usmReport = session.usm_report();
  if (job->m_usmReport != UsmReport::kNone)
    WriteLog("%s|authentication failed: %s", job->m_strTarget.c_str(), UsmReportText(job->m_usmReport));
}

int RunWalk(CMIB& job, SnmpSession::Api api, const oid* pRoot, int nRootLen, int nVersion, bool bGetNext) {
  const char* target = job.m_strTarget.c_str();
  if (!pRoot || !RootFits(nRootLen)) {
    RefuseOid(job, ("(" + std::to_string(nRootLen) + " sub-identifiers)").c_str());
    return 0;
  }
  job.m_nVersion = nVersion;
  InitSnmpLibrary();

  const size_t root_length = static_cast<size_t>(nRootLen);
  oid end_bound[MAX_OID_LEN];
  oid name[MAX_OID_LEN];
  memcpy(end_bound, pRoot, root_length * sizeof(oid));
  memcpy(name, pRoot, root_length * sizeof(oid));
  size_t name_length = root_length;
  ++end_bound[root_length - 1];

  SnmpTarget peer;
  peer.peer = job.m_strTarget;
  peer.version = nVersion;
  peer.timeout_us = g_nTimeout;
  peer.retries = g_nRetry;
  if (nVersion == 3) {
    peer.user = job.m_strUser;
    peer.pass_phrase = job.m_strPassword;
    peer.auth_protocol = job.m_authProtocol;
    peer.priv_protocol = job.m_privProtocol;
    peer.priv_pass_phrase = job.m_strPrivPassword;
  } else {
    peer.community = g_strCommunity;
  }

  SnmpSession session(api);
  job.m_usmReport = UsmReport::kNone;
  const SnmpSession::OpenStatus opened = session.Open(peer);
  if (opened == SnmpSession::OpenStatus::kBadPassPhrase || opened == SnmpSession::OpenStatus::kBadPrivPassPhrase) {
    const bool auth = opened == SnmpSession::OpenStatus::kBadPassPhrase;
    console::Print(stderr, "Error generating Ku from %s pass phrase.\n", auth ? "authentication" : "privacy");
    WriteLog("%s|password error", target);
    const std::string& refused = auth ? job.m_strPassword : job.m_strPrivPassword;
    job.m_walks.NoteAuthFailure(refused.size() < USM_LENGTH_P_MIN ? "pass phrase refused (fewer than 8 characters)"
                                                                 : "pass phrase refused",
                                true);
    return -1;
  }
  if (opened != SnmpSession::OpenStatus::kOpen) {
    NoteUsmReport(&job, session);
    if (session.interrupted()) {
      WriteLog("%s|interrupted", target);
      job.m_walks.NoteInterrupted();
    } else {
      WriteLog(api == SnmpSession::Api::kTraditional ? "%s|snmp_open error" : "%s|snmp_sess_session", target);
      NoteFailure(job, session, nVersion, /*in_open=*/true);
    }
    WriteLog("%s|scan end", target);
    return 0;
  }

  const bool check_ordering = !SnmpAppBoolean(kDontCheckOrderingIndex);
  const int command = bGetNext ? SNMP_MSG_GETNEXT : SNMP_MSG_GET;
  bool running = true;
  while (running) {
    netsnmp_pdu* response = nullptr;
    const int status = session.Exchange(command, name, name_length, &response);
    if (status != STAT_SUCCESS) {
      running = false;
      if (status == kStatInterrupted) {
        WriteLog("%s|interrupted", target);
        job.m_walks.NoteInterrupted();
      } else if (status == STAT_TIMEOUT) {
        console::Print(stderr, "Timeout: No Response from %s\n", session.PeerName());
        WriteLog("%s|Timeout", target);
        job.m_walks.NoteSilent(nVersion);
      } else {
        session.PrintLibraryError();
        NoteUsmReport(&job, session);
        WriteLog("%s|Error %d", target, status);
        NoteFailure(job, session, nVersion, /*in_open=*/false);
      }
      continue;
    }
    job.m_walks.NoteAnswer(nVersion);
    if (response->errstat != SNMP_ERR_NOERROR) {
      running = false;
      if (response->errstat == SNMP_ERR_NOSUCHNAME) {
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
      continue;
    }
    // An answer without variables would have the same request sent again
    // for ever.
    if (!response->variables) running = false;
    for (const netsnmp_variable_list* var = response->variables; var; var = var->next_variable) {
      if (snmp_oid_compare(end_bound, root_length, var->name, var->name_length) <= 0) {
        running = false;  // at or beyond the end of the subtree
        continue;
      }
      if (job.StoreVariable(var) && !bGetNext) {
        console::Print(stdout, "Success\n");
        WriteLog("%s|Success", target);
      }
      if (IsException(var->type)) {
        running = false;
        continue;
      }
      if (check_ordering && snmp_oid_compare(name, name_length, var->name, var->name_length) >= 0) {
        console::Print(stdout, "Error: OID not increasing: \n");
        WriteLog("%s|OID not increasing", target);
        running = false;
      }
      name_length = var->name_length < MAX_OID_LEN ? var->name_length : MAX_OID_LEN;
      memcpy(name, var->name, name_length * sizeof(oid));
    }
    job.PublishRows();
    // A get asks for one instance: one answer ends it. Without this, an
    // answer naming a greater OID inside the bound would pass the ordering
    // check and have the next get ask for that name, and so on for ever;
    // without the ordering check even a plain answer would repeat the get.
    if (!bGetNext) running = false;
  }
  session.Close();
  WriteLog("%s|scan end", target);
  return 0;
}

}  // namespace

int CMIB::Walk(const char* pszOid, int nVersion, bool bGetNext) {
  // After the operator's interrupt no walk starts: the job goes straight on
  // to write what it has.
  if (platform::Interrupted()) {
    m_walks.NoteInterrupted();
    return 0;
  }
  const char* text = pszOid ? pszOid : "";
  WriteLog("%s|scan start: %s[v%d]", m_strTarget.c_str(), text, nVersion);
  console::Print(stdout, "target[%s]start:%s[v%d]\n", m_strTarget.c_str(), text, nVersion);

  oid root[MAX_OID_LEN];
  const int root_length = ParseStartOid(text, root, MAX_OID_LEN);
  if (!RootFits(root_length)) {
    RefuseOid(*this, text);
    return 0;
  }
  const size_t rows = m_mapValues.GetCount();
  int result = WalkTraditional(root, root_length, nVersion, bGetNext);
  if (m_mapValues.GetCount() == rows && platform::Interrupted()) {
    m_walks.NoteInterrupted();  // the second variant does not start
  } else if (m_mapValues.GetCount() == rows) {
    WriteLog("%s|scan start: snmp_sess_synch_response", m_strTarget.c_str());
    console::Print(stdout, "snmp_sess_synch_response\n");
    result = WalkSingleSession(root, root_length, nVersion, bGetNext);
  }
  return result;
}

int CMIB::WalkTraditional(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext) {
  return RunWalk(*this, SnmpSession::Api::kTraditional, pRoot, nRootLen, nVersion, bGetNext);
}

int CMIB::WalkSingleSession(const oid* pRoot, int nRootLen, int nVersion, bool bGetNext) {
  return RunWalk(*this, SnmpSession::Api::kSingleSession, pRoot, nRootLen, nVersion, bGetNext);
}
