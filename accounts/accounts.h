// SNMPv3 accounts per target address, read from accounts.csv.
//
// The file: a header line naming the columns "ip", "username" and "password"
// (exactly so, once each, in any order; other columns are read past), then one
// row per address with as many cells as the header has columns. Cells are cut
// at every ',' (no quoting) and lose surrounding spaces and tabs. A UTF-8
// byte-order mark is skipped, a CR before the LF dropped, and a line may hold
// at most kMaxAccountLineBytes bytes before its LF. The first fault ends the
// reading; the rows before it stay loaded. For one address the last row wins.
#pragma once

#include <cstddef>
#include <istream>
#include <map>
#include <string>

struct Account {
  std::string username;
  std::string password;
};

constexpr size_t kMaxAccountLineBytes = 1048575;

// SNMPv3 account per target address: filled by LoadAccounts on the main
// thread before the first worker starts, only read afterwards.
extern std::map<std::string, Account> g_mapAccounts;

// Reads accounts text from in into *accounts, setting the entry of each row's
// address. name only labels the message. Returns true when the whole input
// was read cleanly (a trailing run of empty lines included). Otherwise returns
// false with *problem set to one line (no line end) naming the input, the line
// number and the fault, never a cell's content; the rows read before the fault
// are in *accounts. Never throws. Any thread, one call per map at a time.
bool LoadAccountsFrom(std::istream& in, const std::string& name, std::map<std::string, Account>* accounts,
                      std::string* problem);

// Reads the accounts file at path into g_mapAccounts. A file that cannot be
// opened or read, or a malformed one, is reported as one line on standard
// error (see LoadAccountsFrom); the rows before the fault stay loaded. Main
// thread only, before any worker starts. Always returns true.
bool LoadAccounts(const std::string& path);

// Finds the account of a target by exact byte match. Returns false and leaves
// *account untouched when there is none. Never inserts; safe from all workers
// at once once loading is over.
bool FindAccount(const std::string& target, Account* account);
