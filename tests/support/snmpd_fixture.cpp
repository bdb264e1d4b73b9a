#include "support/snmpd_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

namespace testutil {

namespace {

std::string FindProgram(const std::string& name) {
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  path += ":/usr/sbin:/sbin:/usr/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

bool UdpPortFree(const std::string& address, int port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = inet_pton(AF_INET, address.c_str(), &sa.sin_addr) == 1 &&
            bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  close(fd);
  return ok;
}

}  // namespace

int FindFreeUdpPort(const std::vector<std::string>& addresses) {
  std::random_device rd;
  std::mt19937 gen(rd() ^ static_cast<unsigned>(getpid()));
  std::uniform_int_distribution<int> dist(20000, 60000);
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int port = dist(gen);
    bool free = true;
    for (const auto& a : addresses) free = free && UdpPortFree(a, port);
    if (free) return port;
  }
  return 0;
}

ProcessResult RunSnmpTool(const std::string& tool, const std::vector<std::string>& args,
                          int timeout_seconds) {
  std::vector<std::string> argv = {FindProgram(tool)};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, timeout_seconds, {"MIBS="});
}

SnmpdFixture::~SnmpdFixture() { Stop(); }

std::string SnmpdFixture::Target(size_t i) const {
  return (i < addresses_.size() ? addresses_[i] : std::string("127.0.0.1")) + ":" +
         std::to_string(port_);
}

bool SnmpdFixture::Start(const SnmpdOptions& options, std::string* error) {
  Stop();
  dir_ = std::make_unique<TempDir>();
  addresses_ = options.addresses;
  // A port found free can be taken before snmpd binds it: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (!Launch(options, error)) continue;
    if (WaitUntilAnswering()) return true;
    Stop();
    *error = "snmpd did not answer on port " + std::to_string(port_) + "; its log:\n" +
             ReadFile(*dir_ / "snmpd.log") + ReadFile(*dir_ / "snmpd.out");
  }
  return false;
}

bool SnmpdFixture::Launch(const SnmpdOptions& options, std::string* error) {
  port_ = FindFreeUdpPort(addresses_);
  if (port_ == 0) {
    *error = "no free UDP port";
    return false;
  }
  std::filesystem::create_directories(*dir_ / "persist");
  std::string conf =
      "[snmp] persistentDir " + (*dir_ / "persist") + "\n[snmp] noPersistentLoad yes\n";
  conf +=
      "rocommunity fixtureprobe 127.0.0.0/8 .1.3.6.1.2.1.1.3.0\ndontLogTCPWrappersConnects yes\n";
  if (!options.engine_id.empty()) conf += "engineID " + options.engine_id + "\n";
  for (const auto& line : options.config_lines) conf += line + "\n";
  WriteFile(*dir_ / "snmpd.conf", conf);

  std::string listen;
  for (const auto& a : addresses_)
    listen += (listen.empty() ? "" : ",") + std::string("udp:") + a + ":" + std::to_string(port_);
  std::vector<std::string> argv = {FindProgram("snmpd"),
                                   "-f",
                                   "-C",
                                   "-c",
                                   *dir_ / "snmpd.conf",
                                   "-Lf",
                                   *dir_ / "snmpd.log",
                                   "-p",
                                   *dir_ / "snmpd.pid"};
  if (options.stable_mib) {
    argv.push_back("-I");
    argv.push_back("-hrSWRunTable,hrSWRunPerfTable,hrSWInstalledTable");
  }
  argv.push_back(listen);

  const std::string out = *dir_ / "snmpd.out";
  pid_t pid = fork();
  if (pid < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid == 0) {
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, 0);
    setenv("MIBS", "", 1);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  pid_ = pid;
  return true;
}

bool SnmpdFixture::WaitUntilAnswering() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;  // exited: the port was probably taken
      return false;
    }
    ProcessResult r = RunSnmpTool("snmpget",
                                  {"-v2c", "-c", "fixtureprobe", "-t", "0.3", "-r", "0", "-On",
                                   Target(0), "1.3.6.1.2.1.1.3.0"},
                                  10);
    if (r.exit_code == 0 && r.out.find("1.3.6.1.2.1.1.3.0") != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void SnmpdFixture::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {  // up to 5 s
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::vector<std::string> LoopbackAddresses(size_t count, size_t first) {
  std::vector<std::string> addresses;
  for (size_t i = first; i < first + count; ++i)
    addresses.push_back("127.0." + std::to_string(1 + i / 250) + "." + std::to_string(1 + i % 250));
  return addresses;
}

std::unique_ptr<SnmpdFixture> StartSnmpd(const SnmpdOptions& options, std::string* error) {
  auto agent = std::make_unique<SnmpdFixture>();
  if (!agent->Start(options, error)) agent.reset();
  return agent;
}

}  // namespace testutil
