// mibscan --diff over two folders of result files: rows per second on one
// core and the process's peak memory, at two folder sizes (memory must not
// grow with the number of files) and with files four times as long (it may
// grow with the largest file).
//
//   diff_bench [FILES] [ROWS] [BINARY]   (defaults 500 files of 10,000 rows;
//                                        BINARY: mibscan beside this program;
//                                        needs /usr/bin/time, Debian's "time")
//
// The files are made by the result file writer (four a side, copied for the
// other targets): a new side with about 1% of the values changed, 10 rows
// added and 10 removed per target, every 50th target's file on one side
// only. Files just written are mostly read from the page cache, so the figure
// is the comparison's own cost more than the disk's.
#include <fcntl.h>
#include <libxml/parser.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "output/result_document.h"
#include "output/result_row.h"

extern char** environ;

namespace {

// A walk's mix: numbers, words that need escaping, Base64 blocks.
std::string Value(int row, int generation) {
  switch (row % 4) {
    case 0:
      return std::to_string(row * 7919 + generation);
    case 1:
      return "Interface <eth" + std::to_string(row) + "> & uplink " + std::to_string(generation);
    case 2:
      return "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\n";
    default:
      return "1.3.6.1.4.1.8072.3.2." + std::to_string(row % 17);
  }
}

// Four distinct files a side, copied for the other targets: the writer's
// layout without paying its time (and flush) for thousands of files.
bool WriteSide(const std::string& dir, int files, int rows, bool newer) {
  std::filesystem::create_directories(dir);
  for (int f = 0; f < files; ++f) {
    if (f % 50 == 49 && newer == (f % 100 == 49)) continue;  // targets on one side only
    const std::string path =
        ResultFilePath(dir, "10.0." + std::to_string(f / 256) + "." + std::to_string(f % 256), "");
    if (f >= 4) {
      std::error_code ec;
      const std::string model = ResultFilePath(dir, "10.0.0." + std::to_string(f % 4), "");
      if (!std::filesystem::copy_file(model, path, ec)) {
        fprintf(stderr, "diff_bench: %s: %s\n", path.c_str(), ec.message().c_str());
        return false;
      }
      continue;
    }
    ResultRows values;
    for (int r = 0; r < rows; ++r) {
      // The new side drops the first 10 rows and has 10 beyond the old end.
      const int row = newer ? r + 10 : r;
      const std::string oid =
          "1.3.6.1.2.1.2.2.1." + std::to_string(row % 22 + 1) + "." + std::to_string(row);
      values.SetAt(oid, ResultRow{Value(row, f + (newer && row % 97 == 0 ? 1 : 0)), 2});
    }
    std::string error;
    if (!SaveResultDocument(path, values, &error)) {
      fprintf(stderr, "diff_bench: %s: %s\n", path.c_str(), error.c_str());
      return false;
    }
  }
  return true;
}

struct Measured {
  double wall = 0, cpu = 0;
  long peak_kib = 0;
  int exit_code = -1;
};

// One run of BINARY --diff OLD NEW, its output to the null device, under
// /usr/bin/time: a process this one started directly would count this one's
// resident memory as its own peak (the pages it starts with), time's child
// starts from time's few.
Measured RunDiff(const std::string& binary, const std::string& old_dir, const std::string& new_dir,
                 const std::string& peak_file) {
  Measured m;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"/usr/bin/time", "-f",     "%M",    "-o",   peak_file,
                                   binary,          "--diff", old_dir, new_dir};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return m;
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);  // time's own and its child's
  m.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  m.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
          (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  // time exits with its child's code.
  m.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (FILE* f = fopen(peak_file.c_str(), "r")) {
    // The last line: a first one says the child's exit status when not 0.
    char line[128];
    while (fgets(line, sizeof line, f)) m.peak_kib = atol(line);
    fclose(f);
  }
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  const int files = argc > 1 ? atoi(argv[1]) : 500;
  const int rows = argc > 2 ? atoi(argv[2]) : 10000;
  const std::string binary =
      argc > 3
          ? argv[3]
          : (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "mibscan").string();
  xmlInitParser();
  char dir[] = "/tmp/mibscan-diff-bench-XXXXXX";
  if (!mkdtemp(dir) || files < 4 || rows < 100) return 1;
  const std::string root = dir;

  struct Set {
    const char* label;
    int files, rows;
  };
  const std::vector<Set> sets = {
      {"all files", files, rows}, {"a quarter of them", files / 4, rows}, {"4x rows", 8, rows * 4}};
  printf("%-18s %7s %8s %10s %8s %8s %12s %10s\n", "set", "files", "rows", "rows/side", "wall s",
         "cpu s", "rows/s cpu", "peak KiB");
  int status = 0;
  for (const Set& s : sets) {
    const std::string base = root + "/" + std::to_string(s.files) + "x" + std::to_string(s.rows);
    if (!WriteSide(base + "/old", s.files, s.rows, false) ||
        !WriteSide(base + "/new", s.files, s.rows, true))
      return 1;
    Measured best;
    for (int round = 0; round < 3; ++round) {
      const Measured m = RunDiff(binary, base + "/old", base + "/new", root + "/peak.txt");
      if (m.exit_code != 1) {
        fprintf(stderr, "diff_bench: %s --diff exited with %d\n", binary.c_str(), m.exit_code);
        status = 1;
      }
      if (round == 0 || m.cpu < best.cpu) best = m;
    }
    // Rows of one side: each row of a target is compared once.
    const double side_rows = static_cast<double>(s.files) * s.rows;
    printf("%-18s %7d %8d %10.0f %8.2f %8.2f %12.0f %10ld\n", s.label, s.files, s.rows, side_rows,
           best.wall, best.cpu, side_rows / best.cpu, best.peak_kib);
    fflush(stdout);
    std::filesystem::remove_all(base);
  }
  std::filesystem::remove_all(root);
  return status;
}
