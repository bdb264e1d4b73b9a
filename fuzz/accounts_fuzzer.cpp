// Feeds arbitrary bytes to the accounts reader as an accounts.csv, then looks
// every loaded address up the way the scan jobs do.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "fuzz/fuzz_check.h"

namespace {

bool IsCellClean(const std::string& cell) {
  if (cell.find_first_of(std::string(",\n\0", 3)) != std::string::npos) return false;
  if (!cell.empty() &&
      (cell.front() == ' ' || cell.front() == '\t' || cell.back() == ' ' || cell.back() == '\t'))
    return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Accounts accounts;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::string problem;
  std::vector<std::string> refused;
  bool ok = LoadAccountsFrom(in, "fuzz.csv", &accounts, &problem, &refused);
  // A refused row names its line and column, never a cell.
  for (const auto& line : refused) {
    for (char c : line) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
    FUZZ_CHECK(line.rfind("mibscan: accounts file \"fuzz.csv\", line ", 0) == 0);
    // Refused, or a repeated ip (the later row counts).
    FUZZ_CHECK(line.find("; this row is not used") != std::string::npos ||
               line.find(" again; the later row counts") != std::string::npos);
  }

  FUZZ_CHECK(ok == problem.empty());
  // The message names the fault, never a cell: only our own printable ASCII.
  for (char c : problem) FUZZ_CHECK(c >= 0x20 && c < 0x7F);
  FUZZ_CHECK(problem.empty() || problem.rfind("mibscan: accounts file \"fuzz.csv\"", 0) == 0);
  // A cell never holds more than its own line.
  FUZZ_CHECK(accounts.size() <= size / 3);

  const size_t loaded = accounts.size();
  for (const auto& [ip, account] : accounts) {
    FUZZ_CHECK(IsCellClean(ip));
    FUZZ_CHECK(IsCellClean(account.username));
    FUZZ_CHECK(IsCellClean(account.password));
    FUZZ_CHECK(IsCellClean(account.priv_password));
    // Privacy exactly with a privacy pass phrase the key derivation accepts.
    FUZZ_CHECK((account.priv_protocol == PrivProtocol::kNone) == account.priv_password.empty());
    FUZZ_CHECK(account.priv_password.empty() ||
               account.priv_password.size() >= kMinPassPhraseBytes);
    const Account* found = FindAccount(accounts, ip);
    FUZZ_CHECK(found == &account);
    if (!accounts.count(ip + "\n")) FUZZ_CHECK(FindAccount(accounts, ip + "\n") == nullptr);
  }
  FUZZ_CHECK(accounts.size() == loaded);
  return 0;
}
