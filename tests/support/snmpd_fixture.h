// A real snmpd for a test: started in the foreground on loopback addresses
// with a configuration of its own in a temporary directory, stopped by PID.
//
// The agent listens on one UDP port (above 1024, chosen free) on each of the
// given 127.x.y.z addresses. Besides the test's own configuration lines it
// always serves sysUpTime.0 to the community "fixtureprobe", which is how
// Start() knows that the agent answers.
//
// Not thread-safe: one thread starts and stops a fixture; the agent itself may
// be queried from any number of threads.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace testutil {

struct SnmpdOptions {
  std::vector<std::string> addresses = {"127.0.0.1"};
  // Lines appended to the agent's configuration (access control, users,
  // override, pass/pass_persist ...).
  std::vector<std::string> config_lines;
  // Leave out the software-run and installed-software tables, which change
  // with the processes and packages of the machine.
  bool stable_mib = true;
  // Fixes the agent's SNMPv3 engine ID (text); empty keeps snmpd's own.
  std::string engine_id;
};

class SnmpdFixture {
 public:
  SnmpdFixture() = default;
  ~SnmpdFixture();  // stops the agent
  SnmpdFixture(const SnmpdFixture&) = delete;
  SnmpdFixture& operator=(const SnmpdFixture&) = delete;

  // Starts snmpd and waits (at most about 15 s) until it answers. Returns
  // false, with the reason and the agent's log in *error, when it could not.
  bool Start(const SnmpdOptions& options, std::string* error);
  void Stop();  // SIGTERM, then SIGKILL if it lingers; idempotent

  int port() const { return port_; }
  // "address:port" of the i-th address, as mibscan and the snmp tools take it.
  std::string Target(size_t i = 0) const;
  const std::string& dir() const { return dir_->path(); }
  bool running() const { return pid_ > 0; }

 private:
  bool Launch(const SnmpdOptions& options, std::string* error);
  bool WaitUntilAnswering();

  std::unique_ptr<TempDir> dir_;
  std::vector<std::string> addresses_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// A started fixture for a whole test suite, or null with the reason in *error.
std::unique_ptr<SnmpdFixture> StartSnmpd(const SnmpdOptions& options, std::string* error);

// A free UDP port above 1024 on all the given addresses (0 when none found).
int FindFreeUdpPort(const std::vector<std::string>& addresses);

// count distinct loopback addresses 127.0.<1+i/250>.<1+i%250>, starting at
// address number first.
std::vector<std::string> LoopbackAddresses(size_t count, size_t first = 0);

// Runs one of the snmp command-line tools (snmpget, snmpwalk ...) with MIBS=""
// and the given arguments.
ProcessResult RunSnmpTool(const std::string& tool, const std::vector<std::string>& args,
                          int timeout_seconds = 60);

}  // namespace testutil
