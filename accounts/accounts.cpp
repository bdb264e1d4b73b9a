#include "accounts/accounts.h"

#include "app/globals.h"

// PLACEHOLDER: the reader comes with the accounts issue.
bool LoadAccounts(const std::string&) { return true; }

bool FindAccount(const std::string& target, Account* account) {
  auto it = g_mapAccounts.find(target);
  if (it == g_mapAccounts.end()) return false;
  *account = it->second;
  return true;
}
