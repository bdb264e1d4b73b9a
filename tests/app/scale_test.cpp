// Many targets at once through the real binary, worker threads refused by a
// real system limit, and the stack a scan worker really uses.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "app/run_driver.h"
#include "app/startup.h"
#include "log/log.h"
#include "output/parsed_xml.h"
#include "output/result_document.h"
#include "platform/process.h"
#include "platform/text_encoding.h"
#include "scan/scan_settings.h"
#include "scan/snmp_setup.h"
#include "support/snmpd_fixture.h"
#include "support/test_util.h"

namespace {

using testutil::LoopbackAddresses;
using testutil::SnmpdFixture;
using testutil::SnmpdOptions;

const char kCommunity[] = "mibscan-scale";
const char kRefusalText[] = "mibscan: the system refused a new scan thread";

// The system group without sysUpTime, whose value changes from answer to
// answer: every target of one agent then yields the very same rows, and a
// walk is a few dozen requests.
std::vector<std::string> SystemGroupView() {
  return {"view scaleview included .1.3.6.1.2.1.1",
          "view scaleview excluded .1.3.6.1.2.1.1.3",
          std::string("rocommunity ") + kCommunity + " 127.0.0.0/8 -V scaleview",
          "sysContact scale-contact",
          "sysLocation scale-location",
          "sysName scale-name"};
}

using Rows = std::map<std::string, std::pair<std::string, std::string>>;  // OID -> (VER, VALUE)

// The rows of a result file; false with the reason when it is missing or not
// the expected document.
bool ReadRows(const std::string& path, Rows* rows, std::string* error) {
  if (!testutil::FileExists(path)) {
    *error = "missing";
    return false;
  }
  testxml::Element root;
  if (!testxml::Parse(testutil::ReadFile(path), &root, error)) return false;
  if (root.name != "RESULTS") {
    *error = "root element " + root.name;
    return false;
  }
  rows->clear();
  for (const auto& result : root.children) {
    std::string oid, ver, value;
    for (const auto& field : result.children) {
      if (field.name == "OID") {
        oid = field.text;
        auto v = field.attrs.find("VER");
        if (v != field.attrs.end()) ver = v->second;
      } else if (field.name == "VALUE") {
        value = field.text;
      }
    }
    (*rows)[oid] = {ver, value};
  }
  return true;
}

// The OIDs snmpwalk finds under mib-2 and enterprises over SNMPv1, without
// the leading dot.
std::vector<std::string> SnmpwalkOids(const std::string& target) {
  std::vector<std::string> oids;
  for (const char* root : {"1.3.6.1.2.1", "1.3.6.1.4.1"}) {
    auto r = testutil::RunSnmpTool(
        "snmpwalk", {"-v1", "-c", kCommunity, "-On", "-t", "5", "-r", "1", target, root});
    size_t pos = 0;
    while (pos < r.out.size()) {
      size_t end = r.out.find('\n', pos);
      if (end == std::string::npos) end = r.out.size();
      std::string line = r.out.substr(pos, end - pos);
      size_t eq = line.find(" = ");
      if (!line.empty() && line[0] == '.' && eq != std::string::npos)
        oids.push_back(line.substr(1, eq - 1));
      pos = end + 1;
    }
  }
  std::sort(oids.begin(), oids.end());
  return oids;
}

std::vector<std::string> Keys(const Rows& rows) {
  std::vector<std::string> keys;
  for (const auto& [oid, row] : rows) keys.push_back(oid);
  return keys;  // a std::map: sorted
}

// Every target has its result file, holding exactly the rows of the first
// one, whose OIDs are those that snmpwalk finds.
void ExpectSameRowsForEveryTarget(const std::string& dir, const std::vector<std::string>& targets) {
  ASSERT_FALSE(targets.empty());
  Rows reference;
  std::string error;
  ASSERT_TRUE(ReadRows(dir + "/" + targets[0] + ".xml", &reference, &error))
      << targets[0] << ": " << error;
  const std::vector<std::string> expected_oids = SnmpwalkOids(targets[0]);
  ASSERT_FALSE(expected_oids.empty());
  EXPECT_EQ(Keys(reference), expected_oids);
  size_t faults = 0;
  for (const auto& target : targets) {
    Rows rows;
    if (!ReadRows(dir + "/" + target + ".xml", &rows, &error)) {
      ADD_FAILURE() << target << ": " << error;
    } else if (rows != reference) {
      ADD_FAILURE() << target << ": " << rows.size() << " rows, not the " << reference.size()
                    << " of " << targets[0];
    } else {
      continue;
    }
    if (++faults == 10) FAIL() << "giving up after 10 faulty targets";
  }
}

std::string ConfigIni() {
  // Thousands of requests queue at one agent: a try must wait long enough.
  return std::string("[Config]\nTimeout=5000000\nRetry=2\nCommunity=") + kCommunity + "\n";
}

TEST(ScaleTest, ThousandsOfTargetsEachGetTheirResultFile) {
  const size_t kTargets = 2000;
  // The agent listens on one socket per address; the scanner raises its own
  // limit, the agent inherits ours.
  platform::RaiseOpenFileLimit();
  SnmpdFixture agent;
  SnmpdOptions options;
  options.addresses = LoopbackAddresses(kTargets);
  options.config_lines = SystemGroupView();
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;

  testutil::TempDir dir;
  std::string exe = testutil::InstallBinary(dir.path());
  testutil::WriteFile(dir / "config.ini", ConfigIni());
  std::vector<std::string> argv = {exe};
  std::vector<std::string> targets;
  for (size_t i = 0; i < kTargets; ++i) targets.push_back(agent.Target(i));
  argv.insert(argv.end(), targets.begin(), targets.end());

  auto r = testutil::RunProcess(argv, 240);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(testutil::CountOf(r.out, "output: "), kTargets);
  EXPECT_EQ(testutil::CountOf(r.out, "output error"), 0u);
  // No try timed out and no worker was refused: the closing summary alone.
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("mibscan: 2,000 targets in [0-9.]+ s: 2,000 answered \\(v1 2,000\\); "
                        "[0-9,]+ rows; " +
                        dir.path() + "/summary.csv\n")))
      << r.err;
  ExpectSameRowsForEveryTarget(dir.path(), targets);
}

// The scanner runs as an otherwise unused user whose process limit leaves
// room for only a few threads: root is not bound by that limit.
TEST(ScaleTest, RefusedWorkerThreadsWaitForTheOldestAndDropNoTarget) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the scanner as a user of its own";
  const char* const kPrlimit = "/usr/bin/prlimit";
  const char* const kSetpriv = "/usr/bin/setpriv";
  ASSERT_EQ(access(kPrlimit, X_OK), 0) << kPrlimit;
  ASSERT_EQ(access(kSetpriv, X_OK), 0) << kSetpriv;

  SnmpdFixture agent;
  SnmpdOptions options;
  options.addresses = LoopbackAddresses(24, 2200);
  options.config_lines = SystemGroupView();
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;
  std::vector<std::string> targets;
  for (size_t i = 0; i < options.addresses.size(); ++i) targets.push_back(agent.Target(i));

  // Distinct per test process, so that parallel runs do not share the count.
  const unsigned uid = 200000 + static_cast<unsigned>(getpid()) % 100000;
  struct Case {
    const char* name;
    int max_tasks;  // the main thread and the log writer count as well
  };
  const Case cases[] = {
      {"no thread besides the main one", 1},
      {"the log writer but no worker", 2},
      {"three workers at a time", 5},
  };
  for (const auto& c : cases) {
    testutil::TempDir dir;
    std::string exe = testutil::InstallBinary(dir.path());
    testutil::WriteFile(dir / "config.ini", ConfigIni() + "Log=1\n");
    ASSERT_EQ(chown(dir.path().c_str(), uid, uid), 0) << c.name;
    std::vector<std::string> argv = {kPrlimit,
                                     "--nproc=" + std::to_string(c.max_tasks),
                                     "--",
                                     kSetpriv,
                                     "--reuid=" + std::to_string(uid),
                                     "--regid=" + std::to_string(uid),
                                     "--clear-groups",
                                     exe};
    argv.insert(argv.end(), targets.begin(), targets.end());

    std::vector<std::string> env;
#ifdef MIBSCAN_SANITIZED
    // The leak checker needs a thread of its own at exit, which the limit refuses.
    env.push_back("ASAN_OPTIONS=detect_leaks=0:abort_on_error=1");
#endif
    auto r = testutil::RunProcess(argv, 120, env);
    ASSERT_FALSE(r.timed_out) << c.name;
    EXPECT_EQ(r.exit_code, 0) << c.name << "\n" << r.err;
    EXPECT_EQ(testutil::CountOf(r.err, kRefusalText), 1u) << c.name << "\n" << r.err;
    EXPECT_EQ(testutil::CountOf(r.err, "Timeout"), 0u) << c.name << "\n" << r.err;
    EXPECT_EQ(testutil::CountOf(r.out, "output: "), targets.size()) << c.name;
    // The log of every job is complete, whichever thread ran it.
    std::string log = testutil::ReadFile(dir / "log/log.txt");
    EXPECT_EQ(testutil::CountOf(log, "|end\n"), targets.size()) << c.name;
    ExpectSameRowsForEveryTarget(dir.path(), targets);
  }
}

// Runs proc(arg) on a thread whose stack (stack_size bytes, the thread's TLS
// included) is filled with a pattern first, and returns how many bytes of it
// were written, counted from the top.
size_t StackHighWater(unsigned (*proc)(void*), void* arg, size_t stack_size) {
  constexpr unsigned char kPattern = 0xA5;
  void* stack =
      mmap(nullptr, stack_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED) return SIZE_MAX;
  memset(stack, kPattern, stack_size);
  struct Call {
    unsigned (*proc)(void*);
    void* arg;
  } call{proc, arg};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, stack, stack_size);
  pthread_t thread;
  const int rc = pthread_create(
      &thread, &attr,
      [](void* p) -> void* {
        auto* c = static_cast<Call*>(p);
        c->proc(c->arg);
        return nullptr;
      },
      &call);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    munmap(stack, stack_size);
    return SIZE_MAX;
  }
  pthread_join(thread, nullptr);
  const auto* bytes = static_cast<const unsigned char*>(stack);
  size_t untouched = 0;
  while (untouched < stack_size && bytes[untouched] == kPattern) ++untouched;
  munmap(stack, stack_size);
  return stack_size - untouched;
}

// The deepest stack a scan job reaches, over the plans and the failure paths,
// must leave three quarters of the worker's stack free: room for what cannot
// be measured here, such as name resolution over DNS.
// What a scan worker does, as a thread procedure.
struct WorkerRun {
  const std::string* target;
  const Account* account;  // null: none
  const ScanSettings* settings;
  std::string path;  // of the result file
  TargetResult result;
};
unsigned RunWorker(void* param) {
  auto* run = static_cast<WorkerRun*>(param);
  run->result = ScanAndSave(*run->target, run->account, *run->settings, run->path);
  return 0;
}

TEST(ScaleTest, ScanWorkerUsesLessThanAQuarterOfItsStack) {
  ScanSettings settings;
#ifdef MIBSCAN_SANITIZED
  GTEST_SKIP() << "the sanitizers' frames say nothing about the plain build's stack";
#endif
  ASSERT_TRUE(platform::InitTextEncoding());
  ASSERT_TRUE(StartupLibraries());
  InitSnmpLibrary();

  // Full stable MIB (every value type snmpd has) over v1 and v2c; an SNMPv3
  // user with authentication.
  SnmpdFixture agent;
  SnmpdOptions options;
  options.config_lines = {std::string("rocommunity ") + kCommunity + " 127.0.0.1",
                          "createUser scaleuser MD5 \"scale-pass-phrase\"",
                          "rouser scaleuser auth"};
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;
  const int closed_port = testutil::FindFreeUdpPort({"127.0.0.1"});
  ASSERT_NE(closed_port, 0);

  struct Case {
    const char* name;
    std::string target;
    bool account;
    std::vector<std::string> oids;
    int timeout_us;
    bool expect_rows;
  };
  const std::string live = agent.Target();
  const Case cases[] = {
      {"default walks, every value type", live, false, {}, 3000000, true},
      {"SNMPv3 walks with an account", live, true, {}, 3000000, true},
      {"configured gets, found and missing",
       live,
       false,
       {"1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.99.0"},
       3000000,
       true},
      // The name is resolved through the system's name service (the hosts file);
      // left out, with a message, where "localhost" has no IPv4 address.
      {"host name target",
       "localhost:" + std::to_string(agent.port()),
       false,
       {"1.3.6.1.2.1.1.5.0"},
       3000000,
       true},
      {"silent target, every version times out",
       "127.0.0.1:" + std::to_string(closed_port),
       false,
       {},
       50000,
       false},
      {"session that cannot open",
       "tcp:127.0.0.1:" + std::to_string(closed_port),
       false,
       {},
       50000,
       false},
  };
  testutil::TempDir dir;
  size_t deepest = 0;
  for (const auto& c : cases) {
    if (c.target.starts_with("localhost:") && !testutil::LocalhostResolves()) {
      std::cout << c.name
                << ": skipped, \"localhost\" does not resolve to an IPv4 address on this machine\n";
      continue;
    }
    LogSettings log;
    log.enabled = true;
    log.dir = dir / "log";
    log.direct = true;  // the worker writes its own log lines, as with one target
    std::filesystem::create_directories(log.dir);
    UseLogSettings(log);
    settings.community = kCommunity;
    settings.timeout_us = c.timeout_us;
    settings.retries = 0;
    settings.oids = c.oids;
    const Account account{"scaleuser", "scale-pass-phrase"};
    WorkerRun job{&c.target, c.account ? &account : nullptr, &settings,
                  ResultFilePath(dir.path(), c.target, ""), {}};

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const size_t used = StackHighWater(RunWorker, &job, size_t{8} << 20);
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();

    ASSERT_NE(used, SIZE_MAX) << c.name;
    EXPECT_NE(out.find("output: "), std::string::npos) << c.name << "\n" << out;
    if (c.expect_rows) {
      EXPECT_GT(job.result.row.rows, 0u) << c.name;
    }
    EXPECT_LE(used * 4, kWorkerStackSize) << c.name << ": " << used << " bytes";
    std::cout << c.name << ": " << used << " bytes of stack\n";
    deepest = std::max(deepest, used);
  }
  std::cout << "deepest: " << deepest << " bytes; worker stack " << kWorkerStackSize << " bytes\n";
  UseLogSettings(LogSettings{});
}

}  // namespace
