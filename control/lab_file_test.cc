// SPDX-License-Identifier: MIT
// The lab file: what a good one names, and each kind of mistake refused
// whole, with the file, the line and what is wrong.
#include "control/lab_file.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/case_name.h"
#include "tests/line_fixture.h"

namespace {

const char kLab[] =
    "# two boxes on one adapter\n"
    "[line.rack1]\n"
    "device = \"/dev/serial/by-id/usb-A\"\n"
    "\n"
    "[box.rack1-top]\n"
    "line = \"rack1\"\n"
    "address = 1\n"
    "cycle_delay = 5\n"
    "\n"
    "[box.rack1-bottom]\n"
    "line = \"rack1\"\n"
    "address = 0x02\n"
    "\n"
    "[outlet.web1]\n"
    "box = \"rack1-top\"\n"
    "outlet = 3\n"
    "cycle_delay = 10.5\n"
    "\n"
    "[outlet.db1]\n"
    "box = \"rack1-bottom\"\n"
    "outlet = 1\n";

TEST(lab_file_test, NamesLinesBoxesAndOutlets) {
  scoped_folder folder;
  write_file(folder.file("lab.toml"), kLab);
  lab_file lab;
  std::string error;
  ASSERT_TRUE(load_lab_file(folder.file("lab.toml"), &lab, &error)) << error;
  ASSERT_NE(nullptr, lab.outlet("web1"));
  const named_box* top = lab.box(lab.outlet("web1")->box);
  ASSERT_NE(nullptr, top);
  EXPECT_EQ("/dev/serial/by-id/usb-A", lab.device_of(*top));
  EXPECT_EQ(1, top->address);
  EXPECT_DOUBLE_EQ(5, top->cycle_delay);
  EXPECT_DOUBLE_EQ(10.5, lab.outlet("web1")->cycle_delay);
  EXPECT_EQ(2, lab.box("rack1-bottom")->address);
  EXPECT_DOUBLE_EQ(-1, lab.box("rack1-bottom")->cycle_delay);
  EXPECT_EQ("rack1-bottom", lab.box_at("/dev/serial/by-id/usb-A", 2)->name);
  EXPECT_EQ("db1", lab.outlet_name("rack1-bottom", 1));
  EXPECT_EQ((std::vector<std::string>{"web1"}), lab.closest_names("wbe1"));
  EXPECT_EQ((std::vector<std::string>{"rack1-top", "rack1-bottom", "rack1"}),
            lab.closest_names("rack1-"));
  EXPECT_TRUE(lab.closest_names("printer").empty());
}

struct bad_lab {
  const char* name;
  std::string text;
  std::string error;  // after "FILE:"
};

void PrintTo(const bad_lab& c, std::ostream* os) { *os << c.name; }

class lab_file_error_test : public testing::TestWithParam<bad_lab> {};

TEST_P(lab_file_error_test, RefusesTheWholeFile) {
  scoped_folder folder;
  std::string path = folder.file("lab.toml");
  write_file(path, GetParam().text);
  lab_file lab;
  std::string error;
  EXPECT_FALSE(load_lab_file(path, &lab, &error));
  EXPECT_EQ(path + ":" + GetParam().error, error);
  EXPECT_TRUE(lab.boxes.empty() && lab.outlets.empty() && lab.lines.empty());
}

const std::string kLine = "[line.l]\ndevice = \"/dev/relka\"\n";
const std::string kBox = "[box.b]\nline = \"l\"\naddress = 1\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Mistakes, lab_file_error_test, testing::Values(
    bad_lab{"UnknownKey", kLine + "[box.b]\nline = \"l\"\naddres = 1\n",
            "5: unknown key 'addres' in box 'b' (it may have line, address, cycle_delay)"},
    bad_lab{"UnknownTable", "[lines.l]\ndevice = \"/dev/relka\"\n",
            "1: unknown table 'lines': a lab file has line, box and outlet tables"},
    bad_lab{"NameTwice", kLine + kBox + "[outlet.b]\nbox = \"b\"\noutlet = 1\n",
            "6: the name 'b' is used twice (also on line 3)"},
    bad_lab{"OutletNine", kLine + kBox + "[outlet.o]\nbox = \"b\"\noutlet = 9\n",
            "8: outlet of outlet 'o' must be a whole number from 1 to 8"},
    bad_lab{"AddressTooLarge", kLine + "[box.b]\nline = \"l\"\naddress = 128\n",
            "5: address of box 'b' must be a whole number from 0 to 127"},
    bad_lab{"AddressPast32Bits", kLine + "[box.b]\nline = \"l\"\naddress = 4294967297\n",
            "5: address of box 'b' must be a whole number from 0 to 127"},
    bad_lab{"LineWithoutDevice", "[line.l]\n",
            "1: line 'l' has no device"},
    bad_lab{"BoxOnAMissingLine", kLine + "[box.b]\nline = \"m\"\naddress = 1\n",
            "3: box 'b' is on line 'm', which the file does not name"},
    bad_lab{"TwoNamesForOneOutlet", kLine + kBox +
                "[outlet.x]\nbox = \"b\"\noutlet = 2\n[outlet.y]\nbox = \"b\"\noutlet = 2\n",
            "9: outlet 2 of box 'b' has another name already"},
    bad_lab{"NumberAsName", kLine + "[box.7]\nline = \"l\"\naddress = 1\n",
            "3: '7' is not a name: letters, digits, '.', '_' and '-', not a number and not 'all'"},
    bad_lab{"NegativeDelay", kLine + "[box.b]\nline = \"l\"\naddress = 1\ncycle_delay = -1\n",
            "6: cycle_delay of box 'b' must be a number of seconds from 0 to 86400"},
    bad_lab{"NotToml", "[line.l\n", "1: Error while parsing table header: expected ']', saw '\\n'"},
    bad_lab{"UnclosedString", "[line.l]\ndevice = \"/dev/relka\n",
            "2: a string is not closed: the line ends before its closing quote"},
    bad_lab{"NoEquals", "[line.l]\ndevice \"/dev/relka\"\n",
            "2: a key needs '=' and a value, as device = \"/dev/ttyUSB0\""},
    bad_lab{"TableTwice", kLine + kLine,
            "3: a table is written twice: give each [kind.NAME] once, with all its keys"}),
    by_name());
// clang-format on

TEST(lab_file_test, TheShippedExampleIsAGoodLabFile) {
  lab_file lab;
  std::string error;
  ASSERT_TRUE(
      load_lab_file(RELKA_SOURCE_DIR "/examples/lab.toml", &lab, &error))
      << error;
  EXPECT_EQ(3u, lab.outlets.size());
  EXPECT_DOUBLE_EQ(10, lab.outlet("db1")->cycle_delay);
}

TEST(lab_file_test, AFileThatIsNoFileIsRefused) {
  lab_file lab;
  std::string error;
  EXPECT_FALSE(load_lab_file("/dev/zero", &lab, &error));
  EXPECT_EQ("/dev/zero: not a regular file", error);
  EXPECT_FALSE(load_lab_file("/nonexistent/lab.toml", &lab, &error));
  EXPECT_EQ("/nonexistent/lab.toml: No such file or directory", error);
}

}  // namespace
