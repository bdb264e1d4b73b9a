// MIB names: nanoseconds per name, the built-in table's size, the cost of
// reading operator MIB folders, and how many of a walk's OIDs get a name.
//
//   mib_names_bench [OID_FILE [MIB_DIRS [MIBS]]]
//     OID_FILE: OIDs one a line, numeric, with or without a leading dot (as
//     `snmpwalk -On` prints them, the value after " = " ignored); "-" or
//     none: the built-in table's own objects, each with an instance ".1".
//     MIB_DIRS/MIBS: as the MibDirs= and Mibs= keys; timed once.
// Prints: table bytes; ns per name (best of 5 rounds), each OID looked up
// and with a hint carried from row to row as the writers do; the share of OIDs under
// mib-2 and under enterprises that get a name, and the first unnamed mib-2
// OIDs; the operator MIBs' load time and the process's peak memory before and
// after it.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "scan/mib_names.h"
#include "scan/mib_tree.h"

namespace {

long PeakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

std::vector<std::string> ReadOids(const char* path) {
  std::vector<std::string> oids;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::string oid = line.substr(0, line.find(' '));
    if (!oid.empty() && oid[0] == '.') oid.erase(0, 1);
    if (!oid.empty() && oid[0] >= '0' && oid[0] <= '9') oids.push_back(oid);
  }
  return oids;
}

void TableOids(const MibTreeView& t, size_t node, std::string prefix,
               std::vector<std::string>* out) {
  const MibTreeNode& n = t.nodes[node];
  prefix += (prefix.empty() ? "" : ".") + std::to_string(n.arc);
  if (n.label && n.child_count == 0) out->push_back(prefix + ".1");
  for (uint32_t c = 0; c < n.child_count; ++c) TableOids(t, n.first_child + c, prefix, out);
}

}  // namespace

int main(int argc, char** argv) {
  const long rss_start = PeakRssKib();
  const MibTreeView& t = kStandardMibTree;
  size_t strings = 0;
  for (size_t i = 0; i < t.node_count; ++i) {
    if (t.nodes[i].label)
      strings += std::char_traits<char>::length(t.strings + t.nodes[i].label) + 1;
  }
  printf("built-in table: %zu nodes, %zu modules, %zu bytes (nodes %zu, names about %zu)\n",
         t.node_count, t.module_count, t.node_count * sizeof(MibTreeNode) + strings,
         t.node_count * sizeof(MibTreeNode), strings);

  std::vector<std::string> oids;
  if (argc > 1 && std::string(argv[1]) != "-") {
    oids = ReadOids(argv[1]);
  } else {
    for (size_t r = 0; r < t.root_count; ++r) TableOids(t, r, "", &oids);
  }
  if (oids.empty()) {
    fprintf(stderr, "no OIDs\n");
    return 1;
  }

  MibNames names;
  if (argc > 2) {
    std::vector<std::string> problems;
    const auto start = std::chrono::steady_clock::now();
    names.LoadOperatorMibs(argv[2], argc > 3 ? argv[3] : "", &problems);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    for (const auto& p : problems) printf("problem: %s\n", p.c_str());
    printf("operator MIBs: %zu nodes in %.1f ms; peak memory %ld KiB before, %ld KiB after\n",
           names.OperatorNodeCount(), ms, rss_start, PeakRssKib());
  }

  std::string out;
  for (const bool with_hint : {false, true}) {
    double best = 1e300;
    size_t total_bytes = 0;
    for (int round = 0; round < 5; ++round) {
      MibNameHint hint;
      const auto start = std::chrono::steady_clock::now();
      total_bytes = 0;
      for (const std::string& oid : oids) {
        out.clear();
        names.Name(oid, &out, with_hint ? &hint : nullptr);
        total_bytes += out.size();
      }
      const double ns =
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
              .count();
      best = std::min(best, ns / static_cast<double>(oids.size()));
    }
    printf("%zu OIDs in their order, %s: %.0f ns per name (best of 5), %zu name bytes a round\n",
           oids.size(), with_hint ? "with a hint" : "look-ups", best, total_bytes);
  }

  size_t mib2 = 0, mib2_named = 0, ent = 0, ent_named = 0, shown = 0;
  for (const std::string& oid : oids) {
    out.clear();
    const bool named = names.Name(oid, &out);
    if (oid.rfind("1.3.6.1.2.1.", 0) == 0) {
      ++mib2;
      // A name that is only "mib-2.<rest>" says nothing about the object.
      const bool object = named && out.rfind("SNMPv2-SMI::mib-2.", 0) != 0;
      mib2_named += object;
      if (!object && shown < 10) {
        printf("  mib-2 without an object: %s -> %s\n", oid.c_str(), out.c_str());
        ++shown;
      }
    } else if (oid.rfind("1.3.6.1.4.1.", 0) == 0) {
      ++ent;
      ent_named += named && out.rfind("SNMPv2-SMI::enterprises.", 0) != 0;
    }
  }
  if (mib2)
    printf("mib-2: %zu of %zu OIDs named (%.1f%%)\n", mib2_named, mib2, 100.0 * mib2_named / mib2);
  if (ent)
    printf("enterprises: %zu of %zu OIDs named by an object below enterprises (%.1f%%)\n",
           ent_named, ent, 100.0 * ent_named / ent);
  return 0;
}
