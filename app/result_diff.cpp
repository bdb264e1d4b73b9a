#include "app/result_diff.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "app/run_summary.h"
#include "output/result_document.h"
#include "output/result_reader.h"
#include "output/summary_file.h"

namespace {

constexpr std::string_view kSysUpTime = "1.3.6.1.2.1.1.3.0";
constexpr size_t kOutputChunk = 64 * 1024;

// Appends a key whose byte order is the order of CompareOids: per arc, a
// numeric one as 1, its length (two bytes) and its digits without leading
// zeros; any other as 2, its bytes and a 0; then 0 and the OID itself, so a
// prefix comes first and equal arcs written differently go by their bytes.
void AppendOidKey(std::string_view oid, std::string* key) {
  std::string_view rest = oid;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('.'), rest.size());
    std::string_view arc = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    bool digits = !arc.empty() && arc.size() <= 0xFFFF;
    for (char c : arc) digits = digits && c >= '0' && c <= '9';
    if (digits) {
      while (arc.size() > 1 && arc[0] == '0') arc.remove_prefix(1);
      key->push_back('\1');
      key->push_back(static_cast<char>(arc.size() >> 8));
      key->push_back(static_cast<char>(arc.size() & 0xFF));
      key->append(arc);
    } else {
      key->push_back('\2');
      key->append(arc);
      key->push_back('\0');
    }
  }
  key->push_back('\0');
  key->append(oid);
}

int CompareKeys(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  if (const int c = memcmp(a.data(), b.data(), n)) return c;
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

// Types whose values move on their own between two scans.
bool IsVolatileType(std::string_view type) {
  return EqualsNoCase(type, "Counter32") || EqualsNoCase(type, "Counter64") ||
         EqualsNoCase(type, "TimeTicks");
}

std::string_view WithoutLeadingDot(std::string_view oid) {
  return !oid.empty() && oid[0] == '.' ? oid.substr(1) : oid;
}

// A row left out without --all: sysUpTime.0 always; otherwise when every
// side that names a type names a volatile one (a type that changed to or
// from a counter is a change worth seeing).
bool IsVolatile(const FileRow* a, const FileRow* b) {
  if (WithoutLeadingDot((a ? a : b)->oid) == kSysUpTime) return true;
  bool known = false;
  for (const FileRow* r : {a, b}) {
    if (!r || r->type.empty()) continue;
    if (!IsVolatileType(r->type)) return false;
    known = true;
  }
  return known;
}

// The bytes a Base64 value stands for, when it is one: marked so, or, in a
// file that marks nothing, of the exact form the writer gives Base64.
bool Base64Bytes(const FileRow& row, bool file_marks, std::string* bytes) {
  if (!row.base64 && file_marks) return false;
  return DecodeBase64Lines(row.value, bytes);
}

// Values compared as the files hold them, except that Base64 and text of the
// same bytes are equal (text is written without trailing zero bytes).
bool SameValue(const FileRow& a, bool a_marks, const FileRow& b, bool b_marks, std::string* a_bytes,
               std::string* b_bytes) {
  if (a.value == b.value && a.base64 == b.base64) return true;
  const bool a64 = Base64Bytes(a, a_marks, a_bytes);
  const bool b64 = Base64Bytes(b, b_marks, b_bytes);
  if (a64 && b64) return *a_bytes == *b_bytes;
  if (!a64 && !b64) return a.value == b.value;
  std::string_view bytes = a64 ? *a_bytes : *b_bytes;
  while (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
  return bytes == (a64 ? b.value : a.value);
}

// One side of a target: its file's rows in OID order, one row per OID (the
// last a file holds, should it hold one twice).
struct Side {
  struct Sorted {
    std::string_view key;
    uint32_t row;
  };
  ResultFileRows rows;
  std::string keys;  // the rows' sort keys, one after the other
  std::vector<uint32_t> key_ends;
  std::vector<Sorted> order;

  bool Read(const std::string& path, std::string* error) {
    if (!rows.Read(path, error)) return false;
    keys.clear();
    key_ends.clear();
    for (size_t i = 0; i < rows.size(); ++i) {
      AppendOidKey(rows[i].oid, &keys);
      key_ends.push_back(static_cast<uint32_t>(keys.size()));
    }
    order.clear();
    for (uint32_t i = 0, start = 0; i < key_ends.size(); start = key_ends[i++])
      order.push_back(Sorted{std::string_view(keys).substr(start, key_ends[i] - start), i});
    std::stable_sort(order.begin(), order.end(), [](const Sorted& x, const Sorted& y) {
      return CompareKeys(x.key, y.key) < 0;
    });
    size_t kept = 0;
    for (size_t i = 0; i < order.size(); ++i) {
      if (i + 1 < order.size() && order[i].key == order[i + 1].key) continue;
      order[kept++] = order[i];
    }
    order.resize(kept);
    return true;
  }
};

class Differ {
 public:
  Differ(const DiffRequest& request, FILE* out, FILE* err)
      : request_(request), out_(out), err_(err) {}

  int Run() {
    struct stat old_info, new_info;
    if (!Stat(request_.old_path, &old_info) || !Stat(request_.new_path, &new_info)) return 2;
    const bool old_dir = S_ISDIR(old_info.st_mode), new_dir = S_ISDIR(new_info.st_mode);
    if (old_dir != new_dir) {
      fprintf(err_, "mibscan: --diff: %s and %s are not both folders or both files\n",
              request_.old_path.c_str(), request_.new_path.c_str());
      return 2;
    }
    if (old_dir) {
      std::vector<std::string> old_names, new_names;
      if (!List(request_.old_path, &old_names) || !List(request_.new_path, &new_names)) return 2;
      Put("target,oid,name,change,old,new\r\n");
      size_t i = 0, j = 0;
      while (i < old_names.size() || j < new_names.size()) {
        const int order = i == old_names.size()   ? 1
                          : j == new_names.size() ? -1
                                                  : old_names[i].compare(new_names[j]);
        if (order < 0) {
          OneSided(old_names[i++], "target removed");
        } else if (order > 0) {
          OneSided(new_names[j++], "target added");
        } else {
          Compare(request_.old_path + "/" + old_names[i], request_.new_path + "/" + new_names[j],
                  new_names[j]);
          ++i, ++j;
        }
      }
    } else {
      Put("target,oid,name,change,old,new\r\n");
      const size_t slash = request_.new_path.rfind('/');
      Compare(request_.old_path, request_.new_path,
              slash == std::string::npos ? request_.new_path : request_.new_path.substr(slash + 1));
    }
    Flush();
    if (ferror(out_) || fflush(out_) != 0) {
      fprintf(err_, "mibscan: --diff: standard output: %s\n", strerror(errno));
      trouble_ = true;
    }
    fprintf(err_, "%s\n", ClosingLine().c_str());
    if (trouble_) return 2;
    return changed_targets_ + targets_added_ + targets_removed_ > 0 ? 1 : 0;
  }

 private:
  bool Stat(const std::string& path, struct stat* info) {
    if (stat(path.c_str(), info) == 0) return true;
    fprintf(err_, "mibscan: --diff: %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }

  bool List(const std::string& dir, std::vector<std::string>* names) {
    std::string error;
    if (ListResultFiles(dir, names, &error)) return true;
    fprintf(err_, "mibscan: --diff: %s: cannot read the folder: %s\n", dir.c_str(), error.c_str());
    return false;
  }

  void OneSided(const std::string& file_name, std::string_view change) {
    std::string form_oid;
    const std::string target = TargetOfResultFile(file_name, &form_oid);
    PutRow(target, form_oid, "", change, "", "");
    ++(change == "target added" ? targets_added_ : targets_removed_);
  }

  void Compare(const std::string& old_path, const std::string& new_path,
               const std::string& file_name) {
    std::string error, form_oid;
    for (auto [side, path] : {std::pair{&old_, &old_path}, std::pair{&new_, &new_path}}) {
      if (side->Read(*path, &error)) continue;
      fprintf(err_, "mibscan: --diff: %s: %s\n", path->c_str(), error.c_str());
      trouble_ = true;
      return;
    }
    ++targets_compared_;
    const std::string target = TargetOfResultFile(file_name, &form_oid);
    const bool old_marks = old_.rows.has_types(), new_marks = new_.rows.has_types();
    const uint64_t rows_before = added_ + removed_ + changed_;
    size_t i = 0, j = 0;
    while (i < old_.order.size() || j < new_.order.size()) {
      FileRow old_row, new_row;
      const FileRow* a =
          i < old_.order.size() ? &(old_row = old_.rows[old_.order[i].row]) : nullptr;
      const FileRow* b =
          j < new_.order.size() ? &(new_row = new_.rows[new_.order[j].row]) : nullptr;
      const int order = !a ? 1 : !b ? -1 : CompareKeys(old_.order[i].key, new_.order[j].key);
      if (order < 0) {
        ++i;
        if (request_.all || !IsVolatile(a, nullptr)) {
          PutRow(target, a->oid, a->name, "removed", a->value, "");
          ++removed_;
        } else {
          ++volatile_left_out_;
        }
      } else if (order > 0) {
        ++j;
        if (request_.all || !IsVolatile(nullptr, b)) {
          PutRow(target, b->oid, b->name, "added", "", b->value);
          ++added_;
        } else {
          ++volatile_left_out_;
        }
      } else {
        ++i, ++j;
        const bool type_changed = !a->type.empty() && !b->type.empty() && a->type != b->type;
        if (!type_changed && SameValue(*a, old_marks, *b, new_marks, &bytes_a_, &bytes_b_))
          continue;
        if (!request_.all && IsVolatile(a, b)) {
          ++volatile_left_out_;
          continue;
        }
        const std::string_view name = b->name.empty() ? a->name : b->name;
        if (type_changed) {
          PutRow(target, b->oid, name, "changed", Typed(*a), Typed(*b));
        } else {
          PutRow(target, b->oid, name, "changed", a->value, b->value);
        }
        ++changed_;
      }
    }
    if (added_ + removed_ + changed_ > rows_before) ++changed_targets_;
  }

  // "TYPE: value", for a row whose type changed.
  static std::string Typed(const FileRow& row) {
    std::string text(row.type);
    text += ": ";
    text += row.value;
    return text;
  }

  void PutRow(std::string_view target, std::string_view oid, std::string_view name,
              std::string_view change, std::string_view old_value, std::string_view new_value) {
    for (std::string_view field : {target, oid, name, change, old_value}) {
      buffer_ += CsvField(field);
      buffer_ += ',';
    }
    buffer_ += CsvField(new_value);
    buffer_ += "\r\n";
    if (buffer_.size() >= kOutputChunk) Flush();
  }

  void Put(std::string_view text) { buffer_ += text; }

  void Flush() {
    if (!buffer_.empty()) fwrite(buffer_.data(), 1, buffer_.size(), out_);
    buffer_.clear();
  }

  std::string ClosingLine() const {
    auto count = [](uint64_t n, const char* one, const char* many) {
      return GroupThousands(n) + " " + (n == 1 ? one : many);
    };
    std::string line = "mibscan: " + count(targets_compared_, "target", "targets") + " compared, " +
                       GroupThousands(changed_targets_) + " with changes";
    if (targets_added_) line += ", " + GroupThousands(targets_added_) + " added";
    if (targets_removed_) line += ", " + GroupThousands(targets_removed_) + " removed";
    line += "; rows: " + GroupThousands(added_) + " added, " + GroupThousands(removed_) +
            " removed, " + GroupThousands(changed_) + " changed";
    if (volatile_left_out_)
      line += "; " + count(volatile_left_out_, "volatile row", "volatile rows") +
              " left out (--all keeps them)";
    return line;
  }

  const DiffRequest& request_;
  FILE* out_;
  FILE* err_;
  Side old_, new_;  // reused target after target: their buffers stay
  std::string bytes_a_, bytes_b_, buffer_;
  bool trouble_ = false;
  uint64_t targets_compared_ = 0, changed_targets_ = 0, targets_added_ = 0, targets_removed_ = 0;
  uint64_t added_ = 0, removed_ = 0, changed_ = 0, volatile_left_out_ = 0;
};

}  // namespace

int CompareOids(std::string_view a, std::string_view b) {
  std::string key_a, key_b;
  AppendOidKey(a, &key_a);
  AppendOidKey(b, &key_b);
  return CompareKeys(key_a, key_b);
}

bool IsDiffCommand(const std::vector<std::string>& args) {
  return (!args.empty() && args[0] == "--diff") ||
         (args.size() > 1 && args[0] == "--all" && args[1] == "--diff");
}

bool ParseDiffArguments(const std::vector<std::string>& args, DiffRequest* request,
                        std::string* error) {
  bool diff = false;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.rfind("--", 0) != 0) break;
    bool* flag = arg == "--diff" ? &diff : arg == "--all" ? &request->all : nullptr;
    if (!flag) {
      *error = "--diff: " + arg.substr(0, 64) + ": not an option of --diff";
      return false;
    }
    if (*flag) {
      *error = arg + ": given more than once";
      return false;
    }
    *flag = true;
  }
  if (!diff || args.size() - i != 2) {
    *error = "--diff: expected --diff [--all] OLD NEW";
    return false;
  }
  request->old_path = args[i];
  request->new_path = args[i + 1];
  return true;
}

int RunDiff(const DiffRequest& request, FILE* out, FILE* err) {
  return Differ(request, out, err).Run();
}

int RunDiffCommand(const std::vector<std::string>& args) {
  DiffRequest request;
  std::string error;
  if (!ParseDiffArguments(args, &request, &error)) {
    fprintf(stderr, "mibscan: %s\n", error.c_str());
    return 2;
  }
  return RunDiff(request, stdout, stderr);
}
