// Drives CMIB::Walk the way a scan does, for the walk benchmark: one thread per
// target, all started before any is joined; each target walks the given start
// OIDs in order over each version in turn, going on to the next version only
// when the previous one stored no row (as the default scan plan does). The
// walks' own console output goes where stdout and stderr go; the summary (rows
// per target and in all) is written to the --summary file.
//
// usage: walk_bench [--timeout US] [--retry N] [--community C] [--versions 1,2,3]
//                   [--oids OID,OID...] --summary FILE TARGET...
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/globals.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "scan/mib.h"
#include "scan/snmp_library.h"

namespace {

std::vector<std::string> g_oids = {"1.3.6.1.2.1", "1.3.6.1.4.1"};
std::vector<int> g_versions = {1};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream s(text);
  std::string part;
  while (std::getline(s, part, ','))
    if (!part.empty()) parts.push_back(part);
  return parts;
}

unsigned BenchJob(void* param) {
  CMIB* job = static_cast<CMIB*>(param);
  for (int version : g_versions) {
    for (const auto& oid : g_oids) job->Walk(oid.c_str(), version, true);
    if (job->m_mapValues.GetCount() > 0) break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string summary_path;
  std::vector<std::string> targets;
  g_strCommunity = "public";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (arg == "--timeout") {
      g_nTimeout = atoi(value().c_str());
    } else if (arg == "--retry") {
      g_nRetry = atoi(value().c_str());
    } else if (arg == "--community") {
      g_strCommunity = value();
    } else if (arg == "--versions") {
      g_versions.clear();
      for (const auto& v : Split(value())) g_versions.push_back(atoi(v.c_str()));
    } else if (arg == "--oids") {
      g_oids = Split(value());
    } else if (arg == "--summary") {
      summary_path = value();
    } else {
      targets.push_back(arg);
    }
  }
  if (summary_path.empty() || targets.empty()) {
    fprintf(stderr, "usage: walk_bench [options] --summary FILE TARGET...\n");
    return 2;
  }
  platform::RaiseOpenFileLimit();
  InitSnmpLibrary();

  std::vector<std::unique_ptr<CMIB>> jobs;
  for (const auto& t : targets) {
    jobs.push_back(std::make_unique<CMIB>());
    jobs.back()->m_strTarget = t;
    jobs.back()->m_pThread = std::make_unique<platform::Thread>();
  }
  for (auto& job : jobs)
    if (!job->m_pThread->Start(BenchJob, job.get(), 512u << 10)) BenchJob(job.get());
  size_t total = 0;
  FILE* summary = fopen(summary_path.c_str(), "w");
  for (auto& job : jobs) {
    job->m_pThread->Join();
    total += job->m_mapValues.GetCount();
    if (summary) fprintf(summary, "%s %zu\n", job->m_strTarget.c_str(), job->m_mapValues.GetCount());
  }
  if (summary) {
    fprintf(summary, "total %zu\n", total);
    fclose(summary);
  }
  return 0;
}
