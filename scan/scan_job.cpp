#include "scan/scan_job.h"

#include <chrono>
#include <string>
#include <vector>

#include "log/log.h"
#include "scan/walk.h"

namespace {

const char kMib2[] = "1.3.6.1.2.1";
const char kEnterprises[] = "1.3.6.1.4.1";
const char kSysUpTime[] = "1.3.6.1.2.1.1.3";

// Configured OIDs, get mode: each one falls back through the versions on its
// own, judged by whether that OID's gets added a row.
void RunConfiguredOids(Walker* walker, const ScanSettings& settings) {
  const std::vector<std::string>& oids = settings.oids;
  if (settings.get_batch > 1) {
    // Each version gets, in batches, the OIDs that no earlier version stored.
    std::vector<size_t> pending;
    for (size_t i = 0; i < oids.size(); ++i) pending.push_back(i);
    for (int version : settings.versions) {
      if (pending.empty()) break;
      walker->GetBatch(oids, version, &pending);
    }
    return;
  }
  for (const auto& oid : oids) {
    const size_t before = walker->rows().GetCount();
    for (int version : settings.versions) {
      if (walker->rows().GetCount() != before) break;
      walker->Walk(oid.c_str(), version, false);
    }
  }
}

// The two default subtrees over one version, with the sysUpTime probe when
// asked for and the subtree walks did not bring its instance.
void WalkDefaultSubtrees(Walker* walker, int version, bool probe_sys_up_time) {
  walker->Walk(kMib2, version, true);
  walker->Walk(kEnterprises, version, true);
  if (probe_sys_up_time && !walker->HasSysUpTime()) walker->Walk(kSysUpTime, version, true);
}

}  // namespace

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ScanResult ScanTarget(const std::string& target, const Account* account,
                      const ScanSettings& settings, JobProgress* progress) {
  const auto started = std::chrono::steady_clock::now();
  if (progress) {
    progress->started_ms.store(SteadyMilliseconds(), std::memory_order_relaxed);
    progress->state.store(JobProgress::kRunning, std::memory_order_release);
  }
  WriteLog("%s|start", target.c_str());
  Walker walker(target, settings, progress);
  if (account) WriteLog("%s|account exists", target.c_str());

  if (!settings.oids.empty()) {
    if (account) walker.UseAccount(*account);
    RunConfiguredOids(&walker, settings);
  } else if (!settings.oid.empty()) {
    // The command-line OID is one plain v1 get; the account is not used.
    walker.Walk(settings.oid.c_str(), 1, false);
  } else if (account) {
    walker.UseAccount(*account);
    WalkDefaultSubtrees(&walker, 3, true);
  } else {
    // The sysUpTime probe runs in the first version only; each later version
    // only when none before stored anything.
    bool first = true;
    for (int version : settings.versions) {
      if (!first && !walker.rows().IsEmpty()) break;
      WalkDefaultSubtrees(&walker, version, first);
      first = false;
    }
  }
  if (walker.bulk_lowered())
    WriteLog("%s|bulk repetitions %d", target.c_str(), walker.bulk_repetitions());
  WriteLog("%s|end", target.c_str());

  ScanResult result;
  result.target = target;
  result.walks = walker.tally();
  result.outcome = DecideOutcome(result.walks, walker.rows().GetCount());
  result.rows = walker.TakeRows();
  result.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return result;
}
