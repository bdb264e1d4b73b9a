// summary.csv as the tests read it: its records, checked against the
// designed header and width.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_util.h"

namespace summarytest {

using CsvRecord = std::vector<std::string>;

// RFC 4180 records (CR LF line ends, quoted fields); false on anything else.
inline bool ParseCsv(const std::string& text, std::vector<CsvRecord>* records) {
  CsvRecord record;
  std::string field;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '"') {
      for (++i;; ++i) {
        if (i >= text.size()) return false;
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            ++i;
          } else {
            ++i;
            break;
          }
        } else {
          field += text[i];
        }
      }
    } else {
      while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n')
        field += text[i++];
    }
    record.push_back(field);
    field.clear();
    if (i < text.size() && text[i] == ',') {
      ++i;
    } else if (text.compare(i, 2, "\r\n") == 0) {
      i += 2;
      records->push_back(record);
      record.clear();
    } else {
      return false;
    }
  }
  return record.empty();
}

// The rows of the summary file at path after its header.
inline std::vector<CsvRecord> SummaryRowsIn(const std::string& path) {
  std::vector<CsvRecord> records;
  const std::string text = testutil::ReadFile(path);
  EXPECT_TRUE(ParseCsv(text, &records)) << text;
  if (records.empty()) {
    ADD_FAILURE() << "no header";
    return {};
  }
  EXPECT_EQ(records[0], (CsvRecord{"target", "outcome", "versions", "rows", "seconds",
                                   "result_file", "detail"}));
  records.erase(records.begin());
  for (const CsvRecord& r : records) EXPECT_EQ(r.size(), 7u) << text;
  return records;
}

// The rows of <dir>/summary.csv after its header.
inline std::vector<CsvRecord> SummaryRows(const testutil::TempDir& dir) {
  return SummaryRowsIn(dir / "summary.csv");
}

}  // namespace summarytest
