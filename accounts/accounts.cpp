#include "accounts/accounts.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "platform/files.h"

// No read-ahead thread: the loader reads the source's notes between rows, and
// an accounts file is small.
#define CSV_IO_NO_THREAD
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-truncation"
#endif
#include <libfccp/csv.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using AccountReader = io::CSVReader<6, io::trim_chars<' ', '\t'>, io::no_quote_escape<','>,
                                    io::throw_on_overflow, io::no_comment>;

// What the source saw, for the loader's message. Outlives the source, which
// the reader destroys as soon as its first read has taken the whole input.
struct SourceNotes {
  unsigned line = 1;             // number of the line being scanned
  unsigned overlong_line = 0;    // 0: none
  unsigned first_empty_row = 0;  // first empty line after the header; 0: none
  bool read_failed = false;
};

// Feeds the CSV reader from a stream and ends its input just before the first
// line longer than kMaxAccountLineBytes, so that no part of that line reaches
// the reader (whose own limit is far higher). Also notes the first empty row
// line, so that the loader can tell trailing empty lines from a real fault.
class LineLimitedSource : public io::ByteSourceBase {
 public:
  LineLimitedSource(std::istream& in, SourceNotes* notes) : in_(in), notes_(*notes) {}

  // Fills buffer completely unless the input (or the part allowed through)
  // ends: the reader takes a short first read for the end of the file.
  int read(char* buffer, int size) override {
    const size_t want = static_cast<size_t>(size);
    while (safe_ < want && !end_) Pull();
    size_t n = std::min(safe_, want);
    std::memcpy(buffer, buf_.data(), n);
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
    safe_ -= n;
    scanned_ -= n;
    return static_cast<int>(n);
  }

 private:
  static constexpr size_t kChunk = 64 * 1024;

  void Pull() {
    size_t old = buf_.size();
    buf_.resize(old + kChunk);
    in_.read(buf_.data() + old, kChunk);
    size_t got = static_cast<size_t>(in_.gcount());
    buf_.resize(old + got);
    if (in_.bad()) notes_.read_failed = true;
    if (got < kChunk) end_ = true;
    if (first_pull_) {
      first_pull_ = false;
      // The reader skips a byte-order mark itself; it is not part of line 1.
      if (buf_.size() >= 3 && std::memcmp(buf_.data(), "\xEF\xBB\xBF", 3) == 0) scanned_ = 3;
    }
    for (; scanned_ < buf_.size(); ++scanned_) {
      if (buf_[scanned_] == '\n') {
        EndLine(scanned_, scanned_ + 1);
        continue;
      }
      if (++line_len_ > kMaxAccountLineBytes) {
        notes_.overlong_line = notes_.line;
        buf_.resize(safe_);
        scanned_ = safe_;
        end_ = true;
        return;
      }
    }
    if (end_ && scanned_ > safe_) EndLine(buf_.size(), buf_.size());  // a last line without LF
  }

  // The line whose content ends before buf_[content_end] (and whose LF, if
  // any, before buf_[next]) is within the limit: let it through.
  void EndLine(size_t content_end, size_t next) {
    bool empty = line_len_ == 0 || (line_len_ == 1 && buf_[content_end - 1] == '\r');
    if (empty && notes_.line >= 2 && notes_.first_empty_row == 0)
      notes_.first_empty_row = notes_.line;
    safe_ = next;
    ++notes_.line;
    line_len_ = 0;
  }

  std::istream& in_;
  SourceNotes& notes_;
  std::vector<char> buf_;  // read from the stream, not yet handed over
  size_t scanned_ = 0;     // bytes of buf_ looked at
  size_t safe_ = 0;        // bytes of buf_ that may be handed over: whole lines within the limit
  size_t line_len_ = 0;    // bytes so far of the line being scanned, LF not counted
  bool first_pull_ = true;
  bool end_ = false;
};

std::string Where(const std::string& name, unsigned line) {
  std::string s = "mibscan: accounts file \"" + name + "\"";
  if (line > 0) s += ", line " + std::to_string(line);
  return s + ": ";
}

std::string RowFault(const std::string& name, unsigned line, const char* what) {
  if (line <= 1) return Where(name, line) + what + "; no accounts loaded";
  return Where(name, line) + what + "; this line and the rest of the file are ignored";
}

// The protocol names of the file, canonical spelling first; matched without
// regard to case.
struct AuthName {
  AuthProtocol protocol;
  const char* name;
};
constexpr AuthName kAuthNames[] = {
    {AuthProtocol::kMd5, "MD5"},        {AuthProtocol::kSha, "SHA"},
    {AuthProtocol::kSha224, "SHA-224"}, {AuthProtocol::kSha256, "SHA-256"},
    {AuthProtocol::kSha384, "SHA-384"}, {AuthProtocol::kSha512, "SHA-512"}};
struct PrivName {
  PrivProtocol protocol;
  const char* name;
};
constexpr PrivName kPrivNames[] = {{PrivProtocol::kDes, "DES"},
                                   {PrivProtocol::kAes, "AES"},
                                   {PrivProtocol::kAes192, "AES-192"},
                                   {PrivProtocol::kAes256, "AES-256"},
                                   {PrivProtocol::kAes192Cisco, "AES-192C"},
                                   {PrivProtocol::kAes256Cisco, "AES-256C"}};

bool SameNameIgnoringCase(std::string_view a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != static_cast<unsigned char>(b[i]))
      return false;
  return i == a.size() && !b[i];
}

template <typename Table>
std::string KnownNames(const Table& table) {
  std::string names;
  for (const auto& entry : table) names += std::string(names.empty() ? "" : ", ") + entry.name;
  return names;
}

// The security cells of one row, as read (empty when the column is absent).
struct SecurityCells {
  std::string auth_protocol, priv_protocol, priv_password;
};

// Fills the security fields of *account from the cells. Returns false with
// *column and *fault set when the row must not be used; never quotes a cell.
bool ApplySecurityCells(const SecurityCells& cells, Account* account, const char** column,
                        std::string* fault) {
  if (!cells.auth_protocol.empty() &&
      !ParseAuthProtocol(cells.auth_protocol, &account->auth_protocol)) {
    *column = "authprotocol";
    *fault = "unknown authentication protocol (known: " + KnownNames(kAuthNames) + ")";
    return false;
  }
  if (!cells.priv_protocol.empty() &&
      !ParsePrivProtocol(cells.priv_protocol, &account->priv_protocol)) {
    *column = "privprotocol";
    *fault = "unknown privacy protocol (known: " + KnownNames(kPrivNames) + ")";
    return false;
  }
  const bool privacy = account->priv_protocol != PrivProtocol::kNone;
  if (privacy && cells.priv_password.empty()) {
    *column = "privpassword";
    *fault = "a privacy protocol needs a privacy pass phrase";
    return false;
  }
  if (!privacy && !cells.priv_password.empty()) {
    // Not a silent authNoPriv: the row meant privacy.
    *column = "privprotocol";
    *fault = "a privacy pass phrase needs a privacy protocol";
    return false;
  }
  if (privacy && cells.priv_password.size() < kMinPassPhraseBytes) {
    *column = "privpassword";
    *fault =
        "the privacy pass phrase is shorter than " + std::to_string(kMinPassPhraseBytes) + " bytes";
    return false;
  }
  const bool any_security = !cells.auth_protocol.empty() || privacy;
  if (account->username.empty() && any_security) {
    // Without a user the walk runs without authentication.
    *column = "username";
    *fault = "security protocols need a user name";
    return false;
  }
  if (privacy) account->priv_password = cells.priv_password;
  return true;
}

std::string OverlongLine() {
  return "longer than " + std::to_string(kMaxAccountLineBytes) + " bytes";
}

// After a fault at an empty line: true when only empty lines follow, so that
// nothing was lost.
bool OnlyEmptyLinesFollow(AccountReader* reader, const SourceNotes& notes) {
  try {
    while (const char* line = reader->next_line())
      if (*line != '\0') return false;
  } catch (...) {
    return false;
  }
  return notes.overlong_line == 0 && !notes.read_failed;
}

}  // namespace

bool ParseAuthProtocol(std::string_view name, AuthProtocol* protocol) {
  for (const auto& entry : kAuthNames) {
    if (SameNameIgnoringCase(name, entry.name)) {
      *protocol = entry.protocol;
      return true;
    }
  }
  return false;
}

bool ParsePrivProtocol(std::string_view name, PrivProtocol* protocol) {
  for (const auto& entry : kPrivNames) {
    if (SameNameIgnoringCase(name, entry.name)) {
      *protocol = entry.protocol;
      return true;
    }
  }
  return false;
}

const char* AuthProtocolName(AuthProtocol protocol) {
  for (const auto& entry : kAuthNames)
    if (entry.protocol == protocol) return entry.name;
  return "";
}

const char* PrivProtocolName(PrivProtocol protocol) {
  for (const auto& entry : kPrivNames)
    if (entry.protocol == protocol) return entry.name;
  return "";
}

bool LoadAccountsFrom(std::istream& in, const std::string& name, Accounts* accounts,
                      std::string* problem, std::vector<std::string>* refused,
                      std::vector<std::string>* ips) {
  SourceNotes notes;
  std::unordered_map<std::string, unsigned> line_of_ip;
  std::unique_ptr<AccountReader> reader;
  try {
    reader = std::make_unique<AccountReader>(name, std::make_unique<LineLimitedSource>(in, &notes));
    reader->read_header(io::ignore_extra_column | io::ignore_missing_column, "ip", "username",
                        "password", "authprotocol", "privprotocol", "privpassword");
    for (const char* required : {"ip", "username", "password"}) {
      if (!reader->has_column(required)) {
        io::error::missing_column_in_header missing;
        missing.set_column_name(required);
        throw missing;
      }
    }
    std::string ip, username, password;
    SecurityCells cells;
    // Absent columns leave their variables as they were: empty.
    while (reader->read_row(ip, username, password, cells.auth_protocol, cells.priv_protocol,
                            cells.priv_password)) {
      const unsigned line = static_cast<unsigned>(reader->get_file_line());
      if (ips) ips->push_back(ip);
      // The later row wins, as in any map; a second row is more often a
      // slip than a choice.
      auto [earlier, first] = line_of_ip.try_emplace(ip, line);
      if (!first) {
        if (refused)
          refused->push_back(Where(name, line) + "the ip of line " +
                             std::to_string(earlier->second) + " again; the later row counts");
        earlier->second = line;
      }
      Account account{username, password};
      const char* column = "";
      std::string fault;
      if (ApplySecurityCells(cells, &account, &column, &fault)) {
        (*accounts)[ip] = std::move(account);
      } else {
        accounts->erase(ip);
        if (refused)
          refused->push_back(Where(name, line) + "column \"" + column + "\": " + fault +
                             "; this row is not used");
      }
    }
  } catch (const io::error::header_missing&) {
    if (notes.read_failed) {
      *problem = Where(name, 0) + "cannot be read; no accounts loaded";
    } else if (notes.overlong_line) {
      *problem = RowFault(name, 1, OverlongLine().c_str());
    } else {
      *problem = Where(name, 0) + "empty, the header line is missing; no accounts loaded";
    }
    return false;
  } catch (const io::error::missing_column_in_header& e) {
    *problem = RowFault(
        name, 1, ("the header has no column \"" + std::string(e.column_name) + "\"").c_str());
    return false;
  } catch (const io::error::duplicated_column_in_header& e) {
    *problem = RowFault(
        name, 1,
        ("the header names the column \"" + std::string(e.column_name) + "\" twice").c_str());
    return false;
  } catch (const io::error::too_few_columns& e) {
    unsigned line = static_cast<unsigned>(e.file_line);
    if (line == notes.first_empty_row) {
      if (OnlyEmptyLinesFollow(reader.get(), notes)) return true;
      *problem = RowFault(name, line, "empty line");
    } else {
      *problem = RowFault(name, line, "fewer cells than the header has columns");
    }
    return false;
  } catch (const io::error::too_many_columns& e) {
    *problem = RowFault(name, static_cast<unsigned>(e.file_line),
                        "more cells than the header has columns");
    return false;
  } catch (const io::error::line_length_limit_exceeded& e) {
    *problem = RowFault(name, static_cast<unsigned>(e.file_line), OverlongLine().c_str());
    return false;
  } catch (...) {
    // Other library errors would quote a cell; say nothing of the content.
    *problem = Where(name, notes.line) + "cannot be read; the rest of the file is ignored";
    return false;
  }
  if (notes.read_failed) {
    *problem = Where(name, notes.line) + "read error; the rest of the file is ignored";
    return false;
  }
  if (notes.overlong_line) {
    *problem = RowFault(name, notes.overlong_line, OverlongLine().c_str());
    return false;
  }
  return true;
}

void LoadAccounts(const std::string& path, Accounts* accounts, std::vector<std::string>* ips) {
  std::string problem, text, why;
  std::vector<std::string> refused;
  if (!platform::ReadRegularFile(path, &text, &why)) {
    if (why.empty()) why = std::strerror(ENOENT);
    problem = Where(path, 0) + "cannot be opened (" + why + "); no accounts loaded";
  } else {
    struct stat st;
    // The file holds pass phrases in clear: say so when others can read it.
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        (st.st_mode & (S_IRGRP | S_IROTH)) != 0)
      fprintf(
          stderr,
          "%sreadable by group or others, yet it holds pass phrases (chmod 600 makes it private)\n",
          Where(path, 0).c_str());
    std::istringstream in(std::move(text));
    LoadAccountsFrom(in, path, accounts, &problem, &refused, ips);
  }
  for (const auto& line : refused) fprintf(stderr, "%s\n", line.c_str());
  if (!problem.empty()) fprintf(stderr, "%s\n", problem.c_str());
}

const Account* FindAccount(const Accounts& accounts, const std::string& target) {
  auto it = accounts.find(target);
  return it == accounts.end() ? nullptr : &it->second;
}
