// A misbehaving SNMP agent for tests (v1/v2c, or SNMPv3 with one USM user
// for the "v3-" scenarios): runs tests/support/scripted_agent.py
// on a loopback address at a free UDP port the kernel picks (above 1024).
// See the script for the scenarios and what each argument means.
//
// Contract: Start() returns false with a message when the script cannot be
// started or does not report its port within a few seconds; the object then
// holds no process. The destructor (and Stop()) kills and reaps the agent; if
// the test process dies instead, the agent sees its standard input close and
// exits by itself. One thread owns an object; distinct objects are independent.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace testutil {

class ScriptedAgent {
 public:
  struct Options {
    std::string scenario = "normal";
    std::string arg;                   // the scenario's optional argument
    std::string community = "tkvwqz";  // requests with another community are ignored
    std::string address = "127.0.0.1";
    int good = 0;              // this many requests get correct answers first
    bool then_answer = false;  // after the hostile packets, send the correct answer too
    // "v3-" scenarios: the one user, its authentication, the engine ID (text).
    std::string user = "alice";
    std::string auth_pass = "alice-pass-phrase";
    std::string auth_protocol = "MD5";
    std::string engine_id = "scripted-engine";
    int engine_boots = 3;
    int engine_time = 1000;   // seconds at start; the clock runs on from there
    bool check_time = false;  // requests outside the time window get notInTimeWindow
    int delay_ms = 0;         // each answer goes out this long after its request
  };

  ScriptedAgent() = default;
  ~ScriptedAgent();
  ScriptedAgent(const ScriptedAgent&) = delete;
  ScriptedAgent& operator=(const ScriptedAgent&) = delete;

  bool Start(const Options& options, std::string* error);
  bool Start(const std::string& scenario, const std::string& arg, std::string* error);
  // Runs another helper script of ours the same way (python3 with
  // script_args, "PORT <n>" on its first line, ended through its standard
  // input), e.g. tests/support/udp_relay.py; peer() is then 127.0.0.1 at
  // its port.
  bool StartScript(const std::vector<std::string>& script_args, std::string* error);
  void Stop();

  int port() const { return port_; }
  // "address:port", as Net-SNMP takes a peer name.
  std::string peer() const;
  // Datagrams received so far, the ignored ones included. A request is
  // counted before any answer to it is sent.
  int RequestCount() const;
  // What the script wrote on standard error (ignored requests, send failures).
  std::string Log() const;

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;  // closing it tells the agent to exit
  int port_ = 0;
  std::string address_;
  std::unique_ptr<TempDir> dir_;
};

}  // namespace testutil
