// SPDX-License-Identifier: MIT
#include "front/response_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/relka_main.h"
#include "tests/capture.h"
#include "tests/case_name.h"
#include "tests/line_fixture.h"
#include "tests/relka_table.h"

namespace {

struct removal_case {
  std::string text;
  char c;
  std::string result;
};

class remove_char_test : public testing::TestWithParam<removal_case> {};

TEST_P(remove_char_test, RemovesEveryOccurrenceInPlace) {
  std::string buffer = GetParam().text;
  remove_char(&buffer[0], GetParam().c);
  // The text ends at its first NUL.
  EXPECT_EQ(GetParam().result, std::string(&buffer[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, remove_char_test,
    testing::Values(removal_case{"-d /dev/x\r\n", '\n', "-d /dev/x\r"},
                    removal_case{"\r-s\r5\r", '\r', "-s5"},
                    removal_case{"", '\n', ""}, removal_case{"nnnn", 'n', ""},
                    removal_case{"keep", 'x', "keep"},
                    removal_case{"a\xffz\xff", '\xff', "az"},
                    removal_case{"text", '\0', "text"}),
    [](const testing::TestParamInfo<removal_case>& c) {
      return indexed(c, c.param.text);
    });

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
  fd_capture out(1);
  parsed p(args);
  EXPECT_EQ("", out.text());
  EXPECT_EQ(c.given, p.given());
  EXPECT_EQ(c.device, p.table[opt_device].value);
  EXPECT_EQ(c.set, p.table[opt_set].value);
  EXPECT_EQ(c.address, p.table[opt_address].value);
}

const std::string kLong(1100, 'y');

INSTANTIATE_TEST_SUITE_P(
    Files, response_file_test,
    testing::Values(
        response_case{"OneOptionPerLine",
                      "-d /dev/ttyS1\n--set 5\n-a2\n",
                      {},
                      "d s a",
                      "/dev/ttyS1",
                      "5",
                      "2"},
        response_case{"LaterArgumentsIgnored",
                      "-s 3\n",
                      {"-s", "1", "-q"},
                      "s",
                      "",
                      "3",
                      ""},
        response_case{"CarriageReturns",
                      "-d /dev/ttyS1\r\n-s 7\r\n",
                      {},
                      "d s",
                      "/dev/ttyS1",
                      "7",
                      ""},
        response_case{
            "CarriageReturnInside", "-s 1\r2\n", {}, "s", "", "12", ""},
        response_case{
            "LastLineWithoutLineFeed", "-a 4\n-s 9", {}, "s a", "", "9", "4"},
        response_case{"NoOptionLine", "/dev/ttyS1\n5\n\n", {}, "", "", "", ""},
        response_case{"Empty", "", {}, "", "", "", ""},
        response_case{
            "ValueOnItsOwnLineIsSkipped", "-s\n5\n", {}, "s", "", "", ""},
        response_case{
            "NextKeptLineIsTheValue", "-s\n5\n-a 3\n", {}, "s", "", "-a 3", ""},
        response_case{"TabAfterOptionKept",
                      "-d\t/dev/ttyS1\n",
                      {},
                      "d",
                      "\t/dev/ttyS1",
                      "",
                      ""},
        response_case{"TrailingSpacesKept",
                      "-d /dev/ttyS1  \n",
                      {},
                      "d",
                      "/dev/ttyS1  ",
                      "",
                      ""},
        response_case{
            "IndentedLinesSkipped", " -s 1\n\t-a 2\n", {}, "", "", "", ""},
        response_case{"NoNesting", "@other.rsp\n-s 2\n", {}, "s", "", "2", ""},
        response_case{"LongLineCutIntoPieces",
                      "-d " + kLong + "\n-s 6\n",
                      {},
                      "d s",
                      kLong.substr(0, 255),
                      "6",
                      ""},
        response_case{"LaterPieceCountsIfItIsAnOption",
                      "#" + std::string(1022, 'z') + "-a 5\n",
                      {},
                      "a",
                      "",
                      "",
                      "5"}),
    by_name());

TEST(response_file_test, UnreadableFileIsReportedAndLeavesDefaults) {
  fd_capture out(1);
  parsed p({"@/nonexistent/relka.rsp", "-s", "1"});
  EXPECT_EQ("Can't access file '/nonexistent/relka.rsp'\n", out.text());
  EXPECT_EQ("", p.given());
  EXPECT_TRUE(p.free_args().empty());
}

TEST(response_file_test, BareAtNamesNoFile) {
  fd_capture out(1);
  parsed p({"@"});
  EXPECT_EQ("Can't access file ''\n", out.text());
  EXPECT_EQ("", p.given());
}

}  // namespace
