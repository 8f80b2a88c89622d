// SPDX-License-Identifier: MIT
// The built relka, run as a user runs it, against the emulated line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/frame_decoder.h"
#include "sim/run_program.h"
#include "tests/case_name.h"
#include "tests/line_fixture.h"

namespace {

const std::string kBanner =
    "relka - RELKA outlet switch, by the relka developers\n";
const std::string kHelp =
    "-h, --help               This helpscreen\n"
    "-v, --version            Info about this program\n"
    "-d, --device             Device, where RELKA is connected (Default: "
    "/dev/relka)\n"
    "-q, --quite              Quite mode, no output to console\n"
    "-s, --set <ports>        Set outlet <ports>\n"
    "-a, --address <adr>      Sets address to <adr> (default: 0)\n"
    "\n";
const std::string kVersion = "Version 1.0, 26.08.2002\n\r";

program_run relka(const std::vector<std::string>& args,
                  child_stdin input = child_stdin::null_device) {
  return run_program(RELKA_BINARY, args, input);
}

class relka_test : public line_test {
 protected:
  // The one frame the box received, or a failure naming what it got.
  testing::AssertionResult one_frame(int box_address, int data) {
    decoded_line seen = decode_frames(line->changes(), kStatusBits);
    if (!seen.faults.empty())
      return testing::AssertionFailure() << seen.faults[0].what;
    if (seen.frames.size() != 1)
      return testing::AssertionFailure() << seen.frames.size() << " frames";
    const decoded_frame& f = seen.frames[0];
    if (f.box_address() != box_address || f.data != data)
      return testing::AssertionFailure()
             << "address " << f.box_address() << " data " << f.data;
    return testing::AssertionSuccess();
  }

  void expect_released() {
    EXPECT_FALSE(file_exists(line->lock_path())) << "lock file left behind";
  }
};

TEST_F(relka_test, SwitchesAddressAndMaskAndLeavesTheLineAsItWas) {
  preset_cooked(*line);
  termios before = line_settings(*line);
  program_run run = relka({"-d", "/dev/relka", "-a", "2", "-s", "5"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(kBanner, run.out);
  EXPECT_EQ("", run.err);
  EXPECT_EQ("open 60 writes close", settled_story());
  EXPECT_TRUE(one_frame(2, 5));
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  expect_released();
}

struct run_case {
  const char* name;
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
  int frames;  // 0: nothing sent
  int address;
  int data;
  bool opened;  // the device was reached at all
};

void PrintTo(const run_case& c, std::ostream* os) { *os << c.name; }

class relka_run_test : public relka_test,
                       public testing::WithParamInterface<run_case> {};

TEST_P(relka_run_test, Behaves) {
  const run_case& c = GetParam();
  program_run run = relka(c.args);
  EXPECT_EQ(c.status, run.status);
  EXPECT_EQ(c.out, run.out);
  EXPECT_EQ(c.err, run.err);
  // A run that opens nothing is given a moment to show an open all the same.
  EXPECT_EQ(c.opened, line->open_count_after(1, c.opened ? 2000 : 150) > 0);
  if (c.frames)
    EXPECT_TRUE(one_frame(c.address, c.data));
  else
    EXPECT_EQ(c.opened ? "open close" : "", settled_story())
        << "an open without a frame only raises and drops the lines";
  expect_released();
}

const std::string kMissing = "rs232::open: cannot open device [=/dev/relka]\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Runs, relka_run_test,
    testing::Values(
        run_case{"NoArguments", {}, 0, kBanner, "", 0, 0, 0, true},
        run_case{"SetWithoutAddress", {"-s", "3"}, 0, kBanner, "", 1, 0, 3, true},
        run_case{"AddressWithoutSet", {"-a", "2"}, 0, kBanner, "", 0, 0, 0, true},
        run_case{"LaterSetWins", {"-s", "1", "-s", "2"}, 0, kBanner, "", 1, 0, 2, true},
        run_case{"DeviceAsLastArgument", {"-s", "9", "-d"}, 0, kBanner, "", 1, 0, 9, true},
        run_case{"DeviceOfSpaces", {"-d   ", "-s1"}, 0, kBanner, "", 1, 0, 1, true},
        run_case{"AttachedForms", {"--device/dev/relka", "-a7", "--set255"}, 0,
                 kBanner, "", 1, 7, 255, true},
        run_case{"SetSwallowsHelp", {"-s", "-h"}, 0, kBanner, "", 1, 0, 0, true},
        run_case{"SetWithoutValueSendsZero", {"-a", "3", "-s"}, 0, kBanner, "", 1, 3, 0, true},
        run_case{"NumbersAsStrtolReadsThem", {"-s", " 12abc", "-a", "x"}, 0, kBanner,
                 "", 1, 0, 12, true},
        run_case{"FreeArgumentsIgnored", {"--quiet", "-qv", "-x", "junk", "-s", "4"}, 0,
                 kBanner, "", 1, 0, 4, true},
        run_case{"Help", {"-h"}, 0, kBanner + kHelp, "", 0, 0, 0, false},
        run_case{"HelpWinsOverVersionAndQuiet", {"-h", "-q", "-v"}, 0, kHelp, "", 0, 0,
                 0, false},
        run_case{"Version", {"-v"}, 0, kBanner + kVersion, "", 0, 0, 0, false},
        run_case{"QuietVersionOpensAndCloses", {"-v", "-q"}, 0, "", "", 0, 0, 0, true},
        run_case{"QuietSwitch", {"--quite", "-s", "6"}, 0, "", "", 1, 0, 6, true},
        run_case{"EqualsSignIsPartOfTheDevice", {"--device=/dev/relka"}, 255,
                 kBanner + "RELKA not found at =/dev/relka\n", kMissing, 0, 0, 0, false},
        run_case{"QuietNotFound", {"-q", "-d=/dev/relka"}, 255, "", kMissing, 0, 0, 0,
                 false},
        run_case{"ControllingTerminal", {"-d", "/dev/tty", "-s", "1"}, 255,
                 kBanner + "RELKA not found at /dev/tty\n",
                 "rs232::open: requested device [/dev/tty] is the controlling "
                 "terminal.\n",
                 0, 0, 0, false}),
    by_name());
// clang-format on

}  // namespace

namespace {

TEST_F(relka_test, LinesThatCannotBeDrivenFailTheRun) {
  line->fail_set(true);
  program_run run = relka({"-q", "-a", "1", "-s", "3"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(
      "relka: cannot drive the control lines of /dev/relka; "
      "the outlets may not be switched\n",
      run.err);
  EXPECT_EQ(60, line->get_count()) << "the frame must still go out whole";
  expect_released();
}

TEST_F(relka_test, AdapterPulledMidFrameFailsTheRun) {
  line->unplug_after(30);
  program_run run = relka({"-s", "3"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(30u, port_writes(line->changes()).size());
  expect_released();
}

TEST_F(relka_test, ClosedStandardInputChangesNothing) {
  preset_cooked(*line);
  termios before = line_settings(*line);
  program_run run = relka({"-a", "4", "-s", "0x10"}, child_stdin::closed);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_TRUE(one_frame(4, 0));
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  expect_released();
}

TEST_F(relka_test, ClosedStandardInputStillHonoursALiveLock) {
  scoped_file lock(line->lock_path(), lock_text(getpid()));
  program_run run = relka({"-s", "1"}, child_stdin::closed);
  EXPECT_EQ(255, run.status);
  EXPECT_EQ(lock_text(getpid()), read_file(lock.path()));
  EXPECT_TRUE(line->changes().empty());
}

TEST_F(relka_test, LiveHolderRefusesTheRun) {
  scoped_file lock(line->lock_path(), lock_text(getpid()));
  preset_cooked(*line);
  termios before = line_settings(*line);
  program_run run = relka({"-s", "1"});
  EXPECT_EQ(255, run.status);
  EXPECT_EQ(kBanner + "RELKA not found at /dev/relka\n", run.out);
  EXPECT_EQ("rs232::lock: device [/dev/relka] used by another process [" +
                std::to_string(getpid()) + "]\n" +
                "rs232::unllock: unable to remove lock file [" +
                line->lock_path() + "]\n",
            run.err);
  EXPECT_EQ(lock_text(getpid()), read_file(lock.path()));
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  EXPECT_TRUE(line->changes().empty());
}

TEST_F(relka_test, StaleLockIsTakenOverAndRemoved) {
  scoped_file lock(line->lock_path(), lock_text(999999999));
  program_run run = relka({"-s", "2"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_TRUE(one_frame(0, 2));
  expect_released();
}

TEST_F(relka_test, OverlongDeviceIsRefusedNotCut) {
  // Cut to 255 characters this would name a real, other device.
  std::string path = "/dev/relka" + std::string(246, '/') + "x";
  program_run run = relka({"-d", path, "-s", "1"});
  EXPECT_EQ(255, run.status);
  EXPECT_EQ(kBanner, run.out);
  EXPECT_EQ("relka: device path longer than 255 characters, refused\n",
            run.err);
  EXPECT_EQ(0, line->open_count_after(1, 150));
}

TEST_F(relka_test, MissingDefaultDevice) {
  bench_.reset();  // no /dev/relka at all
  program_run run = relka({});
  EXPECT_EQ(255, run.status);
  EXPECT_EQ(kBanner + "RELKA not found at /dev/relka\n", run.out);
  EXPECT_EQ("rs232::open: cannot open device [/dev/relka]\n", run.err);
}

}  // namespace

namespace {

TEST_F(relka_test, ResponseFileChoosesTheFrame) {
  scoped_folder folder;
  scoped_file rsp(
      folder.file("rack.rsp"),
      "# rack 3, lower box\r\n-d /dev/relka\r\n-a 3\r\n--set 129\r\n");
  program_run run = relka({"@" + rsp.path(), "-s", "1", "-a", "0"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(kBanner, run.out);
  EXPECT_TRUE(one_frame(3, 129));
  expect_released();
}

TEST_F(relka_test, QuietResponseFile) {
  scoped_folder folder;
  scoped_file rsp(folder.file("quiet.rsp"), "-q\n-s\n-a 6\n");
  program_run run = relka({"@" + rsp.path()});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_TRUE(one_frame(0, 0)) << "-s takes the line \"-a 6\" as its value";
}

TEST_F(relka_test, UnreadableResponseFileRunsWithTheDefaults) {
  program_run run = relka({"@/nonexistent/rack.rsp", "-s", "1"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("Can't access file '/nonexistent/rack.rsp'\n" + kBanner, run.out);
  EXPECT_EQ(1, line->open_count_after(1, 2000))
      << "the default device is opened and closed";
  EXPECT_EQ("open close", settled_story());
  expect_released();
}

}  // namespace
