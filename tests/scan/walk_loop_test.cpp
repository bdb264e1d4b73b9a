// The walk loop and the batched-get loop against a scripted exchange: the
// exact requests they send (names, repetitions, batches) for the answers they
// get, and the rows they keep. What agents do on the wire is shown by the
// scripted-agent and snmpd tests; here the answers are built with the
// library's own PDU calls and nothing leaves the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "scan/scan_settings.h"
#include "scan/start_oid.h"
#include "scan/walk.h"
#include "scan/walk_test_support.h"

namespace {

using walktest::DontCheckOrdering;
using walktest::Keys;
using walktest::QueuedLog;

// One scripted answer. vars: "name" (an INTEGER) or "name=endOfMibView",
// "=noSuchObject", "=noSuchInstance".
struct Answer {
  std::vector<std::string> vars;
  long errstat = SNMP_ERR_NOERROR;
  long errindex = 0;
  ExchangeStatus status = ExchangeStatus::kSuccess;
};

Answer Vars(std::vector<std::string> vars) { return Answer{std::move(vars)}; }
Answer Error(long errstat, long errindex = 0) { return Answer{{}, errstat, errindex}; }
Answer Status(ExchangeStatus status) { return Answer{{}, SNMP_ERR_NOERROR, 0, status}; }

std::string OidText(const oid* ids, size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += (i ? "." : "") + std::to_string(ids[i]);
  return text;
}

// Answers each request with the next answer of its script and writes the
// request down as "<get|next|bulk N> name name ...". Past the end of the
// script every request times out.
class ScriptedExchange : public SnmpExchange {
 public:
  explicit ScriptedExchange(std::vector<Answer> script) : script_(script.begin(), script.end()) {}
  ~ScriptedExchange() override { FreeResponse(); }

  OpenStatus Open(const SnmpTarget& target) override {
    opened_version_ = target.version;
    return OpenStatus::kOpen;
  }

  ExchangeStatus Exchange(int command, const SnmpName* names, size_t count, long repetitions,
                          netsnmp_pdu** response) override {
    std::string request = command == SNMP_MSG_GETBULK   ? "bulk " + std::to_string(repetitions)
                          : command == SNMP_MSG_GETNEXT ? "next"
                          : command == SNMP_MSG_GET     ? "get"
                                                        : "command " + std::to_string(command);
    for (size_t i = 0; i < count; ++i) request += " " + OidText(names[i].ids, names[i].length);
    requests_.push_back(request);
    FreeResponse();
    if (script_.empty()) return ExchangeStatus::kTimeout;
    const Answer answer = script_.front();
    script_.pop_front();
    if (answer.status != ExchangeStatus::kSuccess) return answer.status;
    auto lock = LockSnmpLibrary();
    response_ = snmp_pdu_create(SNMP_MSG_RESPONSE);
    response_->errstat = answer.errstat;
    response_->errindex = answer.errindex;
    for (const std::string& var : answer.vars) {
      const size_t equals = var.find('=');
      oid name[MAX_OID_LEN];
      const int length = ParseStartOid(var.substr(0, equals).c_str(), name, MAX_OID_LEN);
      const std::string kind = equals == std::string::npos ? "" : var.substr(equals + 1);
      if (kind.empty()) {
        const long value = 7;
        snmp_pdu_add_variable(response_, name, length, ASN_INTEGER, &value, sizeof value);
      } else {
        const u_char type = kind == "endOfMibView"   ? SNMP_ENDOFMIBVIEW
                            : kind == "noSuchObject" ? SNMP_NOSUCHOBJECT
                                                     : SNMP_NOSUCHINSTANCE;
        snmp_pdu_add_variable(response_, name, length, type, nullptr, 0);
      }
    }
    *response = response_;
    return ExchangeStatus::kSuccess;
  }

  void PrintLibraryError() override { fprintf(stderr, "snmpwalk: %s\n", error_text_.c_str()); }
  int error_code() const override { return 0; }
  const std::string& error_text() const override { return error_text_; }
  bool interrupted() const override { return false; }
  UsmReport usm_report() const override { return UsmReport::kNone; }
  void Close() override { FreeResponse(); }

  const std::vector<std::string>& requests() const { return requests_; }
  size_t unused() const { return script_.size(); }
  int opened_version() const { return opened_version_; }

 private:
  void FreeResponse() {
    if (!response_) return;
    auto lock = LockSnmpLibrary();
    snmp_free_pdu(response_);
    response_ = nullptr;
  }

  std::deque<Answer> script_;
  std::vector<std::string> requests_;
  std::string error_text_ = "scripted failure";
  netsnmp_pdu* response_ = nullptr;
  int opened_version_ = 0;
};

// The system group's first instances, and a name past its end.
const std::string kRoot = "1.3.6.1.2.1.1";
const std::string kS1 = "1.3.6.1.2.1.1.1.0", kS2 = "1.3.6.1.2.1.1.2.0", kS3 = "1.3.6.1.2.1.1.3.0",
                  kS4 = "1.3.6.1.2.1.1.4.0", kS5 = "1.3.6.1.2.1.1.5.0";
const std::string kPast = "1.3.6.1.2.1.2.1.0";

// Everything a loop said on the console and in the log.
struct Said {
  std::string text;
  bool Has(const std::string& what) const { return text.find(what) != std::string::npos; }
};

class WalkLoopTest : public testing::Test {
 protected:
  void SetUp() override { InitSnmpLibrary(); }

  template <typename Run>
  Said Captured(Run run) {
    log_.Take();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run();
    Said said;
    said.text = testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
    for (const auto& line : log_.Take()) said.text += line + "\n";
    return said;
  }

  QueuedLog log_;
  ScanSettings settings_;
};

TEST_F(WalkLoopTest, RequestsOfAWalk) {
  struct Case {
    const char* name;
    int version;
    int max_reps;
    int max_rows;
    bool check_ordering;
    std::vector<Answer> script;
    std::vector<std::string> requests;
    std::vector<std::string> rows;  // sorted
    const char* said;               // a line the walk prints or logs; "" for none in particular
    int repetitions_after;          // the target's GETBULK count after the walk
  };
  const Case cases[] = {
      {"getnext asks for the last name answered",
       2,
       0,
       0,
       true,
       {Vars({kS1}), Vars({kS2}), Vars({kPast})},
       {"next " + kRoot, "next " + kS1, "next " + kS2},
       {kS1, kS2},
       "scan end",
       0},
      {"bulk asks from the last variable of each answer",
       2,
       3,
       0,
       true,
       {Vars({kS1, kS2, kS3}), Vars({kS4, kPast, kS5})},
       {"bulk 3 " + kRoot, "bulk 3 " + kS3},
       {kS1, kS2, kS3, kS4},
       "",
       3},
      {"bulk answer: nothing after a name past the subtree is taken",
       2,
       5,
       0,
       true,
       {Vars({kS1, kPast, kS2})},
       {"bulk 5 " + kRoot},
       {kS1},
       "",
       5},
      {"getnext answer with more than asked is taken whole",
       2,
       0,
       0,
       true,
       {Vars({kS1, kPast, kS3})},
       {"next " + kRoot},
       {kS1, kS3},
       "",
       0},
      {"bulk answer: an exception ends it, the rest unread",
       2,
       5,
       0,
       true,
       {Vars({kS1, kS2 + "=endOfMibView", kS3})},
       {"bulk 5 " + kRoot},
       {kS1},
       "",
       5},
      {"getnext: noSuchObject ends the walk",
       3,
       0,
       0,
       true,
       {Vars({kS1}), Vars({kS2 + "=noSuchObject"})},
       {"next " + kRoot, "next " + kS1},
       {kS1},
       "",
       0},
      {"tooBig halves the repetitions for the rest of the walk",
       2,
       8,
       0,
       true,
       {Error(SNMP_ERR_TOOBIG), Error(SNMP_ERR_TOOBIG), Vars({kS1, kS2}), Vars({kS3, kPast})},
       {"bulk 8 " + kRoot, "bulk 4 " + kRoot, "bulk 2 " + kRoot, "bulk 2 " + kS2},
       {kS1, kS2, kS3},
       "",
       2},
      {"tooBig at one repetition is the walk's error",
       2,
       2,
       0,
       true,
       {Error(SNMP_ERR_TOOBIG), Error(SNMP_ERR_TOOBIG)},
       {"bulk 2 " + kRoot, "bulk 1 " + kRoot},
       {},
       "Error in packet. (tooBig)",
       1},
      {"time-out: one repetition, then half of what timed out",
       2,
       8,
       0,
       true,
       {Status(ExchangeStatus::kTimeout), Vars({kS1}), Vars({kS2, kS3, kS4, kPast})},
       {"bulk 8 " + kRoot, "bulk 1 " + kRoot, "bulk 4 " + kS1},
       {kS1, kS2, kS3, kS4},
       "",
       4},
      {"time-out at one repetition too: a silent target, nothing lowered",
       2,
       8,
       0,
       true,
       {Status(ExchangeStatus::kTimeout), Status(ExchangeStatus::kTimeout)},
       {"bulk 8 " + kRoot, "bulk 1 " + kRoot},
       {},
       "Timeout: No Response from 127.0.0.1",
       8},
      {"a name before the request ends the walk, kept",
       2,
       0,
       0,
       true,
       {Vars({kS2}), Vars({kS1}), Vars({kS3})},
       {"next " + kRoot, "next " + kS2},
       {kS1, kS2},
       "OID not increasing",
       0},
      {"unchecked order follows a name before the request",
       2,
       0,
       0,
       false,
       {Vars({kS2}), Vars({kS1}), Vars({kPast})},
       {"next " + kRoot, "next " + kS2, "next " + kS1},
       {kS1, kS2},
       "",
       0},
      {"unchecked order: the same name again ends the walk",
       2,
       4,
       0,
       false,
       {Vars({kS1, kS2}), Vars({kS2}), Vars({kS3})},
       {"bulk 4 " + kRoot, "bulk 4 " + kS2},
       {kS1, kS2},
       "OID repeated",
       4},
      {"an answer without variables ends the walk",
       2,
       0,
       0,
       true,
       {Vars({}), Vars({kS1})},
       {"next " + kRoot},
       {},
       "scan end",
       0},
      {"MaxRows cuts a bulk answer",
       2,
       5,
       2,
       true,
       {Vars({kS1, kS2, kS3, kS4})},
       {"bulk 5 " + kRoot},
       {kS1, kS2},
       "limit reached: MaxRows 2",
       5},
      {"MaxRows cuts even a getnext answer taken whole",
       2,
       0,
       1,
       true,
       {Vars({kS1, kS2})},
       {"next " + kRoot},
       {kS1},
       "limit reached: MaxRows 1",
       0},
      {"an interrupted exchange ends the walk",
       2,
       0,
       0,
       true,
       {Vars({kS1}), Status(ExchangeStatus::kInterrupted)},
       {"next " + kRoot, "next " + kS1},
       {kS1},
       "127.0.0.1|interrupted",
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_.max_reps = c.max_reps;
    settings_.max_rows = c.max_rows;
    Walker job("127.0.0.1", settings_);
    ScriptedExchange exchange(c.script);
    oid root[MAX_OID_LEN];
    const int root_length = ParseStartOid(kRoot.c_str(), root, MAX_OID_LEN);
    int result = -2;
    Said said;
    {
      std::unique_ptr<DontCheckOrdering> unchecked;
      if (!c.check_ordering) unchecked = std::make_unique<DontCheckOrdering>();
      said = Captured([&] {
        result = job.RunWalk(&exchange, SnmpSession::Api::kTraditional, root, root_length,
                             c.version, true)
                     ? 0
                     : -1;
      });
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(exchange.opened_version(), c.version);
    EXPECT_EQ(exchange.requests(), c.requests);
    EXPECT_EQ(Keys(job), c.rows);
    EXPECT_TRUE(said.Has(c.said)) << said.text;
    EXPECT_TRUE(said.Has("127.0.0.1|scan end")) << said.text;
    EXPECT_EQ(job.bulk_repetitions(), c.repetitions_after);
    EXPECT_EQ(job.bulk_lowered(), c.repetitions_after < c.max_reps);
  }
}

TEST_F(WalkLoopTest, RequestsOfBatchedGets) {
  // Five configured OIDs: kS1 to kS5, indexes 0 to 4.
  struct Case {
    const char* name;
    int version;
    int batch;
    int max_rows;
    std::vector<Answer> script;
    std::vector<std::string> requests;
    std::vector<size_t> left;  // items that stored nothing
    const char* said;
  };
  const std::vector<std::string> configured = {kS1, kS2, kS3, kS4, kS5};
  const std::string all = kS1 + " " + kS2 + " " + kS3 + " " + kS4 + " " + kS5;
  const Case cases[] = {
      {"batches of the setting's size in list order",
       2,
       2,
       0,
       {Vars({kS1, kS2}), Vars({kS3, kS4}), Vars({kS5})},
       {"get " + kS1 + " " + kS2, "get " + kS3 + " " + kS4, "get " + kS5},
       {},
       ""},
      {"noSuchName takes the named OID out and sends the rest again",
       1,
       5,
       0,
       {Error(SNMP_ERR_NOSUCHNAME, 2), Error(SNMP_ERR_NOSUCHNAME, 4), Vars({kS1, kS3, kS4})},
       {"get " + all, "get " + kS1 + " " + kS3 + " " + kS4 + " " + kS5,
        "get " + kS1 + " " + kS3 + " " + kS4},
       {1, 4},
       "End of MIB"},
      {"noSuchName naming no OID of the batch fails the batch",
       1,
       3,
       0,
       {Error(SNMP_ERR_NOSUCHNAME, 4), Vars({kS4, kS5})},
       {"get " + kS1 + " " + kS2 + " " + kS3, "get " + kS4 + " " + kS5},
       {0, 1, 2},
       "End of MIB"},
      {"tooBig halves the batch and sends the same names again",
       2,
       4,
       0,
       {Error(SNMP_ERR_TOOBIG), Vars({kS1, kS2}), Vars({kS3, kS4}), Vars({kS5})},
       {"get " + kS1 + " " + kS2 + " " + kS3 + " " + kS4, "get " + kS1 + " " + kS2,
        "get " + kS3 + " " + kS4, "get " + kS5},
       {},
       ""},
      {"tooBig for one name fails that name only",
       2,
       2,
       0,
       {Error(SNMP_ERR_TOOBIG), Error(SNMP_ERR_TOOBIG), Vars({kS2}), Vars({kS3}), Vars({kS4}),
        Vars({kS5})},
       {"get " + kS1 + " " + kS2, "get " + kS1, "get " + kS2, "get " + kS3, "get " + kS4,
        "get " + kS5},
       {0},
       "Error in packet. (tooBig)"},
      {"an answer short of variables leaves the rest pending",
       2,
       5,
       0,
       {Vars({kS1, kS2})},
       {"get " + all},
       {2, 3, 4},
       ""},
      {"a name outside its OID stores nothing for that OID",
       2,
       5,
       0,
       {Vars({kS1, kS5, kS3, kS4, kS5})},
       {"get " + all},
       {1},
       ""},
      {"an exception value stores nothing for that OID",
       2,
       3,
       0,
       {Vars({kS1, kS2 + "=noSuchInstance", kS3}), Vars({kS4 + "=noSuchObject", kS5})},
       {"get " + kS1 + " " + kS2 + " " + kS3, "get " + kS4 + " " + kS5},
       {1, 3},
       ""},
      {"MaxRows ends the pass",
       2,
       2,
       2,
       {Vars({kS1, kS2}), Vars({kS3, kS4})},
       {"get " + kS1 + " " + kS2},
       {2, 3, 4},
       "limit reached: MaxRows 2"},
      {"the interrupt ends the pass",
       2,
       2,
       0,
       {Vars({kS1, kS2}), Status(ExchangeStatus::kInterrupted), Vars({kS5})},
       {"get " + kS1 + " " + kS2, "get " + kS3 + " " + kS4},
       {2, 3, 4},
       "127.0.0.1|interrupted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_.get_batch = c.batch;
    settings_.max_rows = c.max_rows;
    Walker job("127.0.0.1", settings_);
    std::vector<BatchItem> items;
    for (const std::string& text : configured) {
      oid root[MAX_OID_LEN];
      const int length = ParseStartOid(text.c_str(), root, MAX_OID_LEN);
      items.push_back(BatchItem{items.size(), {}});
      items.back().cursor.StartAt(root, static_cast<size_t>(length));
    }
    ScriptedExchange exchange(c.script);
    const Said said = Captured(
        [&] { job.RunBatchPass(&exchange, SnmpSession::Api::kTraditional, c.version, &items); });
    std::vector<size_t> left;
    for (const BatchItem& item : items) left.push_back(item.index);
    EXPECT_EQ(exchange.requests(), c.requests);
    EXPECT_EQ(left, c.left);
    std::vector<std::string> rows;
    for (size_t i = 0; i < configured.size(); ++i)
      if (std::find(c.left.begin(), c.left.end(), i) == c.left.end()) rows.push_back(configured[i]);
    EXPECT_EQ(Keys(job), rows);
    EXPECT_TRUE(said.Has(c.said)) << said.text;
    EXPECT_TRUE(said.Has("127.0.0.1|scan end")) << said.text;
  }
}

}  // namespace
