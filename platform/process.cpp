#include "platform/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

namespace platform {

bool GetExecutablePath(std::string* path) {
  std::vector<char> buf(4096);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buf.size()) {
      path->assign(buf.data(), static_cast<size_t>(n));
      return true;
    }
    buf.resize(buf.size() * 2);  // the link was cut: try a larger buffer
  }
}

bool DirectoryOf(const std::string& path, std::string* dir) {
  auto pos = path.rfind('/');
  if (pos == std::string::npos) return false;
  *dir = path.substr(0, pos);
  return true;
}

unsigned long RaiseOpenFileLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  if (rl.rlim_cur < rl.rlim_max) {
    rlimit raised = rl;
    raised.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) rl = raised;
  }
  return static_cast<unsigned long>(rl.rlim_cur);
}

bool FillClosedStandardDescriptors() {
  bool ok = true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, as the ones below are open.
    const int got = open("/dev/null", O_RDWR);
    if (got != fd) {
      if (got >= 0) close(got);
      ok = false;
    }
  }
  return ok;
}

unsigned long OpenFileLimit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
  return static_cast<unsigned long>(rl.rlim_cur);
}

unsigned long OpenDescriptorCount() {
  std::error_code ec;
  unsigned long n = 0;
  std::filesystem::directory_iterator it("/proc/self/fd", ec), end;
  for (; !ec && it != end; it.increment(ec)) ++n;
  if (ec) return 0;
  return n > 0 ? n - 1 : 0;  // less the listing's own descriptor
}

}  // namespace platform
