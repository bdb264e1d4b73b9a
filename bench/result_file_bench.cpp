// Cost of writing one result file: rows per second and microseconds per row
// for CMIB::WriteResultFile, with the UTF-8 and a Latin-1 code set.
//
//   result_file_bench [ROWS] [ROUNDS]     (defaults 20000 rows, 5 rounds)
#include <libxml/parser.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/globals.h"
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
    std::string value = i % 3 == 0   ? std::to_string(i * 7919)
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
    const auto size = std::filesystem::file_size(std::string(dir) + "/127.0.0.1.xml");
    fprintf(stderr, "%-10s %d rows: best of %d %.1f ms, %.2f us/row, %.0f rows/s, file %ju bytes\n", codeset,
            rows, rounds, best * 1e3, best * 1e6 / rows, rows / best, static_cast<uintmax_t>(size));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
