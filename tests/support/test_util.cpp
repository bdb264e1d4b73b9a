#include "support/test_util.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace testutil {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/mibscan-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only directories behind; give write access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::map<std::string, std::string> ResultFileBytes(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.path().extension() == ".xml")
      files[entry.path().filename().string()] = ReadFile(entry.path().string());
  return files;
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, int timeout_seconds,
                         const std::vector<std::string>& env, const WhileRunning& while_running) {
  ProcessResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_fds = 2;
  char buf[65536];
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const long wait_ms = while_running ? std::min<long>(left.count(), 50) : left.count();
    if (while_running) while_running(pid, result);
    if (poll(fds, 2, static_cast<int>(wait_ms)) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      } else {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  rusage usage = {};
  if (wait4(pid, &status, 0, &usage) == pid) result.peak_rss_kib = usage.ru_maxrss;
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (!result.timed_out && WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  return result;
}

std::string InstallBinary(const std::string& dir) {
  std::string dest = dir + "/mibscan";
  std::filesystem::copy_file(MIBSCAN_BINARY, dest,
                             std::filesystem::copy_options::overwrite_existing);
  return dest;
}

std::string DecodeBase64Lines(const std::string& lines) {
  std::string joined;
  for (char c : lines)
    if (c != '\r' && c != '\n') joined.push_back(c);
  std::string out(joined.size() / 4 * 3 + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(joined.data()),
                                static_cast<int>(joined.size()));
  if (n < 0) return "<not base64>";
  out.resize(static_cast<size_t>(n));
  // EVP_DecodeBlock keeps the padding's zero bytes.
  const size_t pad = joined.size() >= 2 ? (joined.end()[-1] == '=') + (joined.end()[-2] == '=') : 0;
  out.resize(out.size() - pad);
  return out;
}

size_t CountOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); !needle.empty() && at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++n;
  return n;
}

std::string WithoutRunSummary(const std::string& err) {
  static const std::regex kSummaryLine(
      "mibscan: [0-9,]+ targets? in .*|mibscan: the time-out was the built-in .*");
  std::string kept;
  size_t start = 0;
  while (start < err.size()) {
    size_t end = err.find('\n', start);
    end = end == std::string::npos ? err.size() : end + 1;
    const std::string line = err.substr(start, end - start);
    if (!std::regex_match(line.substr(0, line.find('\n')), kSummaryLine)) kept += line;
    start = end;
  }
  return kept;
}

bool CanUnshare(const std::vector<std::string>& args, std::string* why) {
  std::vector<std::string> argv = {"/usr/bin/unshare"};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult r = RunProcess(argv, 30);
  if (r.exit_code == 0) return true;
  *why = r.err.empty() ? "unshare exited with " + std::to_string(r.exit_code)
                       : r.err.substr(0, r.err.find('\n'));
  return false;
}

bool LocalhostResolves() {
  std::istringstream hosts(ReadFile("/etc/hosts"));
  bool listed = false;
  for (std::string line; !listed && std::getline(hosts, line);) {
    std::istringstream fields(line.substr(0, line.find('#')));
    std::string address, name;
    if (!(fields >> address) || address.find('.') == std::string::npos) continue;
    while (!listed && fields >> name) listed = name == "localhost";
  }
  if (!listed) return false;
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo("localhost", nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

}  // namespace testutil
