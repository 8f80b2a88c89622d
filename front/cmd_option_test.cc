#include "cmd_option.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "line_fixture.h"
#include "relka_main.h"

namespace {

struct parsed {
  std::vector<cmd_option> table = std::vector<cmd_option>(cmd_table_size);

  explicit parsed(const std::vector<std::string>& args) {
    register_relka_options(table.data());
    std::vector<const char*> argv = {"relka"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    parse_command_line(static_cast<int>(argv.size()), argv.data(), table.data());
  }

  std::vector<std::string> free_args() const {
    std::vector<std::string> out;
    for (int i = opt_end; i < cmd_table_size && table[i].given; ++i)
      out.push_back(table[i].value);
    return out;
  }

  // Which options were given, as their short names: "d s".
  std::string given() const {
    std::string out;
    for (int i = 0; i < opt_end; ++i)
      if (table[i].given) out += std::string(out.empty() ? "" : " ") + table[i].short_name;
    return out;
  }
};

struct parse_case {
  std::vector<std::string> args;
  std::string given;
  std::string device;
  std::string set;
  std::string address;
  std::vector<std::string> free;
};

void PrintTo(const parse_case& c, std::ostream* os) { *os << testing::PrintToString(c.args); }


class consequences_test : public testing::TestWithParam<parse_case> {};

TEST_P(consequences_test, DriverTable) {
  const parse_case& c = GetParam();
  parsed p(c.args);
  EXPECT_EQ(c.given, p.given());
  EXPECT_EQ(c.device, p.table[opt_device].value);
  EXPECT_EQ(c.set, p.table[opt_set].value);
  EXPECT_EQ(c.address, p.table[opt_address].value);
  EXPECT_EQ(c.free, p.free_args());
}

const std::string tty = "/dev/ttyS1";

INSTANTIATE_TEST_SUITE_P(
    Forms, consequences_test,
    testing::Values(
        parse_case{{}, "", "", "", "", {}},
        parse_case{{"-d", tty}, "d", tty, "", "", {}},
        parse_case{{"-d" + tty}, "d", tty, "", "", {}},
        parse_case{{"--device", tty}, "d", tty, "", "", {}},
        parse_case{{"--device" + tty}, "d", tty, "", "", {}},
        parse_case{{"--device=" + tty}, "d", "=" + tty, "", "", {}},
        parse_case{{"-d   " + tty}, "d", tty, "", "", {}},
        parse_case{{"-d\t" + tty}, "d", "\t" + tty, "", "", {}},
        parse_case{{"-s5", "-a", "1"}, "s a", "", "5", "1", {}},
        parse_case{{"--dev", tty}, "", "", "", "", {"--dev", tty}},
        parse_case{{"--quiet"}, "", "", "", "", {"--quiet"}},
        parse_case{{"--quite"}, "q", "", "", "", {}},
        parse_case{{"-qv"}, "", "", "", "", {"-qv"}},
        parse_case{{"--helpme"}, "", "", "", "", {"--helpme"}},
        parse_case{{"-s", "-q"}, "s", "", "-q", "", {}},
        parse_case{{"-s"}, "s", "", "", "", {}},
        parse_case{{"-"}, "", "", "", "", {"-"}},
        parse_case{{"--"}, "", "", "", "", {"--"}},
        parse_case{{"-x"}, "", "", "", "", {"-x"}},
        parse_case{{"-s", "1", "-s", "2"}, "s", "", "2", "", {}},
        parse_case{{"-s", "-h"}, "s", "", "-h", "", {}},
        parse_case{{"-h", "-q", "-v"}, "v h q", "", "", "", {}},
        parse_case{{"-d   "}, "d", "", "", "", {}},
        parse_case{{"-a", "2", "-d"}, "d a", "", "", "2", {}},
        parse_case{{"a", "-d", "x", "b"}, "d", "x", "", "", {"a", "b"}},
        parse_case{{"--set 7"}, "s", "", "7", "", {}},
        parse_case{{"-s 12 "}, "s", "", "12 ", "", {}}));

TEST(cmd_option_test, LongValuesAreCutAndMarked) {
  std::string long_path(300, 'p');
  parsed p({"-d", long_path, "-a", std::string(255, '7')});
  EXPECT_EQ(long_path.substr(0, 255), p.table[opt_device].value);
  EXPECT_EQ(1, p.table[opt_device].cut);
  EXPECT_EQ(0, p.table[opt_address].cut);
  EXPECT_EQ(255u, std::string(p.table[opt_address].value).size());
}

TEST(cmd_option_test, SurplusFreeArgumentsAreDropped) {
  std::vector<std::string> args;
  for (int i = 0; i < 300; ++i) args.push_back("free" + std::to_string(i));
  parsed p(args);
  std::vector<std::string> kept = p.free_args();
  ASSERT_EQ(249u, kept.size());
  EXPECT_EQ("free248", kept.back());
}

TEST(cmd_option_test, ReparsingForgetsTheEarlierRun) {
  std::vector<cmd_option> table(cmd_table_size);
  register_relka_options(table.data());
  const char* first[] = {"relka", "-d", "/dev/a", "loose"};
  parse_command_line(4, first, table.data());
  const char* second[] = {"relka", "-s", "3"};
  parse_command_line(3, second, table.data());
  EXPECT_FALSE(table[opt_device].given);
  EXPECT_STREQ("", table[opt_device].value);
  EXPECT_STREQ("3", table[opt_set].value);
}

// A general table: upper-case values, empty names matching everything.
TEST(cmd_option_test, UpperCasePassChangesOnlyFlaggedValues) {
  std::vector<cmd_option> table(cmd_table_size);
  register_option(table.data(), 0, "name", "n", 1, 1);
  register_option(table.data(), 1, "other", "o", 1, 0);
  register_option(table.data(), 2, "", "", 0, 0);
  const char* argv[] = {"prog", "-nabc-xyz\xe4", "-o", "low", "free"};
  parse_command_line(5, argv, table.data());
  EXPECT_STREQ("ABC-XYZ\xe4", table[0].value);
  EXPECT_STREQ("low", table[1].value);
  EXPECT_STREQ("free", table[2].value);
}

TEST(cmd_option_test, EmptyLongNameMatchesEveryLongForm) {
  std::vector<cmd_option> table(cmd_table_size);
  register_option(table.data(), 0, "", "x", 1, 0);
  register_option(table.data(), 1, "never", "n", 0, 0);
  register_option(table.data(), 2, "", "", 0, 0);
  const char* argv[] = {"prog", "--never"};
  parse_command_line(2, argv, table.data());
  EXPECT_TRUE(table[0].given);
  EXPECT_STREQ("never", table[0].value);
  EXPECT_FALSE(table[1].given);
}

}  // namespace

namespace {

struct response_case {
  const char* name;
  std::string content;
  std::vector<std::string> extra;  // command-line arguments after "@file"
  std::string given;
  std::string device;
  std::string set;
  std::string address;
};

void PrintTo(const response_case& c, std::ostream* os) { *os << c.name; }

class response_file_test : public testing::TestWithParam<response_case> {};

TEST_P(response_file_test, LinesReplaceTheCommandLine) {
  const response_case& c = GetParam();
  scoped_folder folder;
  scoped_file file(folder.file("args.rsp"), c.content);
  std::vector<std::string> args = {"@" + file.path()};
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  testing::internal::CaptureStdout();
  parsed p(args);
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ(c.given, p.given());
  EXPECT_EQ(c.device, p.table[opt_device].value);
  EXPECT_EQ(c.set, p.table[opt_set].value);
  EXPECT_EQ(c.address, p.table[opt_address].value);
}

const std::string kLong(1100, 'y');

INSTANTIATE_TEST_SUITE_P(
    Files, response_file_test,
    testing::Values(
        response_case{"OneOptionPerLine", "-d /dev/ttyS1\n--set 5\n-a2\n", {}, "d s a",
                      "/dev/ttyS1", "5", "2"},
        response_case{"LaterArgumentsIgnored", "-s 3\n", {"-s", "1", "-q"}, "s", "", "3", ""},
        response_case{"CarriageReturns", "-d /dev/ttyS1\r\n-s 7\r\n", {}, "d s",
                      "/dev/ttyS1", "7", ""},
        response_case{"CarriageReturnInside", "-s 1\r2\n", {}, "s", "", "12", ""},
        response_case{"LastLineWithoutLineFeed", "-a 4\n-s 9", {}, "s a", "", "9", "4"},
        response_case{"NoOptionLine", "/dev/ttyS1\n5\n\n", {}, "", "", "", ""},
        response_case{"Empty", "", {}, "", "", "", ""},
        response_case{"ValueOnItsOwnLineIsSkipped", "-s\n5\n", {}, "s", "", "", ""},
        response_case{"NextKeptLineIsTheValue", "-s\n5\n-a 3\n", {}, "s", "", "-a 3", ""},
        response_case{"TabAfterOptionKept", "-d\t/dev/ttyS1\n", {}, "d", "\t/dev/ttyS1", "",
                      ""},
        response_case{"TrailingSpacesKept", "-d /dev/ttyS1  \n", {}, "d", "/dev/ttyS1  ", "",
                      ""},
        response_case{"IndentedLinesSkipped", " -s 1\n\t-a 2\n", {}, "", "", "", ""},
        response_case{"NoNesting", "@other.rsp\n-s 2\n", {}, "s", "", "2", ""},
        response_case{"LongLineCutIntoPieces", "-d " + kLong + "\n-s 6\n", {}, "d s",
                      kLong.substr(0, 255), "6", ""},
        response_case{"LaterPieceCountsIfItIsAnOption",
                      "#" + std::string(1022, 'z') + "-a 5\n", {}, "a", "", "", "5"}));

TEST(response_file_test, UnreadableFileIsReportedAndLeavesDefaults) {
  testing::internal::CaptureStdout();
  parsed p({"@/nonexistent/relka.rsp", "-s", "1"});
  EXPECT_EQ("Can't access file '/nonexistent/relka.rsp'\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ("", p.given());
  EXPECT_TRUE(p.free_args().empty());
}

TEST(response_file_test, BareAtNamesNoFile) {
  testing::internal::CaptureStdout();
  parsed p({"@"});
  EXPECT_EQ("Can't access file ''\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", p.given());
}

}  // namespace
