// Cost of writing one result file: rows per second and microseconds per row
// for WriteResultFile, with the UTF-8 and a Latin-1 code set, and what
// saving it atomically adds over writing it in place.
//
//   result_file_bench [ROWS] [ROUNDS]     (defaults 20000 rows, 15 rounds)
#include <fcntl.h>
#include <libxml/parser.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "output/atomic_file.h"
#include "output/result_document.h"
#include "output/xml_document.h"
#include "platform/files.h"
#include "platform/text_encoding.h"

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Seconds that step took; -1 when it failed.
double Seconds(const std::function<bool()>& step) {
  const auto t0 = std::chrono::steady_clock::now();
  if (!step()) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? atoi(argv[1]) : 20000;
  const int rounds = argc > 2 ? atoi(argv[2]) : 15;
  xmlInitParser();

  char dir[] = "/tmp/mibscan-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;

  ResultRows rows_of_target;
  for (int i = 0; i < rows; ++i) {
    std::string oid = "1.3.6.1.2.1.2.2.1." + std::to_string(i % 22 + 1) + "." + std::to_string(i);
    // A mix of short numbers, words and a Base64 block, as walks return them.
    std::string value =
        i % 3 == 0   ? std::to_string(i * 7919)
        : i % 3 == 1 ? "Interface <eth" + std::to_string(i) + "> & caf\xE9"
                     : "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4v\r\n";
    rows_of_target.SetAt(oid, ResultRow{value, 2});
  }

  // The "output:" lines go to the null device; figures go to stderr.
  if (!freopen("/dev/null", "w", stdout)) return 1;
  for (const char* codeset : {"UTF-8", "ISO-8859-1"}) {
    if (!platform::SetTextCodeset(codeset)) return 1;
    const std::string path = std::string(dir) + "/127.0.0.1.xml";
    // What the whole-file replacement adds over writing the same document in
    // place (truncate, write: how results were saved before), measured in
    // the same rounds as the result file itself, on the same file: streamed
    // through the atomic writer as result files are saved now, and the whole
    // text made first and then saved atomically (summary files, and result
    // files before). The three saves take turns at going first.
    CXmlDocument doc;
    if (!doc.Create()) return 1;
    AddResultRows(doc, rows_of_target);
    const auto in_place = [&] {
      const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      return fd >= 0 && doc.Write([fd](const char* data, size_t size) {
        return platform::WriteAll(fd, data, size);
      }) && close(fd) == 0;
    };
    const auto streamed = [&] { return doc.Save(path); };
    const auto whole = [&] {
      std::string text, error;
      return doc.Serialize(&text) && SaveFileAtomically(path, text, &error);
    };
    const std::function<bool()> saves[] = {in_place, streamed, whole};
    std::vector<double> result, took[3], streamed_more, whole_more;
    for (int r = 0; r < rounds; ++r) {
      const double s = Seconds([&] { return WriteResultFile(path, "127.0.0.1", rows_of_target); });
      if (s < 0) return 1;
      result.push_back(s);
      for (int k = 0; k < 3; ++k) {
        const int i = (r + k) % 3;
        if ((took[i].emplace_back(Seconds(saves[i]))) < 0) return 1;
      }
      streamed_more.push_back(took[1].back() - took[0].back());
      whole_more.push_back(took[2].back() - took[0].back());
    }
    const double best = Best(result), median = Median(result);
    const auto size = std::filesystem::file_size(path);
    fprintf(stderr,
            "%-10s %d rows: result file best of %d %.1f ms (%.2f us/row, %.0f rows/s), median "
            "%.1f ms, file %ju bytes\n",
            codeset, rows, rounds, best * 1e3, best * 1e6 / rows, rows / best, median * 1e3,
            static_cast<uintmax_t>(size));
    fprintf(stderr, "%-10s in place %.2f ms, atomic streamed %.2f ms, atomic whole text %.2f ms\n",
            codeset, Median(took[0]) * 1e3, Median(took[1]) * 1e3, Median(took[2]) * 1e3);
    // Medians of each round's difference: a busy disk makes single rounds
    // slow now and then, and a round's saves share its conditions.
    for (const auto& [label, more] :
         {std::pair{"streamed", &streamed_more}, {"whole text", &whole_more}}) {
      const double m = Median(*more);
      fprintf(stderr,
              "%-10s atomic %-10s: +%.2f ms a round over in place = %.1f%% of the result file "
              "time (medians)\n",
              codeset, label, m * 1e3, m / median * 100);
    }
  }
  std::filesystem::remove_all(dir);
  return 0;
}
