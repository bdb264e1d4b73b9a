// Cost of rendering received OCTET STRINGs: nanoseconds per value for
// Walker::StoreVariable under the UTF-8 and a Latin-1 code set, side by side
// with Net-SNMP's own snprint_value (what snmpwalk prints) on the same
// variables in the same run.
//
//   render_bench [VALUES] [ROUNDS]     (defaults 200000 values, 5 rounds; best round)
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "scan/walk.h"

namespace {

// A mix as interface and inventory tables return them: ASCII names, UTF-8
// and Latin-1 text, MAC addresses, zero-padded text, a longer description.
std::vector<std::string> Samples() {
  return {"eth0",
          "GigabitEthernet1/0/24",
          std::string("\x00\x21\x9B\xAA\xBB\xCC", 6),
          "\xAE\xE3\xF0\x52\xE6\xC0",
          "Z\xC3\xBCrich, 2. Stock",
          "caf\xE9",
          std::string("abc\0\0\0", 6),
          "Linux host 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC Debian 6.1.76-1 (2024-02-01) x86_64"};
}

double BestNsPerValue(int rounds, size_t values, const std::function<void()>& pass) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    pass();
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    if (ns / static_cast<double>(values) < best) best = ns / static_cast<double>(values);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? static_cast<size_t>(atol(argv[1])) : 200000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 5;
  setenv("MIBS", "", 1);  // numeric OIDs, no MIB files read
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  init_snmp("render_bench");

  const std::vector<std::string> samples = Samples();
  std::vector<std::string> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = samples[i % samples.size()];
  oid name[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 6, 0};
  auto variable = [&](size_t i) {
    netsnmp_variable_list var{};
    name[10] = i % 1000;  // a thousand rows, overwritten again and again
    var.name = name;
    var.name_length = sizeof name / sizeof name[0];
    var.type = ASN_OCTET_STR;
    var.val.string = reinterpret_cast<u_char*>(bytes[i].data());
    var.val_len = bytes[i].size();
    return var;
  };

  printf("%-44s %12s\n", "OCTET STRING rendering", "ns/value");
  for (const char* codeset : {"UTF-8", "ISO-8859-1"}) {
    if (!platform::SetTextCodeset(codeset)) return 1;
    const ScanSettings settings;
    Walker job("127.0.0.1", settings);
    const double ns = BestNsPerValue(rounds, count, [&] {
      for (size_t i = 0; i < count; ++i) {
        netsnmp_variable_list var = variable(i);
        job.StoreVariable(&var, 2);
      }
    });
    printf("%-44s %12.1f\n", (std::string("mibscan StoreVariable, ") + codeset).c_str(), ns);
  }
  char out[4096];
  size_t sink = 0;
  const double ns = BestNsPerValue(rounds, count, [&] {
    for (size_t i = 0; i < count; ++i) {
      netsnmp_variable_list var = variable(i);
      const int n = snprint_value(out, sizeof out, var.name, var.name_length, &var);
      sink += static_cast<size_t>(n > 0 ? n : 0);
    }
  });
  printf("%-44s %12.1f\n", "Net-SNMP snprint_value (as snmpwalk)", ns);
  return sink == 0;  // keeps the peer's work from being optimised away
}
