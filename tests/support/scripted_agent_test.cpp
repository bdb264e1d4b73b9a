// The scripted agent checked against Net-SNMP's command-line tools as peers,
// and on the wire with a small raw UDP client.
#include "support/scripted_agent.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace {

using testutil::ScriptedAgent;

const char kSysDescr[] = ".1.3.6.1.2.1.1.1.0 = STRING: \"mibscan scripted agent\"\n";

// ---- Net-SNMP tools as peers

class ToolRunner {
 public:
  // Made up front: the tools otherwise announce creating it on standard error.
  ToolRunner() { std::filesystem::create_directory(dir_ / "cert_indexes"); }

  // One try, 0.3 s: every hostile case that ends in a time-out stays quick.
  testutil::ProcessResult Run(const std::string& tool, const std::string& version,
                              const ScriptedAgent& agent, const std::vector<std::string>& operands,
                              const std::vector<std::string>& options = {},
                              const std::string& community = "tkvwqz") {
    std::vector<std::string> argv = {
        "/usr/bin/" + tool, "-On", "-v" + version, "-c", community, "-t", "0.3", "-r", "0"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(agent.peer());
    argv.insert(argv.end(), operands.begin(), operands.end());
    // No MIB files, and no configuration or persistent state from the machine.
    return testutil::RunProcess(
        argv, 30, {"MIBS=", "SNMPCONFPATH=" + dir_.path(), "SNMP_PERSISTENT_DIR=" + dir_.path()});
  }

 private:
  testutil::TempDir dir_;
};

ScriptedAgent::Options Scenario(const std::string& name, const std::string& arg = "") {
  ScriptedAgent::Options o;
  o.scenario = name;
  o.arg = arg;
  return o;
}

ScriptedAgent::Options ThenAnswer(ScriptedAgent::Options o) {
  o.then_answer = true;
  return o;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// ---- a raw client: hand-built requests, a minimal BER reader for answers

constexpr uint8_t kGet = 0xA0, kGetNext = 0xA1;
constexpr long kId = 4242;  // the request id of raw requests

std::string Tlv(uint8_t tag, const std::string& content) {
  std::string out(1, static_cast<char>(tag));
  if (content.size() < 0x80) {
    out += static_cast<char>(content.size());
  } else {
    out += '\x82';
    out += static_cast<char>(content.size() >> 8);
    out += static_cast<char>(content.size() & 0xFF);
  }
  return out + content;
}

std::string EncodeOid(const std::vector<uint32_t>& subs) {
  std::string out(1, static_cast<char>(subs[0] * 40 + subs[1]));
  for (size_t i = 2; i < subs.size(); ++i) {
    std::string chunk(1, static_cast<char>(subs[i] & 0x7F));
    for (uint32_t v = subs[i] >> 7; v; v >>= 7)
      chunk.insert(chunk.begin(), static_cast<char>(0x80 | (v & 0x7F)));
    out += chunk;
  }
  return out;
}

std::vector<uint32_t> ParseOidText(const std::string& text) {
  std::vector<uint32_t> subs;
  std::istringstream in(text);
  for (std::string s; std::getline(in, s, '.');)
    subs.push_back(static_cast<uint32_t>(std::stoul(s)));
  return subs;
}

std::string BuildRequest(int version, uint8_t pdu_type, uint32_t request_id,
                         const std::string& oid) {
  std::string id = {'\x00', static_cast<char>(request_id >> 24),
                    static_cast<char>(request_id >> 16), static_cast<char>(request_id >> 8),
                    static_cast<char>(request_id)};
  std::string varbind = Tlv(0x30, Tlv(0x06, EncodeOid(ParseOidText(oid))) + Tlv(0x05, ""));
  std::string pdu = Tlv(0x02, id) + Tlv(0x02, std::string(1, '\0')) +
                    Tlv(0x02, std::string(1, '\0')) + Tlv(0x30, varbind);
  return Tlv(0x30, Tlv(0x02, std::string(1, static_cast<char>(version))) + Tlv(0x04, "tkvwqz") +
                       Tlv(pdu_type, pdu));
}

struct Header {
  uint8_t tag = 0;
  size_t length = 0;   // as claimed, not checked against the data
  size_t content = 0;  // offset of the content
};

// Reads one tag and length at pos; false when the header itself is incomplete
// or uses a form SNMP does not (indefinite, over 4 length bytes).
bool ReadHeader(const std::string& d, size_t pos, Header* h) {
  if (pos + 2 > d.size()) return false;
  h->tag = static_cast<uint8_t>(d[pos]);
  size_t first = static_cast<uint8_t>(d[pos + 1]);
  pos += 2;
  if (first & 0x80) {
    size_t count = first & 0x7F;
    if (count == 0 || count > 4 || pos + count > d.size()) return false;
    first = 0;
    for (size_t i = 0; i < count; ++i) first = (first << 8) | static_cast<uint8_t>(d[pos++]);
  }
  h->length = first;
  h->content = pos;
  return true;
}

// Reads an element that must lie wholly inside [pos, end).
bool ReadElement(const std::string& d, size_t pos, size_t end, Header* h) {
  return ReadHeader(d, pos, h) && h->content <= end && h->length <= end - h->content;
}

long DecodeInt(const std::string& d, const Header& h) {
  long v = h.length && (static_cast<uint8_t>(d[h.content]) & 0x80) ? -1 : 0;
  for (size_t i = 0; i < h.length; ++i) v = v * 256 + static_cast<uint8_t>(d[h.content + i]);
  return v;
}

struct Varbind {
  size_t oid_subs = 0;  // sub-identifiers in the name
  uint8_t type = 0;
  std::string value;
};

struct Message {
  long version = -1, request_id = -1, error_status = -1, error_index = -1;
  uint8_t pdu_type = 0;
  std::vector<Varbind> varbinds;
};

// A well-formed SNMP message: every length consistent, nothing left over.
bool ParseMessage(const std::string& d, Message* m) {
  Header msg, h;
  if (!ReadElement(d, 0, d.size(), &msg) || msg.tag != 0x30 || msg.content + msg.length != d.size())
    return false;
  size_t pos = msg.content, end = d.size();
  if (!ReadElement(d, pos, end, &h) || h.tag != 0x02) return false;
  m->version = DecodeInt(d, h);
  pos = h.content + h.length;
  if (!ReadElement(d, pos, end, &h) || h.tag != 0x04) return false;
  pos = h.content + h.length;
  Header pdu;
  if (!ReadElement(d, pos, end, &pdu) || pdu.content + pdu.length != end) return false;
  m->pdu_type = pdu.tag;
  pos = pdu.content;
  long* ints[] = {&m->request_id, &m->error_status, &m->error_index};
  for (long* field : ints) {
    if (!ReadElement(d, pos, end, &h) || h.tag != 0x02) return false;
    *field = DecodeInt(d, h);
    pos = h.content + h.length;
  }
  Header list;
  if (!ReadElement(d, pos, end, &list) || list.tag != 0x30 || list.content + list.length != end)
    return false;
  for (pos = list.content; pos < end;) {
    Header vb, name, value;
    if (!ReadElement(d, pos, end, &vb) || vb.tag != 0x30) return false;
    const size_t vb_end = vb.content + vb.length;
    if (!ReadElement(d, vb.content, vb_end, &name) || name.tag != 0x06) return false;
    if (!ReadElement(d, name.content + name.length, vb_end, &value) ||
        value.content + value.length != vb_end)
      return false;
    Varbind v;
    for (size_t i = 0; i < name.length; ++i)
      v.oid_subs += !(static_cast<uint8_t>(d[name.content + i]) & 0x80);
    v.oid_subs += 1;  // the first byte holds two
    v.type = value.tag;
    v.value = d.substr(value.content, value.length);
    m->varbinds.push_back(v);
    pos = vb_end;
  }
  return true;
}

struct Datagram {
  std::string data;
  int source_port = 0;
};

// Sends one request and collects what comes back: waits up to first_ms for
// the first datagram, then gathers more until 200 ms pass without one.
std::vector<Datagram> Exchange(const ScriptedAgent& agent, const std::string& request,
                               int first_ms = 3000) {
  std::vector<Datagram> got;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return got;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(agent.port()));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  std::vector<char> buf(65536);
  for (int wait_ms = first_ms;; wait_ms = 200) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) break;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n =
        recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) break;
    got.push_back({std::string(buf.data(), static_cast<size_t>(n)), ntohs(from.sin_port)});
  }
  close(fd);
  return got;
}

void StartOrFail(ScriptedAgent& agent, const ScriptedAgent::Options& options) {
  std::string error;
  ASSERT_TRUE(agent.Start(options, &error)) << error;
}

// ---- the normal tree

TEST(ScriptedAgent, NormalTreeWalksLikeARealAgent) {
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("normal")));
  ToolRunner tools;
  const std::string tree = std::string(kSysDescr) +
                           ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.8072.3.2.10\n"
                           ".1.3.6.1.2.1.1.3.0 = Timeticks: (12345) 0:02:03.45\n"
                           ".1.3.6.1.2.1.1.4.0 = STRING: \"operator@localhost\"\n"
                           ".1.3.6.1.2.1.1.5.0 = STRING: \"scripted\"\n"
                           ".1.3.6.1.4.1.8072.1.1.0 = INTEGER: 42\n";
  // v1 ends on noSuchName, which snmpwalk reports as the end of the MIB; v2c on endOfMibView.
  auto v1 = tools.Run("snmpwalk", "1", agent, {"1.3.6.1"});
  EXPECT_EQ(v1.out, tree + "End of MIB\n") << v1.err;
  auto v2 = tools.Run("snmpwalk", "2c", agent, {"1.3.6.1"});
  EXPECT_EQ(v2.out, tree +
                        ".1.3.6.1.4.1.8072.1.1.0 = No more variables left in this MIB View (It is "
                        "past the end of the "
                        "MIB tree)\n")
      << v2.err;
  EXPECT_EQ(v2.err, "");
}

TEST(ScriptedAgent, NormalGetAndGetNext) {
  struct Case {
    const char* name;
    const char* tool;
    const char* version;
    std::vector<std::string> oids;
    const char* out;  // expected within standard output
    const char* err;  // expected within standard error
  };
  const Case cases[] = {
      {"v1 get",
       "snmpget",
       "1",
       {"1.3.6.1.2.1.1.5.0"},
       ".1.3.6.1.2.1.1.5.0 = STRING: \"scripted\"\n",
       ""},
      {"v1 get names the failing varbind",
       "snmpget",
       "1",
       {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.9.0"},
       "",
       "Reason: (noSuchName) There is no such variable name in this MIB.\nFailed object: "
       ".1.3.6.1.2.1.1.9.0\n"},
      {"v2c get of a missing instance",
       "snmpget",
       "2c",
       {"1.3.6.1.2.1.1.5.1"},
       ".1.3.6.1.2.1.1.5.1 = No Such Instance currently exists at this OID",
       ""},
      {"v2c get of a missing object",
       "snmpget",
       "2c",
       {"1.3.6.1.2.1.7.1.0"},
       ".1.3.6.1.2.1.7.1.0 = No Such Object available on this agent at this OID",
       ""},
      {"v2c getnext",
       "snmpgetnext",
       "2c",
       {"1.3.6.1.2.1.1.2.0"},
       ".1.3.6.1.2.1.1.3.0 = Timeticks: (12345)",
       ""},
      {"v1 getnext past the end",
       "snmpgetnext",
       "1",
       {"1.3.6.1.4.1.8072.1.1.0"},
       "",
       "(noSuchName)"},
      {"v2c getnext past the end",
       "snmpgetnext",
       "2c",
       {"1.3.6.1.4.1.8072.1.1.0"},
       ".1.3.6.1.4.1.8072.1.1.0 = No more variables left in this MIB View",
       ""},
  };
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("normal")));
  ToolRunner tools;
  for (const auto& c : cases) {
    auto r = tools.Run(c.tool, c.version, agent, c.oids);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << c.name << "\nout: " << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << "\nerr: " << r.err;
  }
}

TEST(ScriptedAgent, IgnoresWrongCommunityAndOtherVersionsButCountsThem) {
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("normal")));
  ToolRunner tools;
  auto wrong = tools.Run("snmpget", "2c", agent, {"1.3.6.1.2.1.1.1.0"}, {}, "public");
  EXPECT_NE(wrong.err.find("Timeout: No Response from"), std::string::npos) << wrong.err;
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(agent.RequestCount(), 1);
  // An SNMPv3 probe is not answered either.
  auto v3 =
      tools.Run("snmpget", "3", agent, {"1.3.6.1.2.1.1.1.0"}, {"-l", "noAuthNoPriv", "-u", "x"});
  EXPECT_NE(v3.err.find("Timeout"), std::string::npos) << v3.err;
  EXPECT_NE(agent.Log().find("ignored request"), std::string::npos) << agent.Log();
  auto right = tools.Run("snmpget", "2c", agent, {"1.3.6.1.2.1.1.1.0"});
  EXPECT_EQ(right.out, kSysDescr) << right.err;
  EXPECT_EQ(agent.RequestCount(), 3);
}

TEST(ScriptedAgent, ServesOtherCommunitiesAndLoopbackAddresses) {
  ScriptedAgent agent;
  ScriptedAgent::Options options = Scenario("normal");
  options.community = "other";
  options.address = "127.0.0.2";
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, options));
  EXPECT_EQ(agent.peer(), "127.0.0.2:" + std::to_string(agent.port()));
  ToolRunner tools;
  auto r = tools.Run("snmpget", "1", agent, {"1.3.6.1.2.1.1.1.0"}, {}, "other");
  EXPECT_EQ(r.out, kSysDescr) << r.err;
}

TEST(ScriptedAgent, UnknownScenarioFailsToStart) {
  ScriptedAgent agent;
  std::string error;
  EXPECT_FALSE(agent.Start("no-such-scenario", "", &error));
  EXPECT_NE(error.find("no-such-scenario"), std::string::npos) << error;
  EXPECT_EQ(agent.port(), 0);
}

// ---- faults as a real client sees them

struct ToolCase {
  const char* name;
  ScriptedAgent::Options options;
  const char* tool;
  const char* version;
  const char* oid;
  std::optional<std::string> out;  // the whole standard output, when given
  std::string err;                 // expected within standard error
  int requests;                    // the agent's count afterwards; -1: not checked
};

TEST(ScriptedAgent, FaultsSeenBySnmpTools) {
  const std::string timeout = "Timeout: No Response from";
  const ToolCase cases[] = {
      {"not-increasing repeats the requested OID", Scenario("not-increasing"), "snmpwalk", "2c",
       "1.3.6.1.2.1.1",
       std::string(kSysDescr) + ".1.3.6.1.2.1.1.1.0 = STRING: \"not increasing\"\n",
       "Error: OID not increasing: .1.3.6.1.2.1.1.1.0\n >= .1.3.6.1.2.1.1.1.0\n", 2},
      {"not-increasing smaller answers the parent", Scenario("not-increasing", "smaller"),
       "snmpwalk", "1", "1.3.6.1.2.1.1",
       std::string(kSysDescr) + ".1.3.6.1.2.1.1.1 = STRING: \"not increasing\"\n",
       "Error: OID not increasing: .1.3.6.1.2.1.1.1.0\n >= .1.3.6.1.2.1.1.1\n", 2},
      {"error-index-beyond", Scenario("error-index-beyond"), "snmpget", "2c", "1.3.6.1.2.1.1.1.0",
       "", "Reason: (genError) A general failure occured\nFailed object: \n", 1},
      {"error-index-beyond negative", Scenario("error-index-beyond", "-1"), "snmpget", "1",
       "1.3.6.1.2.1.1.1.0", "", "Reason: (genError) A general failure occured\nFailed object: \n",
       1},
      {"nosuchname ends a v1 walk", Scenario("nosuchname"), "snmpwalk", "1", "1.3.6.1.2.1",
       "End of MIB\n", "", -1},
      {"nosuchname fails a v2c get", Scenario("nosuchname"), "snmpget", "2c", "1.3.6.1.2.1.1.1.0",
       "",
       "Reason: (noSuchName) There is no such variable name in this MIB.\nFailed object: "
       ".1.3.6.1.2.1.1.1.0\n",
       1},
      {"at-end-bound stops the walk after one row", Scenario("at-end-bound"), "snmpwalk", "2c",
       "1.3.6.1.2.1.1.3", ".1.3.6.1.2.1.1.3.0 = Timeticks: (12345) 0:02:03.45\n", "", 2},
      {"at-end-bound answers the bound itself", Scenario("at-end-bound"), "snmpgetnext", "1",
       "1.3.6.1.2.1.1.3.0", ".1.3.6.1.2.1.1.4 = STRING: \"end bound\"\n", "", 1},
      {"silent-after 2", Scenario("silent-after", "2"), "snmpwalk", "2c", "1.3.6.1.2.1.1",
       std::string(kSysDescr) + ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.8072.3.2.10\n", timeout, 3},
      {"good 1 then nosuchname",
       [] {
         auto o = Scenario("nosuchname");
         o.good = 1;
         return o;
       }(),
       "snmpwalk", "1", "1.3.6.1.2.1.1", std::string(kSysDescr) + "End of MIB\n", "", 2},
      {"wrong-request-id is dropped", Scenario("wrong-request-id"), "snmpget", "2c",
       "1.3.6.1.2.1.1.1.0", "", timeout, 1},
      {"wrong-request-id then the answer", ThenAnswer(Scenario("wrong-request-id")), "snmpget",
       "2c", "1.3.6.1.2.1.1.1.0", kSysDescr, "", 1},
      // Net-SNMP matches answers by request id only, so it takes one from another port.
      {"wrong-port", Scenario("wrong-port"), "snmpget", "1", "1.3.6.1.2.1.1.1.0", kSysDescr, "", 1},
      {"duplicate answers leave a walk unchanged", Scenario("duplicate"), "snmpwalk", "2c",
       "1.3.6.1.2.1.1.4", ".1.3.6.1.2.1.1.4.0 = STRING: \"operator@localhost\"\n", "", 2},
      {"garbage", Scenario("garbage"), "snmpget", "2c", "1.3.6.1.2.1.1.1.0", "", timeout, 1},
      {"garbage then the answer", ThenAnswer(Scenario("garbage", "7")), "snmpget", "1",
       "1.3.6.1.2.1.1.1.0", kSysDescr, "", 1},
      {"bad-length inner", Scenario("bad-length", "inner"), "snmpget", "2c", "1.3.6.1.2.1.1.1.0",
       "", timeout, 1},
      {"bad-length inner-long", Scenario("bad-length", "inner-long"), "snmpget", "2c",
       "1.3.6.1.2.1.1.1.0", "", timeout, 1},
      {"bad-length beyond", Scenario("bad-length", "beyond"), "snmpget", "2c", "1.3.6.1.2.1.1.1.0",
       "", timeout, 1},
      {"bad-length short", Scenario("bad-length", "short"), "snmpget", "1", "1.3.6.1.2.1.1.1.0", "",
       timeout, 1},
      {"bad-length indefinite", Scenario("bad-length", "indefinite"), "snmpget", "2c",
       "1.3.6.1.2.1.1.1.0", "", timeout, 1},
      {"bad-length huge then the answer", ThenAnswer(Scenario("bad-length", "huge")), "snmpget",
       "2c", "1.3.6.1.2.1.1.1.0", kSysDescr, "", 1},
      {"truncated", Scenario("truncated"), "snmpget", "2c", "1.3.6.1.2.1.1.1.0", "", timeout, 1},
      {"long-oid over the library's limit", Scenario("long-oid", "129"), "snmpget", "2c",
       "1.3.6.1.2.1.1.8.0", "", timeout, 1},
  };
  ToolRunner tools;
  for (const auto& c : cases) {
    ScriptedAgent agent;
    std::string error;
    ASSERT_TRUE(agent.Start(c.options, &error)) << c.name << ": " << error;
    auto r = tools.Run(c.tool, c.version, agent, {c.oid});
    if (c.out) {
      EXPECT_EQ(r.out, *c.out) << c.name << "\nerr: " << r.err;
    }
    if (c.err.empty()) {
      EXPECT_EQ(r.err, "") << c.name;
    } else {
      EXPECT_NE(r.err.find(c.err), std::string::npos) << c.name << "\nerr: " << r.err;
    }
    if (c.requests >= 0) {
      EXPECT_EQ(agent.RequestCount(), c.requests) << c.name;
    }
  }
}

TEST(ScriptedAgent, EndlessWalkKeepsIncreasing) {
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("endless")));
  ToolRunner tools;
  // Bounded by snmpwalk's own end OID; without it the walk would never stop.
  auto walk = tools.Run("snmpwalk", "2c", agent, {"1.3.6.1.2.1.1"}, {"-CE", "1.3.6.1.2.1.1.1.40"});
  auto lines = Lines(walk.out);
  ASSERT_EQ(lines.size(), 39u) << walk.out << walk.err;
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i],
              ".1.3.6.1.2.1.1.1." + std::to_string(i + 1) + " = INTEGER: " + std::to_string(i + 1));
  EXPECT_EQ(walk.err, "");
  auto next = tools.Run("snmpgetnext", "1", agent, {"1.3.6.1.2.1.1.1.4294967295"});
  EXPECT_EQ(Lines(next.out).at(0).rfind(".1.3.6.1.2.1.1.1.4294967295.0 = ", 0), 0u)
      << next.out << next.err;
}

TEST(ScriptedAgent, LongOidOf128SubIdentifiers) {
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("long-oid")));
  ToolRunner tools;
  auto walk = tools.Run("snmpwalk", "2c", agent, {"1.3.6.1.2.1.1"});
  auto lines = Lines(walk.out);
  ASSERT_EQ(lines.size(), 3u) << walk.out << walk.err;
  std::string long_oid = ".1.3.6.1.2.1.1.9";
  for (int i = 1; i <= 120; ++i) long_oid += "." + std::to_string(i);
  EXPECT_EQ(lines[0], ".1.3.6.1.2.1.1.8.0 = OID: " + long_oid);
  EXPECT_EQ(lines[1], long_oid + " = STRING: \"long name\"");
  // The walk went on from the long name and ended normally.
  EXPECT_EQ(
      lines[2],
      long_oid + " = No more variables left in this MIB View (It is past the end of the MIB tree)");
  EXPECT_EQ(walk.err, "");
  EXPECT_EQ(agent.RequestCount(), 3);
}

TEST(ScriptedAgent, BigStringFillsOneDatagram) {
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("big-string")));
  auto got = Exchange(agent, BuildRequest(1, kGet, 77, "1.3.6.1.2.1.1.1.0"));
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data.size(), 65507u);  // the most one IPv4 UDP datagram carries
  Message m;
  ASSERT_TRUE(ParseMessage(got[0].data, &m));
  ASSERT_EQ(m.varbinds.size(), 1u);
  EXPECT_GT(m.varbinds[0].value.size(), 65400u);

  // The tool's request has other field sizes, so its string differs in length
  // by a few bytes; it must arrive whole all the same.
  ToolRunner tools;
  auto r = tools.Run("snmpget", "2c", agent, {"1.3.6.1.2.1.1.1.0"});
  const std::string prefix = ".1.3.6.1.2.1.1.1.0 = STRING: \"";
  ASSERT_EQ(r.out.rfind(prefix, 0), 0u) << r.err;
  ASSERT_EQ(r.out.substr(r.out.size() - 2), "\"\n");
  const std::string text = r.out.substr(prefix.size(), r.out.size() - prefix.size() - 2);
  EXPECT_GT(text.size(), 65400u);
  for (size_t i = 0; i < text.size(); ++i)
    if (text[i] != static_cast<char>('0' + i % 10)) FAIL() << "string broken at " << i;
}

TEST(ScriptedAgent, OversizedStringIsNeverSent) {
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("big-string", "65536")));
  EXPECT_TRUE(Exchange(agent, BuildRequest(1, kGet, 5, "1.3.6.1.2.1.1.1.0"), 1000).empty());
  EXPECT_NE(agent.Log().find("could not send"), std::string::npos) << agent.Log();
  // The agent survived the failed send.
  ToolRunner tools;
  EXPECT_NE(tools.Run("snmpget", "2c", agent, {"1.3.6.1.2.1.1.1.0"}).err.find("Timeout"),
            std::string::npos);
  EXPECT_EQ(agent.RequestCount(), 2);
}

// ---- every value type

TEST(ScriptedAgent, AllTypesAsTheToolsPrintThem) {
  const std::string base = ".1.3.6.1.4.1.8072.9999.";
  const std::vector<std::string> v1_rows = {
      base + "1.0 = INTEGER: -123456",
      base + "2.0 = STRING: \"text value\"",
      base + "3.0 = Hex-STRING: 00 01 02 FE FF 80 0A ",
      base + "4.0 = NULL",
      base + "5.0 = OID: .1.3.6.1.4.1.8072.42",
      base + "6.0 = IpAddress: 192.0.2.1",
      base + "7.0 = Counter32: 4294967295",
      base + "8.0 = Gauge32: 4000000000",
      base + "9.0 = Timeticks: (123456789) 14 days, 6:56:07.89",
      base + "10.0 = OPAQUE: 01 02 03 04 ",
      base + "11.0 = Counter64: 18364758544493064720",  // 0xFEDCBA9876543210
      base + "12.0 = Variable has bad type",            // how the tools print an NsapAddress
      base + "13.0 = 4294967295",                       // UInteger32, likewise without a label
      base + "14.0 = BITS: 00 A5 8 10 13 15 ",
  };
  ScriptedAgent parseable;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(parseable, Scenario("all-types", "parseable")));
  ToolRunner tools;
  // v1 has no exception values: the walk ends on noSuchName after the last type.
  auto v1 = tools.Run("snmpwalk", "1", parseable, {"1.3.6.1.4.1"});
  auto expected = v1_rows;
  expected.push_back("End of MIB");
  EXPECT_EQ(Lines(v1.out), expected) << v1.err;
  // v2c walks into the first exception value, which ends the walk.
  auto v2 = tools.Run("snmpwalk", "2c", parseable, {"1.3.6.1.4.1"});
  expected = v1_rows;
  expected.push_back(base + "16.0 = No Such Object available on this agent at this OID");
  EXPECT_EQ(Lines(v2.out), expected) << v2.err;
  EXPECT_EQ(v2.err, "");

  ScriptedAgent full;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(full, Scenario("all-types")));
  // The library drops the answer with the 5-byte IpAddress: the walk times out there.
  auto walk = tools.Run("snmpwalk", "2c", full, {"1.3.6.1.4.1"});
  EXPECT_EQ(Lines(walk.out), v1_rows);
  EXPECT_NE(walk.err.find("Timeout: No Response from"), std::string::npos) << walk.err;
  auto get = tools.Run(
      "snmpget", "2c", full,
      {"1.3.6.1.4.1.8072.9999.16.0", "1.3.6.1.4.1.8072.9999.17.0", "1.3.6.1.4.1.8072.9999.18.0"});
  EXPECT_EQ(Lines(get.out), (std::vector<std::string>{
                                base + "16.0 = No Such Object available on this agent at this OID",
                                base + "17.0 = No Such Instance currently exists at this OID",
                                base + "18.0 = No more variables left in this MIB View (It is past "
                                       "the end of the MIB tree)"}))
      << get.err;
  auto v1_get = tools.Run("snmpget", "1", full, {"1.3.6.1.4.1.8072.9999.16.0"});
  EXPECT_NE(v1_get.err.find("(noSuchName)"), std::string::npos) << v1_get.err;
}

TEST(ScriptedAgent, AllTypesOnTheWire) {
  struct Case {
    const char* oid;
    uint8_t type;
    std::string value;
  };
  const Case cases[] = {
      {"1.3.6.1.4.1.8072.9999.6.0", 0x40, std::string("\xC0\x00\x02\x01", 4)},
      {"1.3.6.1.4.1.8072.9999.15.0", 0x40, std::string("\xC0\x00\x02\x01\x07", 5)},
      {"1.3.6.1.4.1.8072.9999.11.0", 0x46, std::string("\x00\xFE\xDC\xBA\x98\x76\x54\x32\x10", 9)},
      {"1.3.6.1.4.1.8072.9999.7.0", 0x41, std::string("\x00\xFF\xFF\xFF\xFF", 5)},
      {"1.3.6.1.4.1.8072.9999.12.0", 0x45, std::string("\x47\x00\x05\x80", 4)},
      {"1.3.6.1.4.1.8072.9999.13.0", 0x47, std::string("\x00\xFF\xFF\xFF\xFF", 5)},
      {"1.3.6.1.4.1.8072.9999.14.0", 0x03, std::string("\x00\xA5", 2)},
      {"1.3.6.1.4.1.8072.9999.18.0", 0x82, ""},
  };
  ScriptedAgent agent;
  ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, Scenario("all-types")));
  for (const auto& c : cases) {
    auto got = Exchange(agent, BuildRequest(1, kGet, 9, c.oid));
    ASSERT_EQ(got.size(), 1u) << c.oid;
    Message m;
    ASSERT_TRUE(ParseMessage(got[0].data, &m)) << c.oid;
    ASSERT_EQ(m.varbinds.size(), 1u) << c.oid;
    EXPECT_EQ(m.varbinds[0].type, c.type) << c.oid;
    EXPECT_EQ(m.varbinds[0].value, c.value) << c.oid;
  }
}

// ---- faults on the wire, where a tool cannot show them

TEST(ScriptedAgent, FaultsOnTheWire) {
  struct Case {
    const char* name;
    ScriptedAgent::Options options;
    void (*check)(const std::vector<Datagram>& got, const ScriptedAgent& agent);
  };
  const Case cases[] = {
      {"normal", Scenario("normal"),
       [](const std::vector<Datagram>& got, const ScriptedAgent& agent) {
         ASSERT_EQ(got.size(), 1u);
         EXPECT_EQ(got[0].source_port, agent.port());
         Message m;
         ASSERT_TRUE(ParseMessage(got[0].data, &m));
         EXPECT_EQ(m.pdu_type, 0xA2);
         EXPECT_EQ(m.version, 1);
         EXPECT_EQ(m.request_id, kId);
         EXPECT_EQ(m.error_status, 0);
         ASSERT_EQ(m.varbinds.size(), 1u);
         EXPECT_EQ(m.varbinds[0].value, "mibscan scripted agent");
       }},
      {"error-index-beyond", Scenario("error-index-beyond"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         ASSERT_EQ(got.size(), 1u);
         Message m;
         ASSERT_TRUE(ParseMessage(got[0].data, &m));
         EXPECT_EQ(m.error_status, 5);
         EXPECT_GT(m.error_index, static_cast<long>(m.varbinds.size()));
       }},
      {"error-index-beyond 2147483647", Scenario("error-index-beyond", "2147483647"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         Message m;
         ASSERT_TRUE(got.size() == 1 && ParseMessage(got[0].data, &m));
         EXPECT_EQ(m.error_index, 2147483647);
       }},
      {"wrong-port", Scenario("wrong-port"),
       [](const std::vector<Datagram>& got, const ScriptedAgent& agent) {
         ASSERT_EQ(got.size(), 1u);
         EXPECT_NE(got[0].source_port, agent.port());
         Message m;
         ASSERT_TRUE(ParseMessage(got[0].data, &m));
         EXPECT_EQ(m.request_id, kId);
       }},
      {"wrong-request-id", Scenario("wrong-request-id", "1000"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         Message m;
         ASSERT_TRUE(got.size() == 1 && ParseMessage(got[0].data, &m));
         EXPECT_EQ(m.request_id, kId + 1000);
       }},
      {"duplicate", Scenario("duplicate"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         ASSERT_EQ(got.size(), 2u);
         EXPECT_EQ(got[0].data, got[1].data);
         Message m;
         EXPECT_TRUE(ParseMessage(got[0].data, &m));
       }},
      {"garbage then the answer", ThenAnswer(Scenario("garbage")),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         ASSERT_EQ(got.size(), 2u);
         Message bad, good;
         EXPECT_FALSE(ParseMessage(got[0].data, &bad));
         EXPECT_TRUE(ParseMessage(got[1].data, &good));
       }},
      {"bad-length inner", Scenario("bad-length", "inner"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         ASSERT_EQ(got.size(), 1u);
         const std::string& d = got[0].data;
         Message m;
         EXPECT_FALSE(ParseMessage(d, &m));
         // The message's own length is right; the value's falls 2 short of its bytes.
         Header h;
         ASSERT_TRUE(ReadHeader(d, 0, &h));
         EXPECT_EQ(h.content + h.length, d.size());
         const size_t value = d.rfind("wrong length") - 2;
         ASSERT_TRUE(ReadHeader(d, value, &h));
         EXPECT_EQ(h.tag, 0x04);
         EXPECT_EQ(h.length, 10u);
       }},
      {"bad-length inner-long", Scenario("bad-length", "inner-long"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         ASSERT_EQ(got.size(), 1u);
         const std::string& d = got[0].data;
         Header h;
         ASSERT_TRUE(ReadHeader(d, d.rfind("wrong length") - 2, &h));
         EXPECT_EQ(h.content + h.length, d.size() + 3);
       }},
      {"bad-length beyond", Scenario("bad-length", "beyond"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         Header h;
         ASSERT_TRUE(got.size() == 1 && ReadHeader(got[0].data, 0, &h));
         EXPECT_EQ(h.content + h.length, got[0].data.size() + 10);
       }},
      {"bad-length short", Scenario("bad-length", "short"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         Header h;
         ASSERT_TRUE(got.size() == 1 && ReadHeader(got[0].data, 0, &h));
         EXPECT_EQ(h.content + h.length + 5, got[0].data.size());
       }},
      {"bad-length indefinite", Scenario("bad-length", "indefinite"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         ASSERT_EQ(got.size(), 1u);
         EXPECT_EQ(got[0].data.substr(0, 2), std::string("\x30\x80", 2));
         EXPECT_EQ(got[0].data.substr(got[0].data.size() - 2), std::string(2, '\0'));
       }},
      {"bad-length huge", Scenario("bad-length", "huge"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         Header h;
         ASSERT_TRUE(got.size() == 1 && ReadHeader(got[0].data, 0, &h));
         EXPECT_EQ(h.length, 0xFFFFFFFFu);
       }},
      {"truncated", Scenario("truncated"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         Header h;
         ASSERT_TRUE(got.size() == 1 && ReadHeader(got[0].data, 0, &h));
         EXPECT_GT(h.content + h.length, got[0].data.size());
       }},
      {"truncated to 3 bytes", Scenario("truncated", "3"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         ASSERT_EQ(got.size(), 1u);
         EXPECT_EQ(got[0].data.size(), 3u);
       }},
      {"long-oid 128", Scenario("long-oid"),
       [](const std::vector<Datagram>& got, const ScriptedAgent&) {
         Message m;
         ASSERT_TRUE(got.size() == 1 && ParseMessage(got[0].data, &m));
         ASSERT_EQ(m.varbinds.size(), 1u);
         EXPECT_EQ(m.varbinds[0].oid_subs, 9u);  // the name 1.3.6.1.2.1.1.8.0 ...
         EXPECT_EQ(m.varbinds[0].type, 0x06);    // ... holds an OID value
         size_t subs = 1;
         for (char c : m.varbinds[0].value) subs += !(static_cast<uint8_t>(c) & 0x80);
         EXPECT_EQ(subs, 128u);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedAgent agent;
    ASSERT_NO_FATAL_FAILURE(StartOrFail(agent, c.options));
    // A GETNEXT of the system group: answered with sysDescr.0 (long-oid: its OID value).
    c.check(Exchange(agent, BuildRequest(1, kGetNext, static_cast<uint32_t>(kId), "1.3.6.1.2.1.1")),
            agent);
  }
}

}  // namespace
