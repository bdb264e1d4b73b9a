// summary.csv: one row per target of a run, in command-line order, beside
// the result files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct SummaryRow {
  std::string target;
  std::string outcome;   // "answered", "no_answer", ...
  std::string versions;  // versions that stored rows: "1", "2c", "1 2c", ...; "" for none
  size_t rows = 0;
  double seconds = 0;       // the target's scan time
  std::string result_file;  // the result file's name; "" when it was not written
  std::string detail;
};

// One field as RFC 4180 writes it: in double quotes, inner quotes doubled,
// when it holds a comma, a double quote, a CR or an LF; unchanged otherwise.
std::string CsvField(std::string_view text);

// The next RFC 4180 record of text from *pos (CR LF or LF ends it) into
// *fields; false at a quote out of place or one left open.
bool NextCsvRecord(std::string_view text, size_t* pos, std::vector<std::string>* fields);

// The whole file: the header "target,outcome,versions,rows,seconds,
// result_file,detail", then one record per row, each line ended by CR LF.
std::string SummaryCsv(const std::vector<SummaryRow>& rows);

// "<dir>/summary<shard_tag>.csv": "summary.csv" without a shard,
// "summary-2-of-4.csv" for shard 2 of 4.
std::string SummaryFilePath(const std::string& dir, const std::string& shard_tag);

// Writes SummaryCsv(rows) to path, replacing the whole file as result files
// are replaced (output/atomic_file.h). Returns false with the reason in
// *error. Any thread.
bool WriteSummaryFile(const std::string& path, const std::vector<SummaryRow>& rows,
                      std::string* error);

// Reads a summary file written by WriteSummaryFile back into rows: the
// designed header, then RFC 4180 records of its seven fields (LF alone also
// ends a record). Returns false with *error empty when the file does not
// exist, and with a one-line cause when it cannot be read or holds anything
// else (*rows is then empty). Any thread.
bool ReadSummaryFile(const std::string& path, std::vector<SummaryRow>* rows, std::string* error);
