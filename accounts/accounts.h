// SNMPv3 accounts per target address, read from accounts.csv.
//
// The file: a header line naming the columns "ip", "username" and "password"
// (exactly so, once each, in any order; other columns are read past), then one
// row per address with as many cells as the header has columns. The header may
// also name "authprotocol", "privprotocol" and "privpassword"; without them,
// or with their cells empty, a row is MD5 without privacy. A row whose
// security cells do not make a sound account (unknown protocol name, privacy
// without its pass phrase or a pass phrase under 8 bytes, ...) is reported and
// not used: its address then has no account. Cells are cut
// at every ',' (no quoting) and lose surrounding spaces and tabs. A UTF-8
// byte-order mark is skipped, a CR before the LF dropped, and a line may hold
// at most kMaxAccountLineBytes bytes before its LF. The first fault ends the
// reading; the rows before it stay loaded. For one address the last row wins.
#pragma once

#include <cstddef>
#include <istream>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// SNMPv3 authentication and privacy protocols an account may name.
enum class AuthProtocol { kMd5, kSha, kSha224, kSha256, kSha384, kSha512 };
enum class PrivProtocol { kNone, kDes, kAes, kAes192, kAes256, kAes192Cisco, kAes256Cisco };

// Parse the names of the accounts file (case-insensitive; "" is not a name).
// Return false, leaving *protocol untouched, for a name not known.
bool ParseAuthProtocol(std::string_view name, AuthProtocol* protocol);
bool ParsePrivProtocol(std::string_view name, PrivProtocol* protocol);
// The canonical name ("SHA-512", "AES-256C" ...); "" for kNone.
const char* AuthProtocolName(AuthProtocol protocol);
const char* PrivProtocolName(PrivProtocol protocol);

struct Account {
  Account() = default;
  Account(std::string user, std::string pass)
      : username(std::move(user)), password(std::move(pass)) {}

  std::string username;
  std::string password;  // authentication pass phrase
  AuthProtocol auth_protocol = AuthProtocol::kMd5;
  PrivProtocol priv_protocol = PrivProtocol::kNone;  // kNone: authNoPriv
  std::string priv_password;                         // set exactly when priv_protocol is not kNone
};

// The shortest pass phrase the SNMPv3 key derivation accepts.
constexpr size_t kMinPassPhraseBytes = 8;

constexpr size_t kMaxAccountLineBytes = 1048575;

// SNMPv3 account per target address. The run owns one, filled by
// LoadAccounts before the first worker starts and only read afterwards.
using Accounts = std::map<std::string, Account>;

// Reads accounts text from in into *accounts, setting the entry of each row's
// address. name only labels the message. Returns true when the whole input
// was read cleanly (a trailing run of empty lines included). Otherwise returns
// false with *problem set to one line (no line end) naming the input, the line
// number and the fault, never a cell's content; the rows read before the fault
// are in *accounts. A row refused for its security cells removes its
// address's entry and adds one line (no line end) to *refused, when given,
// naming the input, the line and the column, never a pass phrase; reading
// goes on and such rows alone do not make the result false. A row for an
// address that an earlier row named adds one line there too, with both line
// numbers. *ips, when given, receives every row's address in file order,
// refused rows' included. Never throws. Any thread, one call per map at a
// time.
bool LoadAccountsFrom(std::istream& in, const std::string& name, Accounts* accounts,
                      std::string* problem, std::vector<std::string>* refused = nullptr,
                      std::vector<std::string>* ips = nullptr);

// Reads the accounts file at path into *accounts. A file that cannot be
// opened or read, or a malformed one, is reported as one line on standard
// error (see LoadAccountsFrom); the rows before the fault stay loaded. Each
// refused row is one more line there. A file readable by group or others is
// read all the same, after one line saying so. *ips as for LoadAccountsFrom.
// Main thread only, before any worker starts.
void LoadAccounts(const std::string& path, Accounts* accounts,
                  std::vector<std::string>* ips = nullptr);

// The account of a target, matched byte for byte; null when there is none.
// The pointer lives as long as accounts does unchanged. Never inserts: any
// number of threads may look up at once while nobody changes accounts.
const Account* FindAccount(const Accounts& accounts, const std::string& target);
