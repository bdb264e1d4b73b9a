#include "accounts/accounts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

#include "accounts/accounts.h"
#include "support/test_util.h"

namespace {

const char kSecret[] = "S3cret-phrase";  // every malformed row carries it; no message may

struct Loaded {
  bool ok = false;
  Accounts accounts;
  std::string problem;
};

Loaded Load(const std::string& text) {
  Loaded r;
  std::istringstream in(text);
  r.ok = LoadAccountsFrom(in, "mem.csv", &r.accounts, &r.problem);
  return r;
}

std::string Row(const std::string& ip, const std::string& user, const std::string& password) {
  return ip + "," + user + "," + password + "\n";
}

// A row of exactly `bytes` bytes before its LF, its password padded out.
std::string RowOfLength(const std::string& ip, size_t bytes) {
  std::string head = ip + ",long,";
  return head + std::string(bytes - head.size(), 'p');
}

const std::string kHeader = "ip,username,password\n";
const std::string kRow1 = Row("10.0.0.1", "u1", "p1");
const std::string kRow2 = Row("10.0.0.2", "u2", "p2");
const std::string kRow3 = Row("10.0.0.3", "u3", "p3");
const Accounts kFirstTwo = {{"10.0.0.1", {"u1", "p1"}}, {"10.0.0.2", {"u2", "p2"}}};
const Accounts kAllThree = {
    {"10.0.0.1", {"u1", "p1"}}, {"10.0.0.2", {"u2", "p2"}}, {"10.0.0.3", {"u3", "p3"}}};

TEST(Accounts, FileRulesTable) {
  const size_t kMax = kMaxAccountLineBytes;
  struct Case {
    const char* name;
    std::string text;
    Accounts expected;
    std::string problem;  // "" when the input is clean; else the part after the file name
  };
  const Case cases[] = {
      {"columns reordered plus an extra column",
       "password, ip ,username,comment\np1,10.0.0.1,u1,note\n",
       {{"10.0.0.1", {"u1", "p1"}}},
       ""},
      {"extra column makes three cells too few",
       "ip,username,password,comment\n10.0.0.1,u1," + std::string(kSecret) + "\n",
       {},
       ", line 2: fewer cells than the header has columns; this line and the rest of the file are "
       "ignored"},
      {"ip in capitals is a missing column",
       "IP,username,password\n" + kRow1,
       {},
       ", line 1: the header has no column \"ip\"; no accounts loaded"},
      {"password column missing",
       "ip,username\n10.0.0.1,u1\n",
       {},
       ", line 1: the header has no column \"password\"; no accounts loaded"},
      {"column named twice",
       "ip,username,password,ip\n10.0.0.1,u1," + std::string(kSecret) + ",10.0.0.1\n",
       {},
       ", line 1: the header names the column \"ip\" twice; no accounts loaded"},
      {"empty first line",
       "\n" + kHeader + kRow1,
       {},
       ", line 1: the header has no column \"ip\"; no accounts loaded"},
      {"empty file", "", {}, ": empty, the header line is missing; no accounts loaded"},
      {"byte-order mark alone",
       "\xEF\xBB\xBF",
       {},
       ": empty, the header line is missing; no accounts loaded"},
      {"cells trimmed, inner blanks kept",
       kHeader + " \t10.0.0.1 ,\tmy user\t , pass phrase 1  \n",
       {{"10.0.0.1", {"my user", "pass phrase 1"}}},
       ""},
      {"quotes are ordinary characters",
       kHeader + "\"10.0.0.1\",\"u1\",\"p\"\"1\"\n",
       {{"\"10.0.0.1\"", {"\"u1\"", "\"p\"\"1\""}}},
       ""},
      {"a quoted comma still splits",
       kHeader + "10.0.0.1,u1,\"a," + kSecret + "\"\n",
       {},
       ", line 2: more cells than the header has columns; this line and the rest of the file are "
       "ignored"},
      {"last row for an address wins",
       kHeader + kRow1 + Row("10.0.0.1", "second", "p2"),
       {{"10.0.0.1", {"second", "p2"}}},
       ""},
      {"empty line in the middle", kHeader + kRow1 + kRow2 + "\n" + kRow3, kFirstTwo,
       ", line 4: empty line; this line and the rest of the file are ignored"},
      {"CR-only line in the middle", kHeader + kRow1 + kRow2 + "\r\n" + kRow3, kFirstTwo,
       ", line 4: empty line; this line and the rest of the file are ignored"},
      {"empty line at the end", kHeader + kRow1 + kRow2 + kRow3 + "\n", kAllThree, ""},
      {"several empty lines at the end", kHeader + kRow1 + kRow2 + kRow3 + "\n\r\n\n", kAllThree,
       ""},
      {"blank-looking line is a row", kHeader + kRow1 + kRow2 + " \t\n", kFirstTwo,
       ", line 4: fewer cells than the header has columns; this line and the rest of the file are "
       "ignored"},
      {"byte-order mark skipped",
       "\xEF\xBB\xBF" + kHeader + kRow1,
       {{"10.0.0.1", {"u1", "p1"}}},
       ""},
      {"CR-LF line ends", "ip,username,password\r\n10.0.0.1,u1,p1\r\n10.0.0.2,u2,p2\r\n", kFirstTwo,
       ""},
      {"no LF after the last row", kHeader + kRow1 + "10.0.0.2,u2,p2", kFirstTwo, ""},
      {"CR without LF after the last row", kHeader + kRow1 + "10.0.0.2,u2,p2\r", kFirstTwo, ""},
      {"empty password", kHeader + "10.0.0.1,u1,\n", {{"10.0.0.1", {"u1", ""}}}, ""},
      {"bytes kept as they are",
       kHeader + "10.0.0.1,\xE3\x83\xA6\xFF,\x80\x01p\n",
       {{"10.0.0.1", {"\xE3\x83\xA6\xFF", "\x80\x01p"}}},
       ""},
      {"row with too many cells",
       kHeader + kRow1 + "10.0.0.2,u2," + kSecret + ",x\n" + kRow3,
       {{"10.0.0.1", {"u1", "p1"}}},
       ", line 3: more cells than the header has columns; this line and the rest of the file are "
       "ignored"},
      {"row with too few cells",
       kHeader + kRow1 + "10.0.0.2," + kSecret + "\n" + kRow3,
       {{"10.0.0.1", {"u1", "p1"}}},
       ", line 3: fewer cells than the header has columns; this line and the rest of the file are "
       "ignored"},
      {"line of exactly the limit",
       kHeader + kRow1 + RowOfLength("10.0.0.2", kMax) + "\n" + kRow3,
       {{"10.0.0.1", {"u1", "p1"}},
        {"10.0.0.2", {"long", std::string(kMax - 14, 'p')}},
        {"10.0.0.3", {"u3", "p3"}}},
       ""},
      {"line of exactly the limit, CR-LF",
       kHeader + RowOfLength("10.0.0.2", kMax - 1) + "\r\n",
       {{"10.0.0.2", {"long", std::string(kMax - 15, 'p')}}},
       ""},
      {"last line of exactly the limit, no LF",
       kHeader + RowOfLength("10.0.0.2", kMax),
       {{"10.0.0.2", {"long", std::string(kMax - 14, 'p')}}},
       ""},
      {"line one byte over the limit",
       kHeader + kRow1 + RowOfLength("10.0.0.2", kMax + 1) + "\n" + kRow3,
       {{"10.0.0.1", {"u1", "p1"}}},
       ", line 3: longer than 1048575 bytes; this line and the rest of the file are ignored"},
      {"CR counts towards the limit",
       kHeader + kRow1 + RowOfLength("10.0.0.2", kMax) + "\r\n",
       {{"10.0.0.1", {"u1", "p1"}}},
       ", line 3: longer than 1048575 bytes; this line and the rest of the file are ignored"},
      {"over-long last line without LF",
       kHeader + kRow1 + RowOfLength("10.0.0.2", 3 * kMax),
       {{"10.0.0.1", {"u1", "p1"}}},
       ", line 3: longer than 1048575 bytes; this line and the rest of the file are ignored"},
      {"over-long header",
       "ip,username,password," + std::string(kMax, 'x') + "\n" + kRow1,
       {},
       ", line 1: longer than 1048575 bytes; no accounts loaded"},
      {"byte-order mark not counted in the header's length",
       "\xEF\xBB\xBFip,username,password," + std::string(kMax - 21, 'x') + "\n10.0.0.1,u1,p1,c\n",
       {{"10.0.0.1", {"u1", "p1"}}},
       ""},
      {"empty line, then an over-long line",
       kHeader + kRow1 + "\n" + std::string(kMax + 1, 'x'),
       {{"10.0.0.1", {"u1", "p1"}}},
       ", line 3: empty line; this line and the rest of the file are ignored"},
  };
  for (const auto& c : cases) {
    Loaded r = Load(c.text);
    EXPECT_EQ(r.ok, c.problem.empty()) << c.name;
    EXPECT_EQ(r.accounts.size(), c.expected.size()) << c.name;
    for (const auto& [ip, account] : c.expected) {
      auto it = r.accounts.find(ip);
      ASSERT_NE(it, r.accounts.end()) << c.name << ": " << ip;
      EXPECT_EQ(it->second.username, account.username) << c.name;
      EXPECT_EQ(it->second.password, account.password) << c.name;
    }
    if (c.problem.empty()) {
      EXPECT_EQ(r.problem, "") << c.name;
    } else {
      EXPECT_EQ(r.problem, "mibscan: accounts file \"mem.csv\"" + c.problem) << c.name;
    }
    EXPECT_EQ(r.problem.find(kSecret), std::string::npos) << c.name;
    EXPECT_EQ(r.problem.find('\n'), std::string::npos) << c.name;
  }
}

// Inputs past the reader's first 32 MiB take its refill path: lines across
// the boundaries must arrive whole, and the line count must stay right.
TEST(Accounts, LargeInputAcrossReadBoundaries) {
  const std::string fat(997, 'f');  // odd so that rows straddle every boundary
  std::string text = kHeader;
  int rows = 0;
  while (text.size() < (40u << 20)) {
    text += Row("h" + std::to_string(rows), "u", fat);
    ++rows;
  }
  Loaded clean = Load(text);
  EXPECT_TRUE(clean.ok) << clean.problem;
  EXPECT_EQ(clean.accounts.size(), static_cast<size_t>(rows));
  EXPECT_EQ(clean.accounts["h" + std::to_string(rows - 1)].password, fat);

  text += std::string(kMaxAccountLineBytes + 1, 'x') + "\n" + kRow1;
  Loaded cut = Load(text);
  EXPECT_FALSE(cut.ok);
  EXPECT_EQ(cut.accounts.size(), static_cast<size_t>(rows));
  EXPECT_EQ(cut.accounts.count("10.0.0.1"), 0u);
  EXPECT_NE(cut.problem.find(", line " + std::to_string(rows + 2) + ": longer than"),
            std::string::npos)
      << cut.problem;
}

// The security columns: any order, protocol names in any case, a row that
// would be weaker than it says refused on its own while the rest is read.
TEST(Accounts, SecurityColumnsTable) {
  const std::string kHeader6 = "ip,username,password,authprotocol,privprotocol,privpassword\n";
  const std::string kPriv = std::string(kSecret) + "-priv";
  struct Expected {
    AuthProtocol auth;
    PrivProtocol priv;
    std::string priv_password;
  };
  struct Case {
    const char* name;
    std::string text;
    std::map<std::string, Expected> expected;  // by address
    std::vector<std::string> refused;          // after the file name
  };
  const Expected md5{AuthProtocol::kMd5, PrivProtocol::kNone, ""};
  const Case cases[] = {
      {"no security columns: MD5 without privacy", kHeader + kRow1, {{"10.0.0.1", md5}}, {}},
      {"empty security cells: MD5 without privacy",
       kHeader6 + "10.0.0.1,u1,p1,,,\n",
       {{"10.0.0.1", md5}},
       {}},
      {"every protocol name, any case, columns in any order",
       "privpassword,privprotocol,ip,authprotocol,username,password\n" + kPriv +
           ",des,10.0.0.1,md5,u,p\n" + kPriv + ",Aes,10.0.0.2,sha,u,p\n" + kPriv +
           ",AES-192,10.0.0.3,Sha-224,u,p\n" + kPriv + ",aes-256,10.0.0.4,SHA-256,u,p\n" + kPriv +
           ",aes-192c,10.0.0.5,sha-384,u,p\n" + kPriv +
           ",AES-256C,10.0.0.6,SHA-512,u,p\n,,10.0.0.7,SHA-512,u,p\n",
       {{"10.0.0.1", {AuthProtocol::kMd5, PrivProtocol::kDes, kPriv}},
        {"10.0.0.2", {AuthProtocol::kSha, PrivProtocol::kAes, kPriv}},
        {"10.0.0.3", {AuthProtocol::kSha224, PrivProtocol::kAes192, kPriv}},
        {"10.0.0.4", {AuthProtocol::kSha256, PrivProtocol::kAes256, kPriv}},
        {"10.0.0.5", {AuthProtocol::kSha384, PrivProtocol::kAes192Cisco, kPriv}},
        {"10.0.0.6", {AuthProtocol::kSha512, PrivProtocol::kAes256Cisco, kPriv}},
        {"10.0.0.7", {AuthProtocol::kSha512, PrivProtocol::kNone, ""}}},
       {}},
      {"only some of the columns",
       "ip,username,password,privprotocol,privpassword\n10.0.0.1,u,p,AES," + kPriv + "\n",
       {{"10.0.0.1", {AuthProtocol::kMd5, PrivProtocol::kAes, kPriv}}},
       {}},
      {"refused rows, the others still read",
       kHeader6 + "10.0.0.1,u,p,SHA-1024,AES," + kPriv + "\n" + "10.0.0.2,u,p,SHA,AES-512," +
           kPriv + "\n" + "10.0.0.3,u,p,SHA,AES,\n" + "10.0.0.4,u,p,SHA,," + kPriv + "\n" +
           "10.0.0.5,u,p,SHA,DES,1234567\n" + "10.0.0.6,,,SHA,AES," + kPriv + "\n" +
           "10.0.0.7,u,p,SHA,DES,12345678\n",
       {{"10.0.0.7", {AuthProtocol::kSha, PrivProtocol::kDes, "12345678"}}},
       {", line 2: column \"authprotocol\": unknown authentication protocol (known: MD5, SHA, "
        "SHA-224, SHA-256, "
        "SHA-384, SHA-512); this row is not used",
        ", line 3: column \"privprotocol\": unknown privacy protocol (known: DES, AES, AES-192, "
        "AES-256, AES-192C, "
        "AES-256C); this row is not used",
        ", line 4: column \"privpassword\": a privacy protocol needs a privacy pass phrase; this "
        "row is not used",
        ", line 5: column \"privprotocol\": a privacy pass phrase needs a privacy protocol; this "
        "row is not used",
        ", line 6: column \"privpassword\": the privacy pass phrase is shorter than 8 bytes; this "
        "row is not used",
        ", line 7: column \"username\": security protocols need a user name; this row is not "
        "used"}},
      {"a refused row takes the address's account away",
       kHeader6 + "10.0.0.1,u,p,,,\n10.0.0.1,u,p,SHA,AES,short\n",
       {},
       {", line 3: the ip of line 2 again; the later row counts",
        ", line 3: column \"privpassword\": the privacy pass phrase is shorter than 8 bytes; this "
        "row is not used"}},
      {"a later good row for the address counts again",
       kHeader6 + "10.0.0.1,u,p,MD4,,\n10.0.0.1,u,p,SHA,,\n",
       {{"10.0.0.1", {AuthProtocol::kSha, PrivProtocol::kNone, ""}}},
       {", line 2: column \"authprotocol\": unknown authentication protocol (known: MD5, SHA, "
        "SHA-224, SHA-256, "
        "SHA-384, SHA-512); this row is not used",
        ", line 3: the ip of line 2 again; the later row counts"}},
      {"every repeat names the row before it",
       kHeader6 + "10.0.0.1,u,p,,,\n10.0.0.2,u,p,,,\n10.0.0.1,u,p,SHA,,\n10.0.0.1,u,p,SHA-256,,\n",
       {{"10.0.0.1", {AuthProtocol::kSha256, PrivProtocol::kNone, ""}},
        {"10.0.0.2", {AuthProtocol::kMd5, PrivProtocol::kNone, ""}}},
       {", line 4: the ip of line 2 again; the later row counts",
        ", line 5: the ip of line 4 again; the later row counts"}},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.text);
    Accounts accounts;
    std::string problem;
    std::vector<std::string> refused;
    EXPECT_TRUE(LoadAccountsFrom(in, "mem.csv", &accounts, &problem, &refused))
        << c.name << ": " << problem;
    EXPECT_EQ(accounts.size(), c.expected.size()) << c.name;
    for (const auto& [ip, e] : c.expected) {
      auto it = accounts.find(ip);
      ASSERT_NE(it, accounts.end()) << c.name << ": " << ip;
      EXPECT_EQ(it->second.auth_protocol, e.auth) << c.name << ": " << ip;
      EXPECT_EQ(it->second.priv_protocol, e.priv) << c.name << ": " << ip;
      EXPECT_EQ(it->second.priv_password, e.priv_password) << c.name << ": " << ip;
    }
    std::vector<std::string> expected_refused;
    for (const auto& r : c.refused)
      expected_refused.push_back("mibscan: accounts file \"mem.csv\"" + r);
    EXPECT_EQ(refused, expected_refused) << c.name;
    for (const auto& r : refused) EXPECT_EQ(r.find(kSecret), std::string::npos) << c.name;
  }
}

class AccountsLoadTest : public ::testing::Test {
 protected:
  Accounts accounts_;
};

TEST_F(AccountsLoadTest, FindAccountMatchesExactBytesOnly) {
  std::string problem;
  std::istringstream in(kHeader + Row("10.0.0.1", "u1", "p1") + Row("Router-A", "ua", "pa") +
                        "10.0.0.9,u9,\n");
  ASSERT_TRUE(LoadAccountsFrom(in, "mem.csv", &accounts_, &problem)) << problem;

  const Account* a = FindAccount(accounts_, "10.0.0.1");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->username, "u1");
  EXPECT_EQ(a->password, "p1");
  a = FindAccount(accounts_, "10.0.0.9");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->username, "u9");
  EXPECT_EQ(a->password, "");

  for (const char* miss : {"10.0.0.01", "010.0.0.1", " 10.0.0.1", "10.0.0.1 ", "10.0.0.",
                           "10.0.0.10", "router-a", "ROUTER-A", ""})
    EXPECT_EQ(FindAccount(accounts_, miss), nullptr) << miss;
  EXPECT_EQ(accounts_.size(), 3u);  // misses inserted nothing
}

TEST_F(AccountsLoadTest, FindAccountFromManyThreadsAtOnce) {
  std::string text = kHeader;
  for (int i = 0; i < 200; ++i)
    text += Row("10.1.0." + std::to_string(i), "u" + std::to_string(i), "p");
  std::istringstream in(text);
  std::string problem;
  ASSERT_TRUE(LoadAccountsFrom(in, "mem.csv", &accounts_, &problem)) << problem;

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong, this] {
      for (int i = 0; i < 2000; ++i) {
        int n = (i * 7 + t) % 400;  // half of them miss
        const Account* a = FindAccount(accounts_, "10.1.0." + std::to_string(n));
        if ((a != nullptr) != (n < 200) || (a && a->username != "u" + std::to_string(n))) ++wrong;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(accounts_.size(), 200u);
}

TEST_F(AccountsLoadTest, LoadAccountsReportsOneLineOnStandardError) {
  testutil::TempDir dir;
  struct Case {
    const char* name;
    std::string path;
    std::string content;  // not written when the path is to be missing
    size_t accounts;
    std::string message;  // after the quoted path; "" for none
  };
  const std::string good = dir / "good.csv";
  const std::string bad = dir / "bad.csv";
  const Case cases[] = {
      {"clean file", good, kHeader + kRow1 + kRow2 + "\n", 2, ""},
      {"malformed row", bad, kHeader + kRow1 + "10.0.0.2,u2," + kSecret + ",x\n" + kRow3, 1,
       ", line 3: more cells than the header has columns; this line and the rest of the file are "
       "ignored"},
      {"missing file", dir / "none.csv", "", 0,
       ": cannot be opened (No such file or directory); no accounts loaded"},
      {"directory", dir.path(), "", 0,
       ": cannot be opened (not a regular file); no accounts loaded"},
      // A FIFO would block the read for ever.
      {"fifo", dir / "fifo.csv", "", 0,
       ": cannot be opened (not a regular file); no accounts loaded"},
  };
  ASSERT_EQ(mkfifo((dir / "fifo.csv").c_str(), 0600), 0);
  for (const auto& c : cases) {
    accounts_.clear();
    if (!c.content.empty()) {
      testutil::WriteFile(c.path, c.content);
      chmod(c.path.c_str(), 0600);
    }
    testing::internal::CaptureStderr();
    LoadAccounts(c.path, &accounts_);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(accounts_.size(), c.accounts) << c.name;
    if (c.message.empty()) {
      EXPECT_EQ(err, "") << c.name;
    } else {
      EXPECT_EQ(err, "mibscan: accounts file \"" + c.path + "\"" + c.message + "\n") << c.name;
    }
  }
}

// A file others can read is still used, after one warning; the refused rows
// follow, one line each.
TEST_F(AccountsLoadTest, LoadAccountsWarnsAboutReadableFilesAndRefusedRows) {
  testutil::TempDir dir;
  const std::string path = dir / "accounts.csv";
  const std::string where = "mibscan: accounts file \"" + path + "\"";
  const std::string text = "ip,username,password,privprotocol,privpassword\n" +
                           kRow1.substr(0, kRow1.size() - 1) + ",,\n10.0.0.2,u2," + kSecret +
                           ",AES-512," + kSecret + "\n";
  const std::string refused = where +
                              ", line 3: column \"privprotocol\": unknown privacy protocol (known: "
                              "DES, AES, AES-192, AES-256, "
                              "AES-192C, AES-256C); this row is not used\n";
  const std::string readable =
      where +
      ": readable by group or others, yet it holds pass phrases (chmod 600 makes it private)\n";
  for (mode_t mode : {0600, 0400, 0640, 0604, 0644}) {
    accounts_.clear();
    testutil::WriteFile(path, text);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    testing::internal::CaptureStderr();
    LoadAccounts(path, &accounts_);
    const std::string err = testing::internal::GetCapturedStderr();
    const bool private_file = (mode & 044) == 0;
    EXPECT_EQ(err, (private_file ? "" : readable) + refused) << std::oct << mode;
    EXPECT_EQ(accounts_.size(), 1u) << std::oct << mode;
  }
}

// The whole program: a malformed accounts.csv next to the binary is reported,
// and no pass phrase reaches the console or the log.
TEST(AccountsProgram, MalformedFileReportedWithoutPassPhrases) {
  testutil::TempDir dir;
  std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", "[Config]\nLog=1\n");
  testutil::WriteFile(dir / "accounts.csv", kHeader + "10.0.0.1,u1," + kSecret +
                                                "-1\n10.0.0.2,u2," + kSecret + "-2,extra\n");
  chmod((dir / "accounts.csv").c_str(), 0600);
  testutil::ProcessResult r = testutil::RunProcess({exe});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(
      r.err,
      "mibscan: accounts file \"" + (dir / "accounts.csv") +
          "\", line 3: more cells than the header has columns; this line and the rest of the file "
          "are ignored\n");
  EXPECT_EQ(r.out.find(kSecret), std::string::npos);
  std::string log = testutil::ReadFile(dir / "log/log.txt");
  EXPECT_EQ(log.find(kSecret), std::string::npos);
}

}  // namespace
