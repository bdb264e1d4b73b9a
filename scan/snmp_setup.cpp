#include "scan/snmp_setup.h"

#include <cstdlib>
#include <mutex>

namespace {

SnmpLibraryMutex g_snmpLibraryMutex;
std::once_flag g_snmpInitOnce;

}  // namespace

void InitSnmpLibrary() {
  std::call_once(g_snmpInitOnce, [] {
    std::lock_guard<SnmpLibraryMutex> lock(g_snmpLibraryMutex);
    // Without MIB files the library cannot print names, which the scanner
    // never does; loading them costs time and warnings.
    const char* mibs = getenv("MIBS");
    if (!mibs || *mibs) setenv("MIBS", "", 1);
    static const struct {
      const char* token;
      int index;
    } kWalkSettings[] = {{"includeRequested", 1}, {"excludeRequested", 5},
                         {"printStatistics", 2},  {"dontCheckOrdering", 3},
                         {"timeResults", 4},      {"timeResultsSingle", 6}};
    for (const auto& s : kWalkSettings)
      netsnmp_ds_register_config(ASN_BOOLEAN, "snmpwalk", s.token, NETSNMP_DS_APPLICATION_ID,
                                 s.index);
    init_snmp("snmpapp");
  });
}

std::unique_lock<SnmpLibraryMutex> LockSnmpLibrary() {
  return std::unique_lock<SnmpLibraryMutex>(g_snmpLibraryMutex);
}

bool SnmpAppBoolean(int index) {
  auto lock = LockSnmpLibrary();
  return netsnmp_ds_get_boolean(NETSNMP_DS_APPLICATION_ID, index) != 0;
}
