// MIB names: the built-in table of the standard MIBs, the operator's MIB
// folders read through Net-SNMP's parser, and how the two are merged. Names
// of the modules Net-SNMP's tools also know are compared with snmptranslate.
#include "scan/mib_names.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "scan/mib_tree.h"
#include "scan/snmp_setup.h"
#include "support/test_util.h"

namespace {

std::string NameOf(const MibNames& names, const std::string& oid) {
  std::string out;
  if (!names.Name(oid, &out)) return "<none>";
  return out;
}

TEST(StandardMibNamesTest, NamesTheDeepestKnownObjectWithTheNumericRest) {
  const MibNames names;
  const struct {
    const char* oid;
    const char* name;
  } cases[] = {
      {"1.3.6.1.2.1.1.5.0", "SNMPv2-MIB::sysName.0"},
      {"1.3.6.1.2.1.1.3.0", "SNMPv2-MIB::sysUpTime.0"},
      {"1.3.6.1.2.1.2.2.1.2.2", "IF-MIB::ifDescr.2"},
      {"1.3.6.1.2.1.2.2.1.6.2", "IF-MIB::ifPhysAddress.2"},
      {"1.3.6.1.2.1.31.1.1.1.6.1", "IF-MIB::ifHCInOctets.1"},
      {"1.3.6.1.2.1.25.1.1.0", "HOST-RESOURCES-MIB::hrSystemUptime.0"},
      {"1.3.6.1.2.1.17.1.1.0", "BRIDGE-MIB::dot1dBaseBridgeAddress.0"},
      // Objects that the old RFC texts define as well carry the current module's name.
      {"1.3.6.1.2.1.4.20.1.1.127.0.0.1", "IP-MIB::ipAdEntAddr.127.0.0.1"},
      {"1.3.6.1.2.1.6.13.1.1.0.0.0.0.22.0.0.0.0.0", "TCP-MIB::tcpConnState.0.0.0.0.22.0.0.0.0.0"},
      {"1.3.6.1.2.1.16.1.1.1.1.1", "RMON-MIB::etherStatsIndex.1"},
      {"1.3.6.1.2.1.6.99", "TCP-MIB::tcp.99"},
      // Net-SNMP's own modules, as its tools name them.
      {"1.3.6.1.4.1.2021.4.5.0", "UCD-SNMP-MIB::memTotalReal.0"},
      {"1.3.6.1.4.1.8072.1.3.2.3.1.2.4.116.101.115.116",
       "NET-SNMP-EXTEND-MIB::nsExtendOutputFull.4.116.101.115.116"},
      // Longest match: an unknown column is named by its table entry, an
      // unknown enterprise by enterprises.
      {"1.3.6.1.2.1.2.2.1.99.1", "IF-MIB::ifEntry.99.1"},
      {"1.3.6.1.4.1.99999.1.2", "SNMPv2-SMI::enterprises.99999.1.2"},
      {"1.3.6.1.2.1", "SNMPv2-SMI::mib-2"},
      {"1.3.6.1.2.1.1.5", "SNMPv2-MIB::sysName"},
      {"1", "SNMPv2-SMI::iso"},
      // Not an OID the tree can follow past its known part.
      {"1.3.6.1.2.1.1.5.x", "SNMPv2-MIB::sysName.x"},
      {"1.3.6.1.2.1.1.99999999999.0", "SNMPv2-MIB::system.99999999999.0"},
      {"1.3.6.1.2.1.1.5.0.", "SNMPv2-MIB::sysName.0."},
      {"1.3.6.1.2.1.1..5", "SNMPv2-MIB::system..5"},
      {"5.1", "<none>"},
      {"", "<none>"},
      {".1.3.6", "<none>"},
      {"01.3", "<none>"},
      {"1.03", "SNMPv2-SMI::iso.03"},
      // An instance below a scalar is named by the scalar, not by an alias
      // another module gives the instance (DISMAN-EVENT-MIB's sysUpTimeInstance).
      {"1.3.6.1.2.1.1.3.0.1", "SNMPv2-MIB::sysUpTime.0.1"},
  };
  for (const auto& c : cases) EXPECT_EQ(NameOf(names, c.oid), c.name) << c.oid;
}

TEST(StandardMibNamesTest, AppendsToWhatIsThereAndLeavesItAloneWithoutAName) {
  const MibNames names;
  std::string out = "x ";
  EXPECT_TRUE(names.Name("1.3.6.1.2.1.1.1.0", &out));
  EXPECT_EQ(out, "x SNMPv2-MIB::sysDescr.0");
  EXPECT_FALSE(names.Name("7.7", &out));
  EXPECT_EQ(out, "x SNMPv2-MIB::sysDescr.0");
}

TEST(StandardMibNamesTest, TableIsWellFormed) {
  // Children in arc order and inside the table, every named node with a module:
  // a generator fault would make look-ups miss or read out of bounds.
  const MibTreeView& t = kStandardMibTree;
  ASSERT_GT(t.node_count, 10000u);
  ASSERT_GT(t.root_count, 0u);
  size_t named = 0;
  for (size_t i = 0; i < t.node_count; ++i) {
    const MibTreeNode& n = t.nodes[i];
    ASSERT_LE(static_cast<size_t>(n.first_child) + n.child_count, t.node_count) << i;
    if (n.child_count) {
      ASSERT_GT(n.first_child, i) << i;
    }
    for (uint32_t c = 1; c < n.child_count; ++c)
      ASSERT_LT(t.nodes[n.first_child + c - 1].arc, t.nodes[n.first_child + c].arc) << i;
    ASSERT_LT(n.module, t.module_count) << i;
    if (n.label) ++named;
  }
  EXPECT_GT(named, 10000u);
}

TEST(MibTreeBuilderTest, LaterNameOfTheSameOidWinsAndStepsStayUnnamed) {
  MibTreeBuilder builder;
  builder.Add({1, 3, 6, 1, 4, 1, 7}, "A-MIB", "first");
  builder.Add({1, 3, 6, 1, 4, 1, 7, 2, 1}, "A-MIB", "leaf");
  builder.Add({1, 3, 6, 1, 4, 1, 7}, "B-MIB", "second");
  builder.Add({}, "C-MIB", "ignored");
  const MibTreeBuilder::Tree tree = builder.Build();
  const MibTreeView view = tree.View();
  auto name = [&view](std::string_view oid) {
    std::string out;
    AppendMibName(view, FindMibObject(view, oid), oid, &out);
    return out;
  };
  EXPECT_EQ(name("1.3.6.1.4.1.7.5"), "B-MIB::second.5");
  EXPECT_EQ(name("1.3.6.1.4.1.7.2.1.9"), "A-MIB::leaf.9");
  EXPECT_EQ(name("1.3.6.1.4.1.7.2.2"), "B-MIB::second.2.2");  // 7.2 is only a step
  EXPECT_EQ(name("1.3.6.1.4.1"), "");
}

// A minimal SNMPv2-SMI: the operator's vendor MIBs import from it, and
// Debian has none (the parser knows the macros itself).
const char kSmiModule[] = R"(SNMPv2-SMI DEFINITIONS ::= BEGIN
org            OBJECT IDENTIFIER ::= { iso 3 }
dod            OBJECT IDENTIFIER ::= { org 6 }
internet       OBJECT IDENTIFIER ::= { dod 1 }
mgmt           OBJECT IDENTIFIER ::= { internet 2 }
mib-2          OBJECT IDENTIFIER ::= { mgmt 1 }
private        OBJECT IDENTIFIER ::= { internet 4 }
enterprises    OBJECT IDENTIFIER ::= { private 1 }
END
)";

// Under the test's own enterprise number, and one object at a standard OID
// (sysName's) to show whose name wins.
const char kVendorModule[] = R"(TEST-VENDOR-MIB DEFINITIONS ::= BEGIN
IMPORTS
    MODULE-IDENTITY, OBJECT-TYPE, Integer32, enterprises, mib-2 FROM SNMPv2-SMI;
testVendor MODULE-IDENTITY
    LAST-UPDATED "202601010000Z"
    ORGANIZATION "mibscan tests"
    CONTACT-INFO "none"
    DESCRIPTION "A vendor module of the tests."
    ::= { enterprises 99998 }
testObjects OBJECT IDENTIFIER ::= { testVendor 1 }
testName OBJECT-TYPE
    SYNTAX OCTET STRING
    MAX-ACCESS read-only
    STATUS current
    DESCRIPTION "A scalar."
    ::= { testObjects 1 }
testTable OBJECT-TYPE
    SYNTAX SEQUENCE OF TestEntry
    MAX-ACCESS not-accessible
    STATUS current
    DESCRIPTION "A table."
    ::= { testObjects 2 }
testEntry OBJECT-TYPE
    SYNTAX TestEntry
    MAX-ACCESS not-accessible
    STATUS current
    DESCRIPTION "A row."
    INDEX { testIndex }
    ::= { testTable 1 }
TestEntry ::= SEQUENCE { testIndex Integer32, testValue Integer32 }
testIndex OBJECT-TYPE
    SYNTAX Integer32
    MAX-ACCESS read-only
    STATUS current
    DESCRIPTION "The index."
    ::= { testEntry 1 }
testValue OBJECT-TYPE
    SYNTAX Integer32
    MAX-ACCESS read-only
    STATUS current
    DESCRIPTION "A column."
    ::= { testEntry 2 }
vendorSystem OBJECT IDENTIFIER ::= { mib-2 1 }
vendorSysName OBJECT-TYPE
    SYNTAX OCTET STRING
    MAX-ACCESS read-only
    STATUS current
    DESCRIPTION "The vendor's own name for sysName."
    ::= { vendorSystem 5 }
END
)";

// The library's MIB search path and module index are process-wide and keep
// every folder once added (a run loads once): each load of these tests runs
// in a child process, which hands back its text.
std::string InChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "<no pipe>";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::string out = body();
    for (size_t done = 0; done < out.size();) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) _exit(2);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "<child failed>";
  return out;
}

struct Loaded {
  std::vector<std::string> problems;
  size_t nodes = 0;
  std::vector<std::string> names;  // one per OID asked for
};

// LoadOperatorMibs(dirs, mibs) and the names of oids, in a child process.
Loaded LoadAndName(const std::string& dirs, const std::string& mibs,
                   const std::vector<std::string>& oids) {
  const std::string text = InChild([&] {
    MibNames names;
    std::vector<std::string> problems;
    names.LoadOperatorMibs(dirs, mibs, &problems);
    std::string out = std::to_string(names.OperatorNodeCount()) + "\n";
    for (const std::string& p : problems) out += "problem: " + p + "\n";
    for (const std::string& oid : oids) out += NameOf(names, oid) + "\n";
    return out;
  });
  Loaded loaded;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line)) {
    ADD_FAILURE() << text;
    return loaded;
  }
  loaded.nodes = std::stoul(line);
  while (std::getline(in, line)) {
    if (line.rfind("problem: ", 0) == 0) {
      loaded.problems.push_back(line.substr(9));
    } else {
      loaded.names.push_back(line);
    }
  }
  EXPECT_EQ(loaded.names.size(), oids.size()) << text;
  loaded.names.resize(oids.size());
  return loaded;
}

class OperatorMibsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testutil::WriteFile(dir_ / "SNMPv2-SMI.txt", kSmiModule);
    testutil::WriteFile(dir_ / "TEST-VENDOR-MIB.txt", kVendorModule);
  }
  testutil::TempDir dir_;
};

TEST_F(OperatorMibsTest, VendorModuleNamesItsRowsAndWinsOverTheBuiltInTable) {
  const Loaded loaded = LoadAndName(
      dir_.path(), "TEST-VENDOR-MIB",
      {"1.3.6.1.4.1.99998.1.1.0", "1.3.6.1.4.1.99998.1.2.1.2.7", "1.3.6.1.4.1.99998.9",
       "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.2.2.1.2.1", "1.3.6.1.4.1.99999.1"});
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_EQ(loaded.names,
            (std::vector<std::string>{
                "TEST-VENDOR-MIB::testName.0", "TEST-VENDOR-MIB::testValue.7",
                "TEST-VENDOR-MIB::testVendor.9",
                // The operator's object where both know one; the built-in one where it is deeper.
                "TEST-VENDOR-MIB::vendorSysName.0", "SNMPv2-MIB::sysDescr.0", "IF-MIB::ifDescr.1",
                "SNMPv2-SMI::enterprises.99999.1"}));
}

TEST_F(OperatorMibsTest, VendorModuleLoadsWithoutAnSmiModuleInTheFolders) {
  testutil::TempDir vendor_only;
  testutil::WriteFile(vendor_only / "TEST-VENDOR-MIB.txt", kVendorModule);
  const Loaded loaded =
      LoadAndName(vendor_only.path(), "TEST-VENDOR-MIB", {"1.3.6.1.4.1.99998.1.2.1.2.7"});
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_EQ(loaded.names, std::vector<std::string>{"TEST-VENDOR-MIB::testValue.7"});
}

TEST_F(OperatorMibsTest, MissingFolderAndModuleAreReportedAndTheRestIsRead) {
  const Loaded loaded = LoadAndName(dir_ / "no-such-folder" + ":" + dir_.path(),
                                    " NO-SUCH-MIB , TEST-VENDOR-MIB", {"1.3.6.1.4.1.99998.1.1.0"});
  EXPECT_EQ(loaded.problems,
            (std::vector<std::string>{"MIB folder cannot be read: " + dir_ / "no-such-folder",
                                      "MIB module not found: NO-SUCH-MIB"}));
  EXPECT_EQ(loaded.names, std::vector<std::string>{"TEST-VENDOR-MIB::testName.0"});
}

TEST_F(OperatorMibsTest, NoKeysLoadNothingAndFoldersAloneLoadEveryModule) {
  const std::vector<std::string> oids = {"1.3.6.1.4.1.99998.1.1.0"};
  const Loaded none = LoadAndName("", "", oids);
  EXPECT_EQ(none.nodes, 0u);
  EXPECT_EQ(none.names, std::vector<std::string>{"SNMPv2-SMI::enterprises.99998.1.1.0"});
  const Loaded all = LoadAndName(dir_.path(), "", oids);
  EXPECT_TRUE(all.problems.empty());
  EXPECT_EQ(all.names, std::vector<std::string>{"TEST-VENDOR-MIB::testName.0"});
}

TEST_F(OperatorMibsTest, LibraryPrintsNumericOidsAgainAfterLoading) {
  // The library's messages name OIDs by its own tree: loading must not change them.
  const std::string printed = InChild([this] {
    auto print = [] {
      const oid name[] = {1, 3, 6, 1, 4, 1, 99998, 1, 1, 0};
      char buf[256];
      auto lock = LockSnmpLibrary();
      snprint_objid(buf, sizeof buf, name, sizeof name / sizeof name[0]);
      return std::string(buf);
    };
    InitSnmpLibrary();
    const std::string before = print();
    MibNames names;
    std::vector<std::string> problems;
    names.LoadOperatorMibs(dir_.path(), "ALL", &problems);
    return before + "\n" + print() + "\n" + std::to_string(names.OperatorNodeCount());
  });
  EXPECT_EQ(printed, "iso.3.6.1.4.1.99998.1.1.0\niso.3.6.1.4.1.99998.1.1.0\n" +
                         printed.substr(printed.rfind('\n') + 1));
  EXPECT_NE(printed.substr(printed.rfind('\n') + 1), "0");  // the modules were loaded
}

void TreeOids(const MibTreeView& t, size_t node, const std::string& prefix,
              std::vector<std::string>* out) {
  const MibTreeNode& n = t.nodes[node];
  const std::string oid = prefix + (prefix.empty() ? "" : ".") + std::to_string(n.arc);
  out->push_back(oid);
  for (uint32_t c = 0; c < n.child_count; ++c) TreeOids(t, n.first_child + c, oid, out);
}

TEST_F(OperatorMibsTest, HintNamesEveryOidAsALookUpDoes) {
  std::vector<std::string> nodes;
  for (size_t r = 0; r < kStandardMibTree.root_count; ++r)
    TreeOids(kStandardMibTree, r, "", &nodes);
  std::vector<std::string> oids;
  // Every node with instances in walk order, the operator's objects and
  // sysName (both trees know it) among them, and texts the tree cannot follow.
  for (const char* extra : {"1.3.6.1.4.1.99998.1.1", "1.3.6.1.4.1.99998.1.2.1.2",
                            "1.3.6.1.4.1.99998", "1.3.6.1.2.1.1.5"})
    nodes.push_back(extra);
  for (const std::string& node : nodes) {
    for (const char* instance : {"", ".0", ".1.2", ".4294967295", ".x", "0", "."})
      oids.push_back(node + instance);
  }
  const std::string differences = InChild([&] {
    MibNames names;
    std::vector<std::string> problems;
    names.LoadOperatorMibs(dir_.path(), "TEST-VENDOR-MIB", &problems);
    std::string out;
    size_t shown = 0;
    for (int order = 0; order < 2; ++order) {
      MibNameHint hint;
      for (const std::string& oid : oids) {
        std::string plain, hinted;
        const bool named = names.Name(oid, &plain);
        if ((names.Name(oid, &hinted, &hint) != named || hinted != plain) && shown++ < 10)
          out += oid + ": " + hinted + " vs " + plain + "\n";
      }
      std::reverse(oids.begin(), oids.end());
    }
    if (names.OperatorNodeCount() == 0) out += "nothing loaded\n";
    return out;
  });
  EXPECT_EQ(differences, "");
  // A hint of another MibNames is not taken.
  MibNames one, other;
  MibNameHint hint;
  std::string out;
  one.Name("1.3.6.1.2.1.1.5.0", &out, &hint);
  out.clear();
  other.Name("1.3.6.1.2.1.1.5.7", &out, &hint);
  EXPECT_EQ(out, "SNMPv2-MIB::sysName.7");
}

// Every object of the modules given, with an instance appended, named by us
// and by snmptranslate with the same search path; they must agree.
TEST_F(OperatorMibsTest, NamesAgreeWithSnmptranslate) {
  const std::string netsnmp_mibs = "/usr/share/snmp/mibs";
  if (!testutil::FileExists(netsnmp_mibs + "/NET-SNMP-MIB.txt"))
    GTEST_SKIP() << "libsnmp-base's MIBs are not installed";
  // The OIDs of every object snmptranslate knows (-Tz: "label" "oid" per line),
  // each with an instance.
  testutil::ProcessResult listed =
      testutil::RunProcess({"/usr/bin/snmptranslate", "-M", "+" + dir_.path(), "-m", "ALL", "-Tz"},
                           60, {"MIBS=", "MIBDIRS="});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  std::vector<std::string> oids;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    const size_t open = line.rfind('"', line.size() - 2);
    if (line.size() < 3 || open == std::string::npos) continue;
    const std::string oid = line.substr(open + 1, line.size() - open - 2);
    // Under mib-2 the built-in table knows deeper objects than the stub SMI.
    if (oid.rfind("1.3.6.1.2.1", 0) == 0) continue;
    oids.push_back(oid + ".7.0");
  }
  ASSERT_GT(oids.size(), 300u);
  for (const char* extra : {"1.3.6.1.4.1.8072.99.1", "1.3.6.1.4.1.2021.4.5.0",
                            "1.3.6.1.4.1.99998.1.2.1.2.7", "1.3.6.1.4.1.99999.3"})
    oids.push_back(extra);
  std::vector<std::string> argv = {"/usr/bin/snmptranslate", "-Ir", "-Ob", "-M",
                                   "+" + dir_.path(),        "-m",  "ALL"};
  argv.insert(argv.end(), oids.begin(), oids.end());
  testutil::ProcessResult translated = testutil::RunProcess(argv, 60, {"MIBS=", "MIBDIRS="});
  ASSERT_EQ(translated.exit_code, 0) << translated.err;
  const Loaded ours = LoadAndName(dir_.path(), "ALL", oids);
  ASSERT_GT(ours.nodes, 100u);
  std::istringstream theirs(translated.out);
  for (size_t i = 0; i < oids.size(); ++i) {
    std::string expected;
    do {  // a blank line follows each name
      ASSERT_TRUE(std::getline(theirs, expected)) << oids[i];
    } while (expected.empty());
    EXPECT_EQ(ours.names[i], expected) << oids[i];
  }
}

}  // namespace
