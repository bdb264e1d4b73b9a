// The walks of one target: each subtree by get-next (or GETBULK) or each
// instance by get, over one SNMP version, every answer rendered and stored as
// a row; and the batched gets of the configured OIDs.
//
// A Walker holds what the walks of one target share and nobody else sees: the
// rows, the tally of what the walks met, the account, the version in progress,
// the bulk tuning, the USM report of the last failure, the resolved peer name
// and the target's deadline. Library calls go through an SnmpExchange
// (scan/snmp_exchange.h), which serialises them and waits for agents outside
// the library lock, so any number of Walkers walk at once.
//
// Thread safety: a Walker belongs to one thread.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "output/result_row.h"
#include "scan/job_progress.h"
#include "scan/scan_settings.h"
#include "scan/snmp_exchange.h"
#include "scan/snmp_session.h"
#include "scan/usm_report.h"
#include "scan/walk_outcome.h"

// Where a walk stands: the subtree's end bound and the name of the last
// accepted variable, which the next request asks about.
struct WalkCursor {
  oid end_bound[MAX_OID_LEN];
  size_t root_length = 0;
  oid name[MAX_OID_LEN];
  size_t name_length = 0;

  // root: 1 to MAX_OID_LEN sub-identifiers.
  void StartAt(const oid* root, size_t length) {
    root_length = length;
    memcpy(end_bound, root, length * sizeof(oid));
    memcpy(name, root, length * sizeof(oid));
    name_length = length;
    ++end_bound[length - 1];
  }
};

// endOfMibView, noSuchObject, noSuchInstance: a value that ends a walk.
inline bool IsException(u_char type) {
  return type == SNMP_ENDOFMIBVIEW || type == SNMP_NOSUCHOBJECT || type == SNMP_NOSUCHINSTANCE;
}

// The walk loop between two requests: where it stands and how it asks.
struct WalkLoopState {
  WalkCursor cursor;
  bool bulk = false;
  int command = 0;
  // After a bulk request timed out: the repetitions it asked for, while one
  // request with a single repetition tells a silent device from one that
  // cannot answer that many.
  int timed_out_repetitions = 0;
  // After an empty bulk answer: one request with a single repetition, then
  // GETNEXT for the rest of the walk.
  bool empty_answered = false;
};

// One configured OID of a batch of gets.
struct BatchItem {
  size_t index;  // into the caller's OID list
  WalkCursor cursor;
};

// What several streams brought of the subtree walked next (defined in
// scan/walk_streams.cpp).
struct StreamsAhead;

class Walker {
 public:
  // settings must outlive the Walker. progress (may be null) gets the row
  // count as it grows. The MaxSeconds deadline, if any, counts from here.
  Walker(std::string target, const ScanSettings& settings, JobProgress* progress = nullptr);
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  // The SNMPv3 walks that follow use the account's user, pass phrases and
  // protocols (without one: noAuthNoPriv without a user name).
  void UseAccount(const Account& account);

  // What an earlier run learned of GETBULK: start at repetitions (when > 0
  // and below the setting), or walk by GETNEXT where bulk failed.
  void UseBulkProfile(int repetitions, bool no_bulk);

  // Walks the subtree under oid_text (get_next) or gets the one instance,
  // over version (1, 2 for v2c, 3), storing every answer as a row. Runs the
  // single-session variant when the traditional one stored nothing. Returns
  // true, or false when the SNMPv3 key could not be made. Reports on the
  // console and in the log; never throws. After the operator's interrupt it
  // returns at once, and a walk in progress ends at its next request or wait,
  // logging "<target>|interrupted"; the rows it stored stay. What the walk
  // met is noted in tally(). then (may be null): the subtree this Walker
  // walks next over the same version; several streams may begin it while
  // this walk runs, and that walk takes what they brought.
  bool Walk(const char* oid_text, int version, bool get_next, const char* then = nullptr);

  // Gets the configured OIDs up to GetBatch per GET PDU over one version,
  // storing every answer as a row. *pending: indexes into oids of the OIDs
  // still to get; on return, those that stored nothing (kept in order).
  // Reports as a get per batch; never throws.
  void GetBatch(const std::vector<std::string>& oids, int version, std::vector<size_t>* pending);

  // The walk loop over exchange, which it opens for version and closes; api
  // names the variant in the log line of a failed open. root: the subtree
  // (get_next) or instance. Returns false when the SNMPv3 key could not be
  // made.
  bool RunWalk(SnmpExchange* exchange, SnmpSession::Api api, const oid* root, int root_length,
               int version, bool get_next);

  // Gets the items over exchange, which it opens for version and closes, up
  // to GetBatch names per GET; the items that stored a row leave *items. An
  // SNMPv1 noSuchName names the missing OID: it is taken out and the rest sent
  // again. tooBig halves the batch. A failed exchange (time-out, say) fails
  // its batch only, as it would fail those gets one by one; the operator's
  // interrupt ends the pass.
  void RunBatchPass(SnmpExchange* exchange, SnmpSession::Api api, int version,
                    std::vector<BatchItem>* items);

  // Renders one received variable and stores it as a row of version (a row
  // of the same OID is replaced in place). Returns false, touching nothing,
  // for types without a rendering.
  bool StoreVariable(const netsnmp_variable_list* var, int version);

  // True when MaxRows rows are stored or the MaxSeconds deadline has passed.
  // The first time it is true it logs "<target>|limit reached: ..." and
  // prints the same on standard error.
  bool LimitReached();

  // True when the sysUpTime instance (1.3.6.1.2.1.1.3.0) is among the rows.
  bool HasSysUpTime() const;

  const std::string& target() const { return target_; }
  const ResultRows& rows() const { return rows_; }
  ResultRows TakeRows() { return std::move(rows_); }
  const WalkTally& tally() const { return tally_; }
  // GETBULK max-repetitions of this target (0 before its first bulk walk),
  // and whether silence or tooBig made it lower than the setting.
  int bulk_repetitions() const { return bulk_repetitions_; }
  bool bulk_lowered() const { return bulk_lowered_; }
  // Whether a GETBULK was answered, and whether one of a single repetition
  // went unanswered (the device does not take GETBULK).
  bool bulk_answered() const { return bulk_answered_; }
  bool bulk_unanswered() const { return bulk_unanswered_; }
  // The target with its host name resolved; empty before the first open.
  const std::string& peer() const { return peer_; }
  // The USM report that ended the last walk, if one did.
  UsmReport usm_report() const { return usm_report_; }

 private:
  // The walk of one subtree in several streams (scan/walk_streams.h).
  friend class StreamWalk;

  enum class Opened { kOpen, kFailed, kNoKey };

  Opened OpenWalkSession(SnmpExchange* session, SnmpSession::Api api, int version);
  bool StartOid(const char* text, int version, oid* root, int* root_length);
  void RefuseOid(const char* oid_text);
  void ReportFailedExchange(SnmpExchange* session, int version, ExchangeStatus status,
                            const netsnmp_pdu* response);
  void NoteFailure(const SnmpExchange& session, int version, bool in_open);
  void NoteUsmReport(const SnmpExchange& session);
  bool AcceptVariable(const netsnmp_variable_list* var, WalkCursor* cursor, bool get_next,
                      bool check_ordering);
  bool AcceptVariables(const netsnmp_pdu* response, WalkCursor* cursor, bool get_next, bool bulk,
                       bool check_ordering);
  int BulkRepetitions();
  void LowerBulkRepetitions(int repetitions);
  // Logs "<target>|bulk answer empty" the first time.
  void NoteEmptyBulkAnswer();
  void PublishRows();

  const std::string target_;
  const ScanSettings& settings_;
  JobProgress* const progress_;
  ResultRows rows_;
  std::string value_text_;  // the value being stored, before the map copies it
  WalkTally tally_;
  Account account_;
  int version_ = 0;  // of the walk in progress
  UsmReport usm_report_ = UsmReport::kNone;
  int bulk_repetitions_ = 0;  // 0 until the first bulk walk takes the setting
  bool bulk_lowered_ = false;
  bool bulk_empty_reported_ = false;
  bool no_bulk_ = false;
  bool bulk_answered_ = false;
  bool bulk_unanswered_ = false;
  bool one_stream_ = false;                           // Streams given up for this target
  std::chrono::steady_clock::time_point deadline_{};  // MaxSeconds; the clock's epoch: none
  bool limit_reported_ = false;
  // Why the walk in progress stopped short of its subtree's end; empty while
  // it has not (or ended there).
  std::string cut_why_;
  bool cut_by_timeout_ = false;
  std::string peer_;  // the target with its host name resolved; empty until the first open
  // The subtree walked next (Walk's then), for the walk in progress; empty:
  // none.
  std::vector<oid> then_;
  // What several streams brought of the next subtree before its walk began;
  // taken (and dropped unless it is that walk's) by the next RunWalk.
  std::shared_ptr<StreamsAhead> ahead_;
};
