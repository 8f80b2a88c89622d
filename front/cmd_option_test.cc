// SPDX-License-Identifier: MIT
#include "front/cmd_option.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "front/relka_main.h"
#include "tests/case_name.h"
#include "tests/relka_table.h"

namespace {

struct parse_case {
  std::vector<std::string> args;
  std::string given;
  std::string device;
  std::string set;
  std::string address;
  std::vector<std::string> free;
};

void PrintTo(const parse_case& c, std::ostream* os) {
  *os << testing::PrintToString(c.args);
}

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
    testing::Values(parse_case{{}, "", "", "", "", {}},
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
                    parse_case{
                        {"a", "-d", "x", "b"}, "d", "x", "", "", {"a", "b"}},
                    parse_case{{"--set 7"}, "s", "", "7", "", {}},
                    parse_case{{"-s 12 "}, "s", "", "12 ", "", {}}),
    [](const testing::TestParamInfo<parse_case>& c) {
      std::string args;
      for (const std::string& arg : c.param.args) args += " " + arg;
      return indexed(c, args);
    });

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
  args.reserve(300);
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

// The table a run parses into starts all zero, however big, and holds a
// full parse like any other.
TEST(cmd_option_test, TableStartsZeroAndHoldsAParse) {
  cmd_table table;
  ASSERT_TRUE(table);
  const char zero[sizeof(cmd_option)] = {};
  for (int i = 0; i < cmd_table_size; ++i)
    ASSERT_EQ(0, memcmp(zero, &table[i], sizeof zero)) << "entry " << i;
  register_relka_options(table.data());
  const char* argv[] = {"relka", "-d", "/dev/a", "--set5", "loose"};
  parse_command_line(5, argv, table.data());
  EXPECT_STREQ("/dev/a", table[opt_device].value);
  EXPECT_STREQ("5", table[opt_set].value);
  EXPECT_EQ(table.data(), &table[0]);
}

}  // namespace
