#include "output/device_file.h"

#include <cctype>
#include <string_view>

#include "output/atomic_file.h"
#include "output/summary_file.h"
#include "platform/files.h"

namespace {

constexpr std::string_view kHeader = "target,version,bulk,engine_id,last_seen";
constexpr size_t kFields = 5;

bool AllOf(const std::string& text, int (*is)(int)) {
  for (unsigned char c : text)
    if (!is(c)) return false;
  return true;
}

// Why a record is not a device line; "" when it is one.
std::string LineFault(const std::vector<std::string>& f) {
  if (f.size() != kFields) return "not five fields";
  if (f[0].empty()) return "no target";
  if (f[1] != "" && f[1] != "1" && f[1] != "2c" && f[1] != "3") return "unknown version";
  if (f[2] != "failed" && (f[2].size() > 9 || !AllOf(f[2], isdigit) || f[2] == "0"))
    return "bulk is neither a count nor \"failed\"";
  if (!AllOf(f[3], isxdigit)) return "engine ID is not hex";
  return "";
}

}  // namespace

std::string DeviceCsv(const std::vector<DeviceLine>& lines) {
  std::string csv = std::string(kHeader) + "\r\n";
  for (const DeviceLine& line : lines)
    csv += CsvField(line.target) + ',' + line.version + ',' + line.bulk + ',' + line.engine_id +
           ',' + CsvField(line.last_seen) + "\r\n";
  return csv;
}

bool WriteDeviceFile(const std::string& path, const std::vector<DeviceLine>& lines,
                     std::string* error) {
  return SaveFileAtomically(path, DeviceCsv(lines), error);
}

bool ReadDeviceFile(const std::string& path, std::vector<DeviceLine>* lines, std::string* error) {
  lines->clear();
  error->clear();
  std::string text;
  if (!platform::ReadRegularFile(path, &text, error)) return false;
  std::vector<std::string> fields;
  size_t pos = 0;
  std::string header;
  if (NextCsvRecord(text, &pos, &fields))
    for (size_t i = 0; i < fields.size(); ++i) header += (i ? "," : "") + fields[i];
  if (header != kHeader) {
    *error = "not a device file (header)";
    return false;
  }
  for (size_t line = 2; pos < text.size(); ++line) {
    std::string fault = NextCsvRecord(text, &pos, &fields) ? LineFault(fields) : "bad quoting";
    if (!fault.empty()) {
      *error = "line " + std::to_string(line) + ": " + fault;
      lines->clear();
      return false;
    }
    lines->push_back(DeviceLine{std::move(fields[0]), std::move(fields[1]), std::move(fields[2]),
                                std::move(fields[3]), std::move(fields[4])});
  }
  return true;
}
