#include "support/scripted_agent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <vector>

namespace testutil {

namespace {

constexpr int kReadySeconds = 10;  // python start-up is slow on a loaded machine

// Reads up to the first newline, or fails on time-out or end of file.
bool ReadLine(int fd, std::string* line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReadySeconds);
  char c;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    if (read(fd, &c, 1) != 1) return false;
    if (c == '\n') return true;
    line->push_back(c);
  }
}

}  // namespace

ScriptedAgent::~ScriptedAgent() { Stop(); }

bool ScriptedAgent::Start(const std::string& scenario, const std::string& arg, std::string* error) {
  Options options;
  options.scenario = scenario;
  options.arg = arg;
  return Start(options, error);
}

bool ScriptedAgent::Start(const Options& options, std::string* error) {
  Stop();
  dir_ = std::make_unique<TempDir>();
  address_ = options.address;
  // Everything the child needs is built before fork: the child only execs.
  std::vector<std::string> argv = {"python3", MIBSCAN_SOURCE_DIR "/tests/support/scripted_agent.py",
                                   options.scenario};
  if (!options.arg.empty()) argv.push_back(options.arg);
  argv.insert(argv.end(),
              {"--community", options.community, "--address", options.address, "--count-file",
               *dir_ / "requests", "--good", std::to_string(options.good)});
  if (options.then_answer) argv.push_back("--then-answer");
  if (options.scenario.rfind("v3-", 0) == 0)
    argv.insert(argv.end(),
                {"--user", options.user, "--auth-pass", options.auth_pass, "--auth-protocol",
                 options.auth_protocol, "--engine-id=" + options.engine_id, "--engine-boots",
                 std::to_string(options.engine_boots), "--engine-time",
                 std::to_string(options.engine_time)});
  if (options.check_time) argv.push_back("--check-time");
  if (options.delay_ms > 0)
    argv.insert(argv.end(), {"--delay-ms", std::to_string(options.delay_ms)});
  argv.erase(argv.begin());  // the interpreter
  return StartScript(argv, error);
}

bool ScriptedAgent::StartScript(const std::vector<std::string>& script_args, std::string* error) {
  Stop();
  if (!dir_) dir_ = std::make_unique<TempDir>();
  if (address_.empty()) address_ = "127.0.0.1";
  std::vector<std::string> argv = {"python3"};
  argv.insert(argv.end(), script_args.begin(), script_args.end());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);

  // Close-on-exec everywhere, so that no other child keeps the agent's stdin open.
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    *error = "pipe failed";
    return false;
  }
  const std::string log_path = *dir_ / "agent.log";
  int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_t pid = log_fd < 0 ? -1 : fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(log_fd, 2);
    // The system interpreter starts fastest; any python3 on PATH will do.
    execv("/usr/bin/python3", args.data());
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (log_fd >= 0) close(log_fd);
  if (pid < 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    *error = "could not start the agent";
    return false;
  }
  pid_ = pid;
  stdin_fd_ = in_pipe[1];

  std::string line;
  bool ready = ReadLine(out_pipe[0], &line);
  close(out_pipe[0]);
  int port = 0;
  if (ready && line.rfind("PORT ", 0) == 0) port = atoi(line.c_str() + 5);
  if (port <= 1024 || port > 65535) {
    *error = "agent did not report a port (\"" + line + "\"): " + Log();
    Stop();
    return false;
  }
  port_ = port;
  return true;
}

void ScriptedAgent::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (stdin_fd_ >= 0) {
    close(stdin_fd_);
    stdin_fd_ = -1;
  }
  port_ = 0;
}

std::string ScriptedAgent::peer() const { return address_ + ":" + std::to_string(port_); }

int ScriptedAgent::RequestCount() const {
  return dir_ ? atoi(ReadFile(*dir_ / "requests").c_str()) : 0;
}

std::string ScriptedAgent::Log() const {
  return dir_ ? ReadFile(*dir_ / "agent.log") : std::string();
}

}  // namespace testutil
