// Small helpers shared by the tests: temporary directories, files, and
// running the real mibscan binary.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testutil {

// A fresh directory under $TMPDIR (or /tmp), removed with its content when
// the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

// Every result file (*.xml) directly in dir, by name, with its bytes.
std::map<std::string, std::string> ResultFileBytes(const std::string& dir);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// How many times needle occurs in haystack, overlaps not counted.
size_t CountOf(const std::string& haystack, const std::string& needle);

// The bytes of Base64 text in lines (CR LF ignored); "<not base64>" when it
// does not decode.
std::string DecodeBase64Lines(const std::string& lines);

struct ProcessResult {
  int exit_code = -1;   // -1: killed by a signal or timed out
  int term_signal = 0;  // the signal that ended it, if one did
  std::string out;
  std::string err;
  bool timed_out = false;
  long peak_rss_kib = 0;  // the process's peak resident memory (its rusage)
};

// Called about every 50 ms while the process runs, with its pid and what it
// has written so far (for tests that signal it at a chosen moment).
using WhileRunning = std::function<void(pid_t pid, const ProcessResult& so_far)>;

// Runs argv[0] with the arguments, capturing both streams; kills it after
// timeout_seconds. env entries "NAME=value" are added to the environment.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeout_seconds = 60,
                         const std::vector<std::string>& env = {},
                         const WhileRunning& while_running = {});

// Standard error of a run without its closing summary line ("mibscan: N
// target(s) in ...") and the time-out hint, for tests about the other lines.
std::string WithoutRunSummary(const std::string& err);

// Copies the built mibscan binary into dir (so that its config.ini, log and
// result files live there) and returns the copy's path.
std::string InstallBinary(const std::string& dir);

// Whether `unshare ARGS...` runs and succeeds here, e.g. {"--mount", "/bin/true"}
// or {"--net", "/bin/sh", "-c", "ip link set lo up"}: a private namespace needs
// root and a kernel or container that allows it. When not, *why holds the first
// line of what it said.
bool CanUnshare(const std::vector<std::string>& args, std::string* why);

// Whether "localhost" has an IPv4 address from the hosts file (a minimal
// system may have none; then no name service is asked, so no query leaves
// the machine).
bool LocalhostResolves();

// A host name no resolver can find and that never leaves the machine: its
// first label is over 63 bytes, so the resolver refuses it before asking a
// name server (a plain "x.invalid" is sent to the configured server).
inline const std::string kUnresolvableHost = std::string(64, 'x') + ".invalid";

}  // namespace testutil
