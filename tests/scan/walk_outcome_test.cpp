#include "scan/walk_outcome.h"

#include <gtest/gtest.h>

#include <functional>

#include "output/summary_file.h"

namespace {

// Which outcome wins when a job's walks met several things.
TEST(DecideOutcomeTest, Precedence) {
  struct Case {
    const char* name;
    std::function<void(WalkTally&)> walks;
    size_t rows;
    TargetOutcome outcome;
    const char* detail;
  };
  const Case cases[] = {
      {"rows, then the interrupt", [](WalkTally& t) { t.NoteAnswer(1), t.NoteInterrupted(); }, 5,
       TargetOutcome::kInterrupted, ""},
      {"v1 silent, v2c stored", [](WalkTally& t) { t.NoteSilent(1), t.NoteAnswer(2); }, 3,
       TargetOutcome::kAnswered, "v1 silent"},
      {"timed out midway after answers", [](WalkTally& t) { t.NoteAnswer(1), t.NoteSilent(1); }, 3,
       TargetOutcome::kAnswered, ""},
      {"refused OID beside a silent one",
       [](WalkTally& t) { t.NoteSilent(1), t.NoteInvalidOid("."); }, 0, TargetOutcome::kInvalidOid,
       "."},
      {"account refused although v1 answered",
       [](WalkTally& t) { t.NoteAnswer(1), t.NoteAuthFailure("wrong digest", true); }, 0,
       TargetOutcome::kAuthFailed, "wrong digest"},
      {"empty view, then v3 without an account",
       [](WalkTally& t) {
         t.NoteAnswer(1), t.NoteAnswer(2), t.NoteAuthFailure("unknown user", false);
       },
       0, TargetOutcome::kEmpty, "v1 and v2c answered, nothing stored"},
      {"error status",
       [](WalkTally& t) { t.NoteAnswer(2), t.NoteOtherFailure("error in packet: genErr"); }, 0,
       TargetOutcome::kEmpty, "v2c answered, nothing stored (error in packet: genErr)"},
      {"only v3 speaks, no account",
       [](WalkTally& t) {
         t.NoteSilent(1), t.NoteSilent(2), t.NoteAuthFailure("unknown user", false);
       },
       0, TargetOutcome::kAuthFailed, "unknown user (no account); v1 and v2c silent"},
      {"open failed",
       [](WalkTally& t) { t.NoteOpenFailure("Unknown host (x)"), t.NoteOpenFailure("later"); }, 0,
       TargetOutcome::kOpenFailed, "Unknown host (x)"},
      {"silent", [](WalkTally& t) { t.NoteSilent(1), t.NoteSilent(2), t.NoteSilent(3); }, 0,
       TargetOutcome::kNoAnswer, "v1, v2c and v3 silent"},
      {"send failed, nothing else", [](WalkTally& t) { t.NoteOtherFailure("Bad sendto"); }, 0,
       TargetOutcome::kNoAnswer, "Bad sendto"},
  };
  for (const Case& c : cases) {
    WalkTally tally;
    c.walks(tally);
    const OutcomeDecision d = DecideOutcome(tally, c.rows);
    EXPECT_EQ(OutcomeName(d.outcome), std::string(OutcomeName(c.outcome))) << c.name;
    EXPECT_EQ(d.detail, c.detail) << c.name;
  }
}

TEST(SummaryCsvTest, QuotesWhatRfc4180Requires) {
  const std::pair<const char*, const char*> fields[] = {
      {"127.0.0.1", "127.0.0.1"},
      {"", ""},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"lf\n", "\"lf\n\""},
      {" spaced ", " spaced "},
  };
  for (const auto& [in, out] : fields) EXPECT_EQ(CsvField(in), out) << in;

  SummaryRow row;
  row.target = "10.0.0.1_[1.3,6]";
  row.outcome = "answered";
  row.versions = "1 2c";
  row.rows = 12;
  row.seconds = 1.5;
  row.result_file = "10.0.0.1_[1.3,6].xml";
  EXPECT_EQ(SummaryCsv({row}),
            "target,outcome,versions,rows,seconds,result_file,detail\r\n"
            "\"10.0.0.1_[1.3,6]\",answered,1 2c,12,1.500,\"10.0.0.1_[1.3,6].xml\",\r\n");
}

}  // namespace
