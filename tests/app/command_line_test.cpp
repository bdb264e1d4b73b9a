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
      {"comma, blank, comma gives an empty entry",
       {"10.0.0.1, ,10.0.0.2"},
       {"10.0.0.1", "", "10.0.0.2"},
       ""},
      {"leading and trailing comma", {",10.0.0.1,"}, {"10.0.0.1"}, ""},
      {"only commas", {",,,"}, {}, ""},
      {"oid form, capitals", {"OID", "1.3.6.1.2.1.1", " 10.0.0.1 "}, {"10.0.0.1"}, "1.3.6.1.2.1.1"},
      {"oid form keeps blanks around the OID",
       {"oId", " 1.3.6 ", "10.0.0.1"},
       {"10.0.0.1"},
       " 1.3.6 "},
      {"oid form does not split the target", {"oid", "1.3", "a,b"}, {"a,b"}, "1.3"},
      {"two arguments starting with oid", {"oid", "10.0.0.1"}, {"oid", "10.0.0.1"}, ""},
      {"four arguments starting with oid",
       {"oid", "1.3", "10.0.0.1", "10.0.0.2"},
       {"oid", "1.3", "10.0.0.1", "10.0.0.2"},
       ""},
      {"three arguments, first not oid", {"a", " b ", "c"}, {"a", "b", "c"}, ""},
      {"oids is not oid", {"oids", "1.3", "x"}, {"oids", "1.3", "x"}, ""},
      {"several arguments are not split",
       {"10.0.0.1,10.0.0.2", "10.0.0.3"},
       {"10.0.0.1,10.0.0.2", "10.0.0.3"},
       ""},
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

namespace {

struct OptionCase {
  const char* name;
  std::vector<std::string> args;
  bool ok;
  std::string error_names;        // the option the message must name, when refused
  std::vector<std::string> rest;  // arguments left for the command-line forms
  RunOptions expected;
};

TEST(CommandLine, OptionsTable) {
  auto opts = [](std::string dir, std::string file, uint32_t k, uint32_t n) {
    RunOptions o;
    o.dir = std::move(dir);
    o.targets_file = std::move(file);
    o.shard = k;
    o.shard_count = n;
    return o;
  };
  const RunOptions none;
  RunOptions help = opts("d", "", 0, 0);
  help.help = true;
  RunOptions version;
  version.version = true;
  const OptionCase cases[] = {
      {"no arguments", {}, true, "", {}, none},
      {"forms untouched without options", {"oid", "1.3", "x"}, true, "", {"oid", "1.3", "x"}, none},
      {"all three",
       {"--dir", "/srv/scan", "--targets", "list.txt", "--shard", "2/5", "a,b"},
       true,
       "",
       {"a,b"},
       opts("/srv/scan", "list.txt", 2, 5)},
      {"any order",
       {"--shard", "1/1", "--targets", "-", "--dir", "d"},
       true,
       "",
       {},
       opts("d", "-", 1, 1)},
      {"K equal to N", {"--shard", "7/7"}, true, "", {}, opts("", "", 7, 7)},
      {"largest N",
       {"--shard", "4294967295/4294967295"},
       true,
       "",
       {},
       opts("", "", 4294967295u, 4294967295u)},
      {"value may start with --", {"--dir", "--odd"}, true, "", {}, opts("--odd", "", 0, 0)},
      {"option after a target",
       {"x", "--dir", "d"},
       false,
       "options go before the targets: --dir",
       {},
       none},
      {"option after options and a target",
       {"--dir", "d", "a,b", "--shard", "1/2"},
       false,
       "options go before the targets: --shard",
       {},
       none},
      {"unknown option after the targets",
       {"a", "b", "c", "--verbose"},
       false,
       "options go before the targets: --verbose",
       {},
       none},
      {"oid form with four arguments is a target list",
       {"oid", "1.3", "x", "--dir"},
       false,
       "options go before the targets: --dir",
       {},
       none},
      {"-- after a target is refused too",
       {"x", "--"},
       false,
       "options go before the targets: --",
       {},
       none},
      {"oid form's target may start with --",
       {"oid", "1.3", "--x"},
       true,
       "",
       {"oid", "1.3", "--x"},
       none},
      {"option after oid is a target",
       {"oid", "--shard", "1/2"},
       true,
       "",
       {"oid", "--shard", "1/2"},
       none},
      {"-- ends the options",
       {"--dir", "d", "--", "--shard", "x"},
       true,
       "",
       {"--shard", "x"},
       opts("d", "", 0, 0)},
      {"-- alone", {"--"}, true, "", {}, none},
      {"second -- is a target", {"--", "--"}, true, "", {"--"}, none},
      {"after -- a target may start with --", {"--", "a", "--b"}, true, "", {"a", "--b"}, none},
      {"single dash is a target", {"-", "x"}, true, "", {"-", "x"}, none},
      {"blank before -- is a target", {" --dir", "d"}, true, "", {" --dir", "d"}, none},
      {"help among options", {"--dir", "d", "--help", "x"}, true, "", {"x"}, help},
      {"version as an option", {"--version", "--"}, true, "", {}, version},
      {"missing dir", {"--dir"}, false, "--dir", {}, none},
      {"empty dir", {"--dir", ""}, false, "--dir", {}, none},
      {"missing targets file", {"--shard", "1/2", "--targets"}, false, "--targets", {}, none},
      {"empty targets file name", {"--targets", ""}, false, "--targets", {}, none},
      {"missing shard", {"--shard"}, false, "--shard", {}, none},
      {"shard K zero", {"--shard", "0/3"}, false, "--shard", {}, none},
      {"shard K above N", {"--shard", "4/3"}, false, "--shard", {}, none},
      {"shard N zero", {"--shard", "0/0"}, false, "--shard", {}, none},
      {"shard without slash", {"--shard", "3"}, false, "--shard", {}, none},
      {"shard two slashes", {"--shard", "1/2/3"}, false, "--shard", {}, none},
      {"shard empty K", {"--shard", "/3"}, false, "--shard", {}, none},
      {"shard empty N", {"--shard", "1/"}, false, "--shard", {}, none},
      {"shard sign", {"--shard", "+1/3"}, false, "--shard", {}, none},
      {"shard negative", {"--shard", "-1/3"}, false, "--shard", {}, none},
      {"shard blanks", {"--shard", "1 / 3"}, false, "--shard", {}, none},
      {"shard trailing junk", {"--shard", "1/3x"}, false, "--shard", {}, none},
      {"shard overflow", {"--shard", "1/4294967296"}, false, "--shard", {}, none},
      {"shard given twice", {"--shard", "1/2", "--shard", "2/2"}, false, "--shard", {}, none},
      {"dir given twice", {"--dir", "a", "--dir", "a"}, false, "--dir", {}, none},
      {"equals form not recognised", {"--dir=d"}, false, "--dir=d", {}, none},
      {"unknown option", {"--verbose", "x"}, false, "--verbose", {}, none},
      {"wrong case", {"--DIR", "d"}, false, "--DIR", {}, none},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    RunOptions o;
    std::string error;
    const bool ok = TakeOptions(&args, &o, &error);
    ASSERT_EQ(ok, c.ok) << c.name << ": " << error;
    if (!ok) {
      EXPECT_EQ(error.rfind(c.error_names, 0), 0u) << c.name << ": " << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
      continue;
    }
    EXPECT_EQ(args, c.rest) << c.name;
    EXPECT_EQ(o.dir, c.expected.dir) << c.name;
    EXPECT_EQ(o.targets_file, c.expected.targets_file) << c.name;
    EXPECT_EQ(o.shard, c.expected.shard) << c.name;
    EXPECT_EQ(o.shard_count, c.expected.shard_count) << c.name;
    EXPECT_EQ(o.help, c.expected.help) << c.name;
    EXPECT_EQ(o.version, c.expected.version) << c.name;
  }
}

TEST(CommandLine, UnknownOptionIsEchoedSafely) {
  std::vector<std::string> args = {"--x\x1b]0;title\a" + std::string(1000, 'y')};
  RunOptions o;
  std::string error;
  ASSERT_FALSE(TakeOptions(&args, &o, &error));
  EXPECT_LT(error.size(), 200u);
  for (char c : error) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << error;
}

}  // namespace
