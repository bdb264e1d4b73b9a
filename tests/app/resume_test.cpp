// --resume's plan from the summaries in a run folder: which targets are
// scanned again, which rows are carried over, and summary files read back.
#include "app/resume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "output/summary_file.h"
#include "support/test_util.h"

namespace {

SummaryRow Row(const std::string& target, const std::string& outcome) {
  SummaryRow row;
  row.target = target;
  row.outcome = outcome;
  row.versions = outcome == "answered" ? "1 2c" : "";
  row.rows = outcome == "answered" ? 12 : 0;
  row.seconds = 1.5;
  row.result_file = target + ".xml";
  row.detail = outcome == "no_answer" ? "v1, v2c and v3 silent" : "";
  return row;
}

void Write(const std::string& path, const std::vector<SummaryRow>& rows) {
  std::string error;
  ASSERT_TRUE(WriteSummaryFile(path, rows, &error)) << error;
}

// Modification times a second apart, so "newer" does not hang on the clock.
void SetMtime(const std::string& path, time_t when) {
  struct timespec times[2] = {{when, 0}, {when, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(SummaryFile, ReadsBackWhatItWrites) {
  testutil::TempDir dir;
  SummaryRow odd = Row("udp6:[::1]:161", "open_failed");
  odd.detail = "a \"quoted\", two\r\nline detail";
  odd.seconds = 12.345;
  const std::vector<SummaryRow> rows = {Row("a", "answered"), odd, Row("b", "interrupted")};
  Write(dir / "summary.csv", rows);
  std::vector<SummaryRow> read;
  std::string error;
  ASSERT_TRUE(ReadSummaryFile(dir / "summary.csv", &read, &error)) << error;
  EXPECT_EQ(SummaryCsv(read), SummaryCsv(rows));

  EXPECT_FALSE(ReadSummaryFile(dir / "missing.csv", &read, &error));
  EXPECT_EQ(error, "");
  for (const std::string& bad :
       {std::string("target,outcome\r\na,answered\r\n"),
        std::string("target,outcome,versions,rows,seconds,result_file,detail\r\na,answered\r\n"),
        std::string(
            "target,outcome,versions,rows,seconds,result_file,detail\r\n\"a,b,c,d,e,f,g\r\n")}) {
    testutil::WriteFile(dir / "bad.csv", bad);
    EXPECT_FALSE(ReadSummaryFile(dir / "bad.csv", &read, &error)) << bad;
    EXPECT_NE(error, "") << bad;
    EXPECT_TRUE(read.empty());
  }
}

TEST(ResumePlan, ScansWhatIsNotDoneAndCarriesTheRest) {
  testutil::TempDir dir;
  SummaryRow unwritten = Row("unwritten", "answered");
  unwritten.result_file = "";
  Write(dir / "summary.csv",
        {Row("answered", "answered"), Row("empty", "empty"), Row("silent", "no_answer"),
         Row("refused", "auth_failed"), Row("cut", "interrupted"), Row("bad", "open_failed"),
         Row("gone", "answered"), Row("deleted", "answered"), unwritten});
  for (const char* file : {"answered.xml", "empty.xml", "silent.xml", "unwritten.xml"})
    testutil::WriteFile(dir / file, "");
  const std::vector<std::string> list = {"new",     "answered", "silent",  "empty",     "cut",
                                         "refused", "bad",      "deleted", "unwritten", "answered"};
  const ResumePlan plan = PlanResume(dir.path(), list);
  EXPECT_EQ(plan.to_scan, (std::vector<std::string>{"new", "silent", "cut", "refused", "bad",
                                                    "deleted", "unwritten"}));
  ASSERT_EQ(plan.carried.size(), list.size());

  std::vector<SummaryRow> scanned;
  for (const std::string& t : plan.to_scan) scanned.push_back(Row(t, "answered"));
  std::vector<std::string> merged;
  for (const SummaryRow& r : MergeResumedRows(plan, scanned))
    merged.push_back(r.target + "/" + r.outcome);
  EXPECT_EQ(merged, (std::vector<std::string>{
                        "new/answered", "answered/answered", "silent/answered", "empty/empty",
                        "cut/answered", "refused/answered", "bad/answered", "deleted/answered",
                        "unwritten/answered", "answered/answered"}));
}

TEST(ResumePlan, NewerSummaryWinsAndShardSummariesCount) {
  testutil::TempDir dir;
  Write(dir / "summary.csv", {Row("a", "answered"), Row("b", "no_answer")});
  Write(dir / "summary-2-of-3.csv", {Row("a", "interrupted"), Row("c", "answered")});
  Write(dir / "summary-x-of-3.csv", {Row("d", "answered")});  // not a shard's name
  for (const char* file : {"a.xml", "b.xml", "c.xml", "d.xml"}) testutil::WriteFile(dir / file, "");
  SetMtime(dir / "summary.csv", 1000000);
  SetMtime(dir / "summary-2-of-3.csv", 2000000);
  EXPECT_EQ(PlanResume(dir.path(), {"a", "b", "c", "d"}).to_scan,
            (std::vector<std::string>{"a", "b", "d"}));
  SetMtime(dir / "summary.csv", 3000000);
  EXPECT_EQ(PlanResume(dir.path(), {"a", "b", "c", "d"}).to_scan,
            (std::vector<std::string>{"b", "d"}));

  for (const auto& [name, shard] :
       std::vector<std::pair<std::string, bool>>{{"summary-1-of-1.csv", true},
                                                 {"summary-12-of-40.csv", true},
                                                 {"summary--of-4.csv", false},
                                                 {"summary-1-of-.csv", false},
                                                 {"summary-1-of-4.csv.tmp", false},
                                                 {"summary.csv", false}})
    EXPECT_EQ(IsShardSummaryName(name), shard) << name;
}

}  // namespace
