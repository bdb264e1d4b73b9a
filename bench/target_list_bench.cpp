// Reading a large target list and picking one shard of it, against `grep -vc`
// reading the same file, in the same run. Each side runs as a process of its
// own (best of 5 by wall time) so that its peak resident memory is its own.
// The list is 100,000 lines by default: addresses with ports, CR LF ends,
// a comment and a blank line every 1,000 lines.
//
// Usage: target_list_bench [lines, default 100000, at most 10000000]
//        target_list_bench --one FILE K/N    (one read, as the measured child)
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/target_list.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double wall_s = 1e9;  // best of the runs
  double read_s = 0;    // the child's own time for reading and sharding (mibscan side only)
  long peak_kib = 0;    // largest peak resident set of the runs
  std::string out;
};

// Runs argv as a child with standard output on a pipe; false when it failed.
bool RunOnce(const std::vector<std::string>& argv, Figures* f) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  if (wall < f->wall_s) {
    f->wall_s = wall;
    f->out = out;
  }
  f->peak_kib = std::max(f->peak_kib, usage.ru_maxrss);
  return true;
}

int ReadOne(const char* file, const char* shard) {
  std::vector<std::string> args = {"--targets", file, "--shard", shard};
  RunOptions options;
  std::string error;
  if (!TakeOptions(&args, &options, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const auto start = Clock::now();
  std::vector<std::string> targets;
  if (!AssembleTargets(options, {}, &targets, &error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  printf("%zu %.6f\n", targets.size(), std::chrono::duration<double>(Clock::now() - start).count());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--one") return ReadOne(argv[2], argv[3]);
  long lines = argc > 1 ? strtol(argv[1], nullptr, 10) : 100000;
  lines = std::clamp(lines, 1L, 10000000L);

  char tmpl[] = "/tmp/mibscan-targets-bench-XXXXXX";
  if (!mkdtemp(tmpl)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = tmpl, file = dir + "/list.txt";
  {
    std::ofstream out(file, std::ios::binary);
    for (long i = 0; i < lines; ++i) {
      if (i % 1000 == 0) out << "# rack " << i / 1000 << "\r\n\r\n";
      out << "10." << i / 65536 % 256 << "." << i / 256 % 256 << "." << i % 256 << ":"
          << 161 + i % 3 << "\r\n";
    }
  }
  const auto bytes = std::filesystem::file_size(file);

  Figures mine, peer;
  bool ok = true;
  for (int run = 0; run < 5 && ok; ++run) {
    ok = RunOnce({"/proc/self/exe", "--one", file, "3/7"}, &mine) &&
         RunOnce({"grep", "-vc", "^#", file}, &peer);
  }
  std::filesystem::remove_all(dir);
  if (!ok) {
    fprintf(stderr, "a measured process failed\n");
    return 1;
  }
  size_t kept = 0;
  sscanf(mine.out.c_str(), "%zu %lf", &kept, &mine.read_s);

  printf("target list: %ld targets, %.1f MiB, shard 3/7 keeps %zu\n", lines,
         static_cast<double>(bytes) / 1048576, kept);
  printf("| %-44s | %10s | %10s | %6s | %-10s |\n", "measure", "mibscan", "grep -vc", "ratio",
         "goal");
  printf("| %-44s | %10s | %10s | %6s | %-10s |\n", "--------------------------------------------",
         "----------", "----------", "------", "----------");
  printf("| %-44s | %10.3f | %10s | %6s | %-10s |\n", "read + shard, in process s (fastest run)",
         mine.read_s, "", "", "< 0.2");
  printf("| %-44s | %10.3f | %10.3f | %6.2f | %-10s |\n", "whole process wall s (best of 5)",
         mine.wall_s, peer.wall_s, mine.wall_s / peer.wall_s, "");
  printf("| %-44s | %10.1f | %10.1f | %6.2f | %-10s |\n", "peak resident MiB",
         mine.peak_kib / 1024.0, peer.peak_kib / 1024.0,
         static_cast<double>(mine.peak_kib) / static_cast<double>(peer.peak_kib), "< 50");
  return 0;
}
