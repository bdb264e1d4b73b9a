// What the walks of one target met, and the outcome the scan job decides
// from it for the operator: one word per target (summary.csv, the closing
// summary) and, where it helps, a short detail text.
//
// A WalkTally belongs to one job and is written by that job's thread only.
// Everything here is plain data and pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class TargetOutcome {
  kAnswered,     // rows stored, every walk to the end of its subtree
  kPartial,      // rows stored, but a walk that stored rows was cut short
  kNoAnswer,     // every request went unanswered
  kAuthFailed,   // SNMPv3 refused the user or its pass phrase
  kOpenFailed,   // the session could not be opened (peer name, host, connection)
  kInvalidOid,   // an OID was refused before anything was sent
  kEmpty,        // the agent answered, nothing was stored
  kInterrupted,  // the operator's interrupt cut the scan short
};

// "answered", "no_answer", ...: the word summary.csv carries.
const char* OutcomeName(TargetOutcome outcome);

// 1234567 -> "1,234,567".
std::string GroupThousands(uint64_t n);

// "v1", "v2c", "v3" for SNMP versions 1, 2, 3.
const char* VersionLabel(int version);

// A set of SNMP versions (1, 2, 3) as bits.
using VersionSet = unsigned;
constexpr VersionSet VersionBit(int version) {
  return version >= 1 && version <= 3 ? 1u << version : 0u;
}

// Labels of the versions in set, joined: with labels "v1" and "v2c" and
// joiner ", "/" and ": "v1 and v2c", "v1, v2c and v3".
std::string JoinVersions(VersionSet set);

// What the walks of one job met, noted as they meet it. Only the first text
// of each kind is kept: the later ones of a job repeat it.
struct WalkTally {
  VersionSet answered = 0;  // versions that had at least one answer
  VersionSet silent = 0;    // versions in which a request (or discovery) timed out
  bool interrupted = false;
  bool auth_failed = false;
  bool auth_with_account = false;  // the refused walk had the target's account
  bool open_failed = false;
  bool invalid_oid = false;
  bool other_failed = false;
  std::string auth_detail;      // e.g. "wrong digest"
  std::string open_detail;      // the library's text
  std::string invalid_detail;   // the refused OID text
  std::string other_detail;     // the library's text, or the agent's error status
  bool cut = false;             // a walk stored rows, then ended short of its subtree's end
  bool cut_by_timeout = false;  // such a walk (any, not only the first) ended by a time-out
  std::string cut_detail;       // the first: "<root> cut by <why> after <n> rows"

  void NoteAnswer(int version) { answered |= VersionBit(version); }
  void NoteSilent(int version) { silent |= VersionBit(version); }
  void NoteInterrupted() { interrupted = true; }
  void NoteAuthFailure(const std::string& detail, bool with_account);
  void NoteOpenFailure(const std::string& detail);
  void NoteInvalidOid(const std::string& oid_text);
  void NoteOtherFailure(const std::string& detail);
  // A walk of the subtree root that stored rows rows and then ended for why
  // ("time-out", "limit reached", an error status, ...), not at its end.
  void NoteCut(const std::string& root, size_t rows, const std::string& why, bool timeout);
};

struct OutcomeDecision {
  TargetOutcome outcome = TargetOutcome::kNoAnswer;
  std::string detail;
};

// The outcome of a job whose walks met tally and stored rows rows. In this
// order: interrupted; partial (rows stored, a walk cut short); answered (rows
// stored); invalid OID; refused with the
// target's account; empty (an agent answered); refused without an account
// (an agent that speaks only SNMPv3); open failed; no answer.
OutcomeDecision DecideOutcome(const WalkTally& tally, size_t rows);

// The operator's name of a SNMPv3 (USM) failure the library reports with
// snmp_errno (one of its SNMPERR_ numbers): "wrong digest", "unknown user",
// ...; nullptr when snmp_errno is not such a failure.
const char* UsmFailureText(int snmp_errno);
