// SNMPv3 accounts per target address, read from accounts.csv.
#pragma once

#include <istream>
#include <string>

struct Account {
  std::string username;
  std::string password;
};

// Reads the accounts file at path into g_mapAccounts (see LoadAccountsFrom).
// Main thread only, before any worker starts. Always returns true.
bool LoadAccounts(const std::string& path);

// Finds the account of a target by exact byte match. Returns false and leaves
// *account untouched when there is none. Never inserts; safe from all workers
// at once once loading is over.
bool FindAccount(const std::string& target, Account* account);
