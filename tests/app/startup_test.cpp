#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/test_util.h"

namespace {

// UDP ports on loopback that take requests and never answer.
class SilentPorts {
 public:
  explicit SilentPorts(int count) {
    for (int i = 0; i < count; ++i) {
      int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t len = sizeof addr;
      if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
          getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (fd >= 0) close(fd);
        continue;
      }
      fds_.push_back(fd);
      targets_.push_back("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)));
    }
  }
  ~SilentPorts() {
    for (int fd : fds_) close(fd);
  }
  const std::vector<std::string>& targets() const { return targets_; }

 private:
  std::vector<int> fds_;
  std::vector<std::string> targets_;
};

// Runs the program with standard output and standard error on a pipe that
// nobody reads any more, as under `mibscan ... | head -1` once head is done.
// Returns the exit status as waitpid reports it; -1 when it had to be killed.
int RunIntoClosedPipe(const std::vector<std::string>& argv, int timeout_seconds) {
  int p[2];
  if (pipe(p) != 0) return -1;
  close(p[0]);
  pid_t pid = fork();
  if (pid == 0) {
    // A shell starts commands with the default action, whatever this test
    // process has set up.
    signal(SIGPIPE, SIG_DFL);
    dup2(p[1], 1);
    dup2(p[1], 2);
    close(p[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(p[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status;
}

// The console only reports; a reader that has gone away must not take the
// scans and their result files down with it.
TEST(Startup, ConsoleWithoutReaderStillWritesEveryResultFile) {
  testutil::TempDir dir;
  const std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nTimeout=20000\nRetry=0\nLog=1\n");
  SilentPorts silent(12);
  ASSERT_EQ(silent.targets().size(), 12u);
  std::string list;
  for (const auto& t : silent.targets()) list += t + ",";

  const int status = RunIntoClosedPipe({exe, list}, 120);
  ASSERT_NE(status, -1) << "timed out";
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const auto& t : silent.targets()) EXPECT_TRUE(testutil::FileExists(dir / (t + ".xml"))) << t;
  const std::string log = testutil::ReadFile(dir / "log/log.txt");
  for (const auto& t : silent.targets())
    EXPECT_NE(log.find("|" + t + "|end\n"), std::string::npos) << t;
}

}  // namespace
