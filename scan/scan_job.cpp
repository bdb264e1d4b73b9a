#include "scan/scan_job.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "log/log.h"
#include "scan/engine_ids.h"
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
  walker->Walk(kMib2, version, true, kEnterprises);
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
                      const ScanSettings& settings, JobProgress* progress,
                      const DeviceProfile* profile) {
  const auto started = std::chrono::steady_clock::now();
  if (progress) {
    progress->started_ms.store(SteadyMilliseconds(), std::memory_order_relaxed);
    progress->state.store(JobProgress::kRunning, std::memory_order_release);
  }
  WriteLog("%s|start", target.c_str());
  Walker walker(target, settings, progress);
  if (profile) walker.UseBulkProfile(profile->bulk_repetitions, profile->bulk_failed);
  int stored_version = 0;
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
    if (!walker.rows().IsEmpty()) stored_version = 3;
  } else {
    // Each later version only when none before stored anything. A learned
    // version goes first; the sysUpTime probe stays with the configured
    // first version, so the rows are those of the configured order whenever
    // the versions before the learned one bring nothing.
    std::vector<int> order = settings.versions;
    if (profile) {
      auto learned = std::find(order.begin(), order.end(), profile->version);
      if (learned != order.end()) std::rotate(order.begin(), learned, learned + 1);
    }
    for (int version : order) {
      if (!walker.rows().IsEmpty()) break;
      WalkDefaultSubtrees(&walker, version, version == settings.versions.front());
      if (!walker.rows().IsEmpty()) stored_version = version;
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
  result.learned.version = stored_version;
  result.learned.bulk_repetitions = walker.bulk_answered() ? walker.bulk_repetitions() : 0;
  // Only of a device that answered something: a silent one teaches nothing.
  result.learned.bulk_failed =
      !walker.bulk_answered() && walker.bulk_unanswered() && result.walks.answered != 0;
  result.learned.engine_id = EngineIdOf(walker.peer());
  return result;
}
