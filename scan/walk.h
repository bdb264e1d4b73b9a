// The walk loop and the batched-get loop over one exchange. CMIB::Walk and
// CMIB::GetBatch (scan/mib.h) run them over an SnmpSession of each library
// API; they open the exchange, send every request, store every answer in the
// job and report as those describe.
//
// Thread safety: the job's own thread.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "scan/mib.h"
#include "scan/snmp_exchange.h"
#include "scan/snmp_session.h"

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

// One configured OID of a batch of gets.
struct BatchItem {
  size_t index;  // into the caller's OID list
  WalkCursor cursor;
};

// Walks the subtree under root (get_next: by GETNEXT, or GETBULK when the
// version and the repetitions setting allow) or gets the one instance, over
// exchange, which it opens for version and closes. api names the variant in
// the log line of a failed open. Returns 0, or -1 when the SNMPv3 key could
// not be made.
int RunWalk(CMIB& job, SnmpExchange* exchange, SnmpSession::Api api, const oid* root,
            int root_length, int version, bool get_next);

// Gets the items over exchange, which it opens for version and closes, up to
// GetBatch names per GET; the items that stored a row leave *items. An SNMPv1
// noSuchName names the missing OID: it is taken out and the rest sent again.
// tooBig halves the batch. A failed exchange (time-out, say) fails its batch
// only, as it would fail those gets one by one; the operator's interrupt ends
// the pass.
void RunBatchPass(CMIB& job, SnmpExchange* exchange, SnmpSession::Api api, int version,
                  std::vector<BatchItem>* items);
