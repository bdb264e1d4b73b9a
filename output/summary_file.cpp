#include "output/summary_file.h"

#include <cstdio>

#include "output/atomic_file.h"

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string SummaryCsv(const std::vector<SummaryRow>& rows) {
  std::string csv = "target,outcome,versions,rows,seconds,result_file,detail\r\n";
  char seconds[32];
  for (const SummaryRow& row : rows) {
    snprintf(seconds, sizeof seconds, "%.3f", row.seconds);
    csv += CsvField(row.target) + ',' + CsvField(row.outcome) + ',' + CsvField(row.versions) + ',' +
           std::to_string(row.rows) + ',' + seconds + ',' + CsvField(row.result_file) + ',' +
           CsvField(row.detail) + "\r\n";
  }
  return csv;
}

std::string SummaryFilePath(const std::string& dir, const std::string& shard_tag) {
  return dir + "/summary" + shard_tag + ".csv";
}

bool WriteSummaryFile(const std::string& path, const std::vector<SummaryRow>& rows,
                      std::string* error) {
  return SaveFileAtomically(path, SummaryCsv(rows), error);
}
