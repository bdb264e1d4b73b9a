// Cost of writing one result file: rows per second and microseconds per row
// for CMIB::WriteResultFile, with the UTF-8 and a Latin-1 code set.
//
//   result_file_bench [ROWS] [ROUNDS]     (defaults 20000 rows, 5 rounds)
#include <fcntl.h>
#include <libxml/parser.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "app/globals.h"
#include "output/atomic_file.h"
#include "platform/files.h"
#include "platform/text_encoding.h"
#include "scan/mib.h"

int main(int argc, char** argv) {
  const int rows = argc > 1 ? atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 5;
  xmlInitParser();

  char dir[] = "/tmp/mibscan-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  g_strModuleDir = dir;

  CMIB mib;
  mib.m_strTarget = "127.0.0.1";
  for (int i = 0; i < rows; ++i) {
    std::string oid = "1.3.6.1.2.1.2.2.1." + std::to_string(i % 22 + 1) + "." + std::to_string(i);
    // A mix of short numbers, words and a Base64 block, as walks return them.
    std::string value =
        i % 3 == 0   ? std::to_string(i * 7919)
        : i % 3 == 1 ? "Interface <eth" + std::to_string(i) + "> & caf\xE9"
                     : "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\n";
    mib.m_mapValues.SetAt(oid, value);
    mib.m_mapVersions.SetAt(oid, 2);
  }

  // The "output:" lines go to the null device; figures go to stderr.
  if (!freopen("/dev/null", "w", stdout)) return 1;
  for (const char* codeset : {"UTF-8", "ISO-8859-1"}) {
    if (!platform::SetTextCodeset(codeset)) return 1;
    double best = 1e30;
    for (int r = 0; r < rounds; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      if (!mib.WriteResultFile()) return 1;
      double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      if (s < best) best = s;
    }
    const std::string path = std::string(dir) + "/127.0.0.1.xml";
    const auto size = std::filesystem::file_size(path);
    fprintf(stderr, "%-10s %d rows: best of %d %.1f ms, %.2f us/row, %.0f rows/s, file %ju bytes\n",
            codeset, rows, rounds, best * 1e3, best * 1e6 / rows, rows / best,
            static_cast<uintmax_t>(size));
    // What the whole-file replacement adds over writing the same bytes in
    // place (truncate, write): the temporary file, fsync and rename.
    const std::string bytes(
        (std::istreambuf_iterator<char>(*std::make_unique<std::ifstream>(path))),
        std::istreambuf_iterator<char>());
    double in_place = 1e30, atomic = 1e30;
    for (int r = 0; r < rounds; ++r) {
      auto t0 = std::chrono::steady_clock::now();
      const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd < 0 || !platform::WriteAll(fd, bytes.data(), bytes.size()) || close(fd) != 0) return 1;
      auto t1 = std::chrono::steady_clock::now();
      std::string error;
      if (!SaveFileAtomically(path, bytes, &error)) return 1;
      auto t2 = std::chrono::steady_clock::now();
      in_place = std::min(in_place, std::chrono::duration<double>(t1 - t0).count());
      atomic = std::min(atomic, std::chrono::duration<double>(t2 - t1).count());
    }
    fprintf(stderr,
            "%-10s save in place %.2f ms, whole-file replacement %.2f ms: +%.2f ms = %.1f%% of the "
            "result file time\n",
            codeset, in_place * 1e3, atomic * 1e3, (atomic - in_place) * 1e3,
            (atomic - in_place) / best * 100);
  }
  std::filesystem::remove_all(dir);
  return 0;
}
