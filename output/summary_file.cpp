#include "output/summary_file.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "output/atomic_file.h"
#include "platform/files.h"

namespace {

constexpr std::string_view kHeader = "target,outcome,versions,rows,seconds,result_file,detail";
constexpr size_t kFields = 7;

}  // namespace

bool NextCsvRecord(std::string_view text, size_t* pos, std::vector<std::string>* fields) {
  fields->assign(1, std::string());
  size_t i = *pos;
  while (i < text.size()) {
    std::string& field = fields->back();
    if (text[i] == '"' && field.empty()) {
      for (++i;; ++i) {
        if (i >= text.size()) return false;
        if (text[i] != '"') {
          field += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          ++i;
          break;
        }
      }
      if (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n') return false;
      continue;
    }
    const char c = text[i++];
    if (c == ',') {
      fields->emplace_back();
    } else if (c == '\r' && i < text.size() && text[i] == '\n') {
      ++i;
      break;
    } else if (c == '\n') {
      break;
    } else if (c == '"') {
      return false;
    } else {
      field += c;
    }
  }
  *pos = i;
  return true;
}

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

bool ReadSummaryFile(const std::string& path, std::vector<SummaryRow>* rows, std::string* error) {
  rows->clear();
  error->clear();
  std::string text;
  if (!platform::ReadRegularFile(path, &text, error)) return false;
  std::vector<std::string> fields;
  size_t pos = 0;
  if (!NextCsvRecord(text, &pos, &fields) || fields.size() != kFields ||
      (fields[0] + "," + fields[1] + "," + fields[2] + "," + fields[3] + "," + fields[4] + "," +
       fields[5] + "," + fields[6]) != kHeader) {
    *error = "not a summary file (header)";
    return false;
  }
  for (size_t line = 2; pos < text.size(); ++line) {
    if (!NextCsvRecord(text, &pos, &fields) || fields.size() != kFields) {
      *error = "record " + std::to_string(line) + " is not one of seven fields";
      rows->clear();
      return false;
    }
    SummaryRow row;
    row.target = std::move(fields[0]);
    row.outcome = std::move(fields[1]);
    row.versions = std::move(fields[2]);
    const std::string& count = fields[3];
    if (std::from_chars(count.data(), count.data() + count.size(), row.rows).ec != std::errc())
      row.rows = 0;
    row.seconds = strtod(fields[4].c_str(), nullptr);
    row.result_file = std::move(fields[5]);
    row.detail = std::move(fields[6]);
    rows->push_back(std::move(row));
  }
  return true;
}
