#include "scan/walk_outcome.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include "scan/usm_report.h"

namespace {

void KeepFirst(bool* seen, std::string* kept, const std::string& text) {
  if (*seen) return;
  *seen = true;
  *kept = text;
}

}  // namespace

const char* OutcomeName(TargetOutcome outcome) {
  switch (outcome) {
    case TargetOutcome::kAnswered:
      return "answered";
    case TargetOutcome::kPartial:
      return "partial";
    case TargetOutcome::kNoAnswer:
      return "no_answer";
    case TargetOutcome::kAuthFailed:
      return "auth_failed";
    case TargetOutcome::kOpenFailed:
      return "open_failed";
    case TargetOutcome::kInvalidOid:
      return "invalid_oid";
    case TargetOutcome::kEmpty:
      return "empty";
    case TargetOutcome::kInterrupted:
      return "interrupted";
  }
  return "";
}

std::string GroupThousands(uint64_t n) {
  std::string digits = std::to_string(n);
  for (size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

const char* VersionLabel(int version) {
  switch (version) {
    case 1:
      return "v1";
    case 2:
      return "v2c";
    case 3:
      return "v3";
  }
  return "";
}

std::string JoinVersions(VersionSet set) {
  std::string text;
  int left = 0;
  for (int v = 1; v <= 3; ++v) left += (set & VersionBit(v)) ? 1 : 0;
  for (int v = 1; v <= 3; ++v) {
    if (!(set & VersionBit(v))) continue;
    text += VersionLabel(v);
    --left;
    if (left > 1)
      text += ", ";
    else if (left == 1)
      text += " and ";
  }
  return text;
}

void WalkTally::NoteAuthFailure(const std::string& detail, bool with_account) {
  if (with_account) auth_with_account = true;
  KeepFirst(&auth_failed, &auth_detail, detail);
}

void WalkTally::NoteOpenFailure(const std::string& detail) {
  KeepFirst(&open_failed, &open_detail, detail);
}

void WalkTally::NoteInvalidOid(const std::string& oid_text) {
  KeepFirst(&invalid_oid, &invalid_detail, oid_text);
}

void WalkTally::NoteOtherFailure(const std::string& detail) {
  KeepFirst(&other_failed, &other_detail, detail);
}

void WalkTally::NoteCut(const std::string& root, size_t rows, const std::string& why,
                        bool timeout) {
  if (timeout) cut_by_timeout = true;
  KeepFirst(
      &cut, &cut_detail,
      root + " cut by " + why + " after " + GroupThousands(rows) + (rows == 1 ? " row" : " rows"));
}

OutcomeDecision DecideOutcome(const WalkTally& t, size_t rows) {
  const VersionSet silent_only = t.silent & ~t.answered;
  const std::string silent_text = silent_only ? JoinVersions(silent_only) + " silent" : "";
  if (t.interrupted) return {TargetOutcome::kInterrupted, ""};
  if (rows > 0 && t.cut) return {TargetOutcome::kPartial, t.cut_detail};
  if (rows > 0) return {TargetOutcome::kAnswered, silent_text};
  if (t.invalid_oid) return {TargetOutcome::kInvalidOid, t.invalid_detail};
  if (t.auth_failed && t.auth_with_account) return {TargetOutcome::kAuthFailed, t.auth_detail};
  if (t.answered) {
    std::string detail = JoinVersions(t.answered) + " answered, nothing stored";
    if (t.other_failed) detail += " (" + t.other_detail + ")";
    return {TargetOutcome::kEmpty, detail};
  }
  if (t.auth_failed) {
    std::string detail = t.auth_detail + " (no account)";
    if (!silent_text.empty()) detail += "; " + silent_text;
    return {TargetOutcome::kAuthFailed, detail};
  }
  if (t.open_failed) return {TargetOutcome::kOpenFailed, t.open_detail};
  if (t.other_failed && !silent_only) return {TargetOutcome::kNoAnswer, t.other_detail};
  return {TargetOutcome::kNoAnswer, silent_text};
}

const char* UsmFailureText(int snmp_errno) {
  const UsmReport report = UsmReportFromLibraryError(snmp_errno);
  return report == UsmReport::kNone ? nullptr : UsmReportText(report);
}
