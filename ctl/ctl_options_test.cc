// SPDX-License-Identifier: MIT
// relkactl's command line: what each form means, and each usage error's
// message.
#include "ctl/ctl_options.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tests/case_name.h"

namespace {

struct parsed_ctl {
  bool ok = false;
  ctl_request request;
  std::string error;
};

parsed_ctl parse(std::vector<std::string> args) {
  args.insert(args.begin(), "relkactl");
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  parsed_ctl out;
  out.ok = parse_ctl_args(static_cast<int>(args.size()), argv.data(),
                          out.request, out.error);
  return out;
}

struct form_case {
  const char* name;
  std::vector<std::string> args;
  ctl_command command;
  int outlets;
  int mask;
};

void PrintTo(const form_case& c, std::ostream* os) { *os << c.name; }

class ctl_form_test : public testing::TestWithParam<form_case> {};

TEST_P(ctl_form_test, Means) {
  parsed_ctl p = parse(GetParam().args);
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(GetParam().command, p.request.command);
  EXPECT_EQ(GetParam().outlets, p.request.outlets);
  EXPECT_EQ(GetParam().mask, p.request.mask);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Forms, ctl_form_test, testing::Values(
    form_case{"OnOne", {"on", "3"}, ctl_command::on, 0x04, 0},
    form_case{"OffSeveral", {"off", "1", "8", "1"}, ctl_command::off, 0x81, 0},
    form_case{"ToggleAll", {"toggle", "all"}, ctl_command::toggle, 0xff, 0},
    form_case{"AllAndOne", {"on", "all", "2"}, ctl_command::on, 0xff, 0},
    form_case{"CycleWithDelayAfter", {"cycle", "3", "--delay", "0.5"}, ctl_command::cycle, 0x04, 0},
    form_case{"SetDecimal", {"set", "129"}, ctl_command::set, 0, 129},
    form_case{"SetHex", {"set", "0x05"}, ctl_command::set, 0, 5},
    form_case{"SetHexUpper", {"set", "0XfF"}, ctl_command::set, 0, 255},
    form_case{"SetLeadingZeroIsDecimal", {"set", "010"}, ctl_command::set, 0, 10},
    form_case{"Status", {"status"}, ctl_command::status, 0, 0},
    form_case{"Forget", {"forget", "-a", "3"}, ctl_command::forget, 0, 0}),
    by_name());
// clang-format on

TEST(ctl_options_test, OptionsBeforeAndAfterTheCommandMeanTheSame) {
  parsed_ctl before =
      parse({"--delay", "0.5", "-d", "/dev/ttyUSB0", "--box=7", "cycle", "3"});
  parsed_ctl after =
      parse({"cycle", "3", "--delay=0.5", "--device", "/dev/ttyUSB0", "-a0x7"});
  ASSERT_TRUE(before.ok) << before.error;
  ASSERT_TRUE(after.ok) << after.error;
  for (const parsed_ctl* p : {&before, &after}) {
    EXPECT_EQ(ctl_command::cycle, p->request.command);
    EXPECT_DOUBLE_EQ(0.5, p->request.delay);
    EXPECT_EQ("/dev/ttyUSB0", p->request.device);
    EXPECT_EQ(7, p->request.box);
  }
}

TEST(ctl_options_test, Defaults) {
  unsetenv("RELKA_STATE_DIR");
  parsed_ctl p = parse({"status"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ("/dev/relka", p.request.device);
  EXPECT_EQ(0, p.request.box);
  EXPECT_EQ("/var/lib/relka", p.request.state_dir);
  EXPECT_DOUBLE_EQ(10, p.request.wait);
  EXPECT_DOUBLE_EQ(2, p.request.delay);
  EXPECT_FALSE(p.request.json);
}

TEST(ctl_options_test, StateFolderFromTheEnvironmentUnlessGiven) {
  setenv("RELKA_STATE_DIR", "/srv/relka", 1);
  EXPECT_EQ("/srv/relka", parse({"status"}).request.state_dir);
  EXPECT_EQ("/tmp/x",
            parse({"--state-dir", "/tmp/x", "status"}).request.state_dir);
  unsetenv("RELKA_STATE_DIR");
}

struct error_case {
  const char* name;
  std::vector<std::string> args;
  const char* error;
};

void PrintTo(const error_case& c, std::ostream* os) { *os << c.name; }

class ctl_usage_error_test : public testing::TestWithParam<error_case> {};

TEST_P(ctl_usage_error_test, SaysWhatWasWrong) {
  parsed_ctl p = parse(GetParam().args);
  EXPECT_FALSE(p.ok);
  EXPECT_EQ(GetParam().error, p.error);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Errors, ctl_usage_error_test, testing::Values(
    error_case{"NoCommand", {}, "no command given"},
    error_case{"UnknownCommand", {"reboot", "1"}, "unknown command 'reboot'"},
    error_case{"OnWithoutOutlet", {"on"}, "on needs at least one outlet (1 to 8, or all)"},
    error_case{"OutletZero", {"on", "0"}, "'0' is not an outlet: outlets are 1 to 8, or all"},
    error_case{"OutletNine", {"off", "9"}, "'9' is not an outlet: outlets are 1 to 8, or all"},
    error_case{"OutletPlus", {"on", "+3"}, "'+3' is not an outlet: outlets are 1 to 8, or all"},
    error_case{"OutletNegative", {"on", "-1"}, "'-1' is not an outlet: outlets are 1 to 8, or all"},
    error_case{"OutletNegativeAfterOthers", {"cycle", "3", "-2", "--delay", "1"}, "'-2' is not an outlet: outlets are 1 to 8, or all"},
    error_case{"MaskNegativeWithoutDashes", {"set", "-1"}, "'-1' is not a mask: 0 to 255, decimal or 0x hex"},
    error_case{"BoxHexTooLarge", {"-a", "0x80", "status"}, "'0x80' is not a box address: 0 to 127, decimal or 0x hex"},
    error_case{"MaskTooLarge", {"set", "256"}, "'256' is not a mask: 0 to 255, decimal or 0x hex"},
    error_case{"MaskNegative", {"set", "--", "-1"}, "'-1' is not a mask: 0 to 255, decimal or 0x hex"},
    error_case{"MaskHexTooLarge", {"set", "0x100"}, "'0x100' is not a mask: 0 to 255, decimal or 0x hex"},
    error_case{"MaskTrailing", {"set", "5x"}, "'5x' is not a mask: 0 to 255, decimal or 0x hex"},
    error_case{"SetWithoutMask", {"set"}, "set needs one MASK (0 to 255, decimal or 0x hex)"},
    error_case{"SetTwoMasks", {"set", "1", "2"}, "set needs one MASK (0 to 255, decimal or 0x hex)"},
    error_case{"StatusWithOutlet", {"status", "3"}, "status takes names of outlets or boxes, not '3'"},
    error_case{"ForgetWithName", {"forget", "web1"}, "forget takes no arguments"},
    error_case{"BoxTooLarge", {"-a", "128", "status"}, "'128' is not a box address: 0 to 127, decimal or 0x hex"},
    error_case{"BoxNegative", {"--box=-1", "status"}, "'-1' is not a box address: 0 to 127, decimal or 0x hex"},
    error_case{"BoxWord", {"-a", "two", "status"}, "'two' is not a box address: 0 to 127, decimal or 0x hex"},
    error_case{"WaitNegative", {"--wait=-1", "status"}, "--wait: '-1' is not a number of seconds"},
    error_case{"DelayWord", {"--delay", "soon", "cycle", "1"}, "--delay: 'soon' is not a number of seconds"},
    error_case{"BoxSignAfterHex", {"-a", "0x+7f", "status"}, "'0x+7f' is not a box address: 0 to 127, decimal or 0x hex"},
    error_case{"BoxSpace", {"-a", " 5", "status"}, "' 5' is not a box address: 0 to 127, decimal or 0x hex"},
    error_case{"DelayHex", {"--delay", "0x10", "cycle", "1"}, "--delay: '0x10' is not a number of seconds"},
    error_case{"UnknownLong", {"--frobnicate", "status"}, "unknown option '--frobnicate'"},
    error_case{"UnknownShort", {"-x", "status"}, "unknown option '-x'"},
    error_case{"MissingValue", {"status", "--device"}, "option '--device' needs a value"}),
    by_name());
// clang-format on

}  // namespace
