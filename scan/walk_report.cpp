// What the walks of one target say when they stop short (scan/walk.h): the
// limits, a refused OID, a failed open or exchange. Each report goes to the
// console and the log as designed and is noted in the walk's tally.
#include <cstdio>
#include <string>

#include "log/log.h"
#include "output/console.h"
#include "scan/walk.h"

namespace {

const netsnmp_variable_list* NthVariable(const netsnmp_pdu* pdu, long index) {
  if (index < 1) return nullptr;
  const netsnmp_variable_list* var = pdu->variables;
  for (long i = 1; var && i < index; ++i) var = var->next_variable;
  return var;
}

}  // namespace

bool Walker::LimitReached() {
  const int max_rows = settings_.max_rows;
  const bool rows = max_rows > 0 && rows_.GetCount() >= static_cast<size_t>(max_rows);
  const bool time = !rows && deadline_ != std::chrono::steady_clock::time_point{} &&
                    std::chrono::steady_clock::now() >= deadline_;
  if (!rows && !time) return false;
  if (!limit_reported_) {
    limit_reported_ = true;
    const std::string what = rows ? "MaxRows " + std::to_string(max_rows)
                                  : "MaxSeconds " + std::to_string(settings_.max_seconds);
    console::Print(stderr, "target[%s]limit reached: %s\n", target_.c_str(), what.c_str());
    WriteLog("%s|limit reached: %s", target_.c_str(), what.c_str());
  }
  return true;
}

void Walker::RefuseOid(const char* oid_text) {
  console::Print(stderr, "target[%s]invalid OID:%s\n", target_.c_str(), oid_text);
  WriteLog("%s|invalid OID: %s", target_.c_str(), oid_text);
  tally_.NoteInvalidOid(oid_text);
}

// What a failed open or exchange means for the job's outcome, judged by the
// library's report of it (printed before).
void Walker::NoteFailure(const SnmpExchange& session, int version, bool in_open) {
  const int code = session.error_code();
  const bool with_account = !account_.username.empty();
  if (usm_report_ != UsmReport::kNone) {
    tally_.NoteAuthFailure(UsmReportText(usm_report_), with_account);
  } else if (code == SNMPERR_TIMEOUT) {
    tally_.NoteSilent(version);  // an SNMPv3 discovery without an answer
  } else if (const char* usm = UsmFailureText(code)) {
    tally_.NoteAuthFailure(usm, with_account);
  } else if (in_open || code == SNMPERR_BAD_SENDTO || code == SNMPERR_TOO_LONG) {
    // A request the system or the library would not send never reached an
    // agent: the session failed as an open does.
    tally_.NoteOpenFailure(session.error_text());
  } else {
    tally_.NoteOtherFailure(session.error_text());
  }
}

// A failure the agent named in a USM report: kept and logged by name (never
// with a pass phrase), before the designed failure line.
void Walker::NoteUsmReport(const SnmpExchange& session) {
  usm_report_ = session.usm_report();
  if (usm_report_ != UsmReport::kNone)
    WriteLog("%s|authentication failed: %s", target_.c_str(), UsmReportText(usm_report_));
}

// Reports an exchange without a usable answer: the exchange failed
// (status), or the answer carries an error status.
void Walker::ReportFailedExchange(SnmpExchange* session, int version, ExchangeStatus status,
                                  const netsnmp_pdu* response) {
  const char* target = target_.c_str();
  if (status == ExchangeStatus::kInterrupted) {
    WriteLog("%s|interrupted", target);
    tally_.NoteInterrupted();
  } else if (status == ExchangeStatus::kDeadline) {
    // No answer within the time the target was given.
    tally_.NoteSilent(version);
    LimitReached();
    cut_why_ = "limit reached";
  } else if (status == ExchangeStatus::kTimeout) {
    console::Print(stderr, "Timeout: No Response from %s\n", target);
    WriteLog("%s|Timeout", target);
    tally_.NoteSilent(version);
    cut_why_ = "time-out";
    cut_by_timeout_ = true;
  } else if (status != ExchangeStatus::kSuccess) {
    session->PrintLibraryError();
    NoteUsmReport(*session);
    // The library's number for a failed exchange, as the log has always shown it.
    WriteLog("%s|Error %d", target, STAT_ERROR);
    NoteFailure(*session, version, /*in_open=*/false);
    cut_why_ = session->error_text().empty() ? "error" : session->error_text();
  } else if (response->errstat == SNMP_ERR_NOSUCHNAME) {
    console::Print(stdout, "End of MIB\n");
    WriteLog("%s|End of MIB", target);
  } else {
    const char* reason = snmp_errstring(static_cast<int>(response->errstat));
    WriteLog("%s|Error in packet. %s", target, reason);
    tally_.NoteOtherFailure(std::string("error in packet: ") + reason);
    cut_why_ = std::string("error status ") + reason;
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
