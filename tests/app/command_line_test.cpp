#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> targets;
  std::string oid;
};

TEST(CommandLine, FormsTable) {
  const Case cases[] = {
      {"no arguments", {}, {}, ""},
      {"single target trimmed", {"  10.0.0.1\t"}, {"10.0.0.1"}, ""},
      {"single empty argument", {""}, {""}, ""},
      {"single blank argument", {" \t\r\n\v\f"}, {""}, ""},
      {"comma list, doubled comma skipped", {"10.0.0.1,,10.0.0.2"}, {"10.0.0.1", "10.0.0.2"}, ""},
      {"comma list, blanks trimmed", {" 10.0.0.1 , 10.0.0.2 "}, {"10.0.0.1", "10.0.0.2"}, ""},
      {"comma, blank, comma gives an empty entry", {"10.0.0.1, ,10.0.0.2"}, {"10.0.0.1", "", "10.0.0.2"}, ""},
      {"leading and trailing comma", {",10.0.0.1,"}, {"10.0.0.1"}, ""},
      {"only commas", {",,,"}, {}, ""},
      {"oid form, capitals", {"OID", "1.3.6.1.2.1.1", " 10.0.0.1 "}, {"10.0.0.1"}, "1.3.6.1.2.1.1"},
      {"oid form keeps blanks around the OID", {"oId", " 1.3.6 ", "10.0.0.1"}, {"10.0.0.1"}, " 1.3.6 "},
      {"oid form does not split the target", {"oid", "1.3", "a,b"}, {"a,b"}, "1.3"},
      {"two arguments starting with oid", {"oid", "10.0.0.1"}, {"oid", "10.0.0.1"}, ""},
      {"four arguments starting with oid", {"oid", "1.3", "10.0.0.1", "10.0.0.2"},
       {"oid", "1.3", "10.0.0.1", "10.0.0.2"}, ""},
      {"three arguments, first not oid", {"a", " b ", "c"}, {"a", "b", "c"}, ""},
      {"oids is not oid", {"oids", "1.3", "x"}, {"oids", "1.3", "x"}, ""},
      {"several arguments are not split", {"10.0.0.1,10.0.0.2", "10.0.0.3"},
       {"10.0.0.1,10.0.0.2", "10.0.0.3"}, ""},
      {"empty arguments among several", {"", "x"}, {"", "x"}, ""},
  };
  for (const auto& c : cases) {
    CommandLine cl = ParseCommandLine(c.args);
    EXPECT_EQ(cl.targets, c.targets) << c.name;
    EXPECT_EQ(cl.oid, c.oid) << c.name;
  }
}

TEST(CommandLine, ManyAndLongTargets) {
  std::string longest(1 << 20, 'a');
  std::vector<std::string> args(5000, "10.0.0.1");
  args.push_back(longest);
  CommandLine cl = ParseCommandLine(args);
  ASSERT_EQ(cl.targets.size(), 5001u);
  EXPECT_EQ(cl.targets.back(), longest);

  std::string list;
  for (int i = 0; i < 3000; ++i) list += "10.0.0." + std::to_string(i % 256) + ",";
  EXPECT_EQ(ParseCommandLine({list}).targets.size(), 3000u);
}

}  // namespace
