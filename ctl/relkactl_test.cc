// SPDX-License-Identifier: MIT
// relkactl run as a user runs it, on the emulated line: the frames the box
// receives, the state left in the state folder, and what the user sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "control/lab_file.h"
#include "control/lease_check.h"
#include "outlet/outlet_state.h"
#include "sim/frame_decoder.h"
#include "sim/run_program.h"
#include "tests/case_name.h"
#include "tests/flock_holder.h"
#include "tests/line_fixture.h"
#include "tests/log_catcher.h"
#include "tests/require_tool.h"

namespace {

using json = nlohmann::json;
using steady = std::chrono::steady_clock;

class relkactl_test : public line_test {
 protected:
  program_run relkactl(std::vector<std::string> args) {
    args.insert(args.begin(), {"--state-dir", state_dir.path()});
    return run_program(RELKACTL_BINARY, args);
  }

  // Runs a command that must succeed.
  void ok(const std::vector<std::string>& args) {
    program_run run = relkactl(args);
    ASSERT_EQ(0, run.status) << run.err;
  }

  std::vector<int> sent_masks() {
    std::vector<int> out;
    decoded_line seen = decode_frames(line->changes(), kStatusBits);
    EXPECT_TRUE(seen.faults.empty()) << seen.faults[0].what;
    for (const decoded_frame& f : seen.frames) out.push_back(f.data);
    return out;
  }

  std::vector<decoded_frame> frames() {
    return decode_frames(line->changes(), kStatusBits).frames;
  }

  std::string state_file(int box = 0) {
    std::string terminal =
        line->terminal().substr(line->terminal().rfind('/') + 1);
    return state_path(state_dir.path(), terminal, box);
  }

  json status_json(int box = 0) {
    program_run run = relkactl({"--json", "-a", std::to_string(box), "status"});
    EXPECT_EQ(0, run.status) << run.err;
    return json::parse(run.out);
  }

  // A udev-style link in the testbed's /dev (by-id names, /dev/relka).
  void link_in_dev(const std::string& name, const std::string& target) {
    std::string path = bench_->root() + name;
    std::string folder = path.substr(0, path.rfind('/'));
    ASSERT_EQ(0, system(("mkdir -p '" + folder + "'").c_str()));
    unlink(path.c_str());
    ASSERT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
  }
  void unlink_in_dev(const std::string& name) {
    unlink((bench_->root() + name).c_str());
  }

  scoped_folder state_dir;
};

TEST_F(relkactl_test, EachCommandSendsItsFrame) {
  ok({"set", "0x05"});
  ok({"on", "2"});
  ok({"off", "1"});
  ok({"toggle", "1", "8"});
  ok({"off", "all"});
  ok({"on", "all"});
  // Asked for what the state already says: the frame goes out all the same.
  ok({"on", "3"});
  EXPECT_EQ((std::vector<int>{0x05, 0x07, 0x06, 0x87, 0x00, 0xff, 0xff}),
            sent_masks());
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(relkactl_test, BoxAddressGoesOnTheWire) {
  ok({"-a", "5", "set", "17"});
  ASSERT_EQ(1u, frames().size());
  EXPECT_EQ(5, frames()[0].box_address());
  EXPECT_EQ(17, frames()[0].data);
  // Each box has a state of its own.
  EXPECT_TRUE(status_json(5)["known"]);
  EXPECT_FALSE(status_json(0)["known"]);
}

TEST_F(relkactl_test, CycleSendsOffThenOnTheDelayApart) {
  ok({"set", "0xff"});
  settle_closed();
  auto start = steady::now();
  ok({"cycle", "3", "--delay", "0.4"});
  EXPECT_GE(seconds_since(start), 0.4);
  std::vector<decoded_frame> sent = frames();
  ASSERT_EQ(2u, sent.size());
  EXPECT_EQ(0xfb, sent[0].data);
  EXPECT_EQ(0xff, sent[1].data);
  std::vector<line_change> changes = line->changes();
  double apart = static_cast<double>(changes[sent[1].first_change].usec -
                                     changes[sent[0].last_change].usec) /
                 1e6;
  EXPECT_GE(apart, 0.4);
  EXPECT_LT(apart, 2.0);
}

TEST_F(relkactl_test, CycleReadsTheStateAgainAfterItsPause) {
  ok({"set", "0x01"});
  child_process cycle;
  ASSERT_TRUE(cycle.start(RELKACTL_BINARY, {"--state-dir", state_dir.path(),
                                            "cycle", "1", "--delay", "0.6"}));
  usleep(300000);  // while cycle waits with outlet 1 off
  ok({"on", "5"});
  EXPECT_EQ(0, cycle.wait(10));
  EXPECT_EQ((std::vector<int>{0x01, 0x00, 0x10, 0x11}), sent_masks());
  EXPECT_EQ(0x11, status_json()["mask"]);
}

// Ctrl-C or SIGTERM during a cycle's pause: the outlets come back on at
// once, the run says so and ends with the signal's status.
class relkactl_cycle_signal_test : public relkactl_test,
                                   public testing::WithParamInterface<int> {};

TEST_P(relkactl_cycle_signal_test, SwitchesBackOnAndSaysSo) {
  ok({"set", "0x05"});
  settle_closed();
  scoped_folder folder;
  int err = open(folder.file("err").c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_GE(err, 0);
  child_io io;
  io.err = err;
  child_process cycle;
  ASSERT_TRUE(cycle.start(
      RELKACTL_BINARY,
      {"--state-dir", state_dir.path(), "cycle", "3", "--delay", "5"}, io));
  close(err);
  auto start = steady::now();
  while (frames().empty() && seconds_since(start) < 3) usleep(2000);
  usleep(300000);  // in the pause, outlet 3 off
  cycle.send(GetParam());
  EXPECT_EQ(128 + GetParam(), cycle.wait(3));
  EXPECT_LT(seconds_since(start), 2.0) << "the pause ran its course";
  EXPECT_EQ((std::vector<int>{0x01, 0x05}), sent_masks());
  std::regex said(
      "relkactl: cycle of outlet 3 cut short after 0\\.[0-9] s: back on\n");
  std::string text = read_file(folder.file("err"));
  EXPECT_TRUE(std::regex_match(text, said)) << text;
  EXPECT_EQ(0x05, status_json()["mask"]);
  EXPECT_EQ(std::string::npos, read_file(state_file()).find("\ncycle "))
      << "the cycle's mark was left behind";
}

INSTANTIATE_TEST_SUITE_P(Signals, relkactl_cycle_signal_test,
                         testing::Values(SIGINT, SIGTERM));

// Two cycles of one outlet at once each keep it off for their whole pause:
// the second waits until the first has switched it back on. An outlet no
// cycle holds is not held up.
TEST_F(relkactl_test, OverlappingCyclesEachGetTheirWholePause) {
  ok({"set", "0x04"});
  settle_closed();
  auto cycle_args = [&] {
    return std::vector<std::string>{"--state-dir", state_dir.path(), "cycle",
                                    "3",           "--delay",        "0.6"};
  };
  child_process first, second;
  ASSERT_TRUE(first.start(RELKACTL_BINARY, cycle_args()));
  auto start = steady::now();
  while (frames().empty() && seconds_since(start) < 3) usleep(2000);
  ASSERT_TRUE(second.start(RELKACTL_BINARY, cycle_args()));
  auto other = steady::now();
  ok({"on", "5"});
  EXPECT_LT(seconds_since(other), 0.4) << "outlet 5 was held up";
  EXPECT_EQ(0, first.wait(10));
  EXPECT_EQ(0, second.wait(10));

  std::vector<line_change> changes = line->changes();
  std::vector<double> offs, ons;
  bool on = true;
  for (const decoded_frame& f : frames()) {
    bool now_on = (f.data & 0x04) != 0;
    double t = static_cast<double>(changes[f.first_change].usec) / 1e6;
    if (on && !now_on) offs.push_back(t);
    if (!on && now_on) ons.push_back(t);
    on = now_on;
  }
  ASSERT_EQ(2u, offs.size());
  ASSERT_EQ(2u, ons.size());
  for (size_t i = 0; i < offs.size(); ++i)
    EXPECT_GE(ons[i] - offs[i], 0.6) << "cycle " << i + 1 << " was cut short";
  EXPECT_EQ(0x14, status_json()["mask"]);
}

TEST_F(relkactl_test, StatusShowsWhatWasSetAndSendsNothing) {
  ok({"set", "5"});
  settle_closed();
  program_run run = relkactl({"status"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ(
      "outlet 1: on\noutlet 2: off\noutlet 3: on\noutlet 4: off\n"
      "outlet 5: off\noutlet 6: off\noutlet 7: off\noutlet 8: off\n",
      run.out);
  json state = status_json();
  EXPECT_EQ("/dev/relka", state["device"]);
  EXPECT_EQ(0, state["box"]);
  EXPECT_TRUE(state["known"]);
  EXPECT_EQ(5, state["mask"]);
  EXPECT_EQ("on", state["outlets"]["3"]);
  EXPECT_EQ("off", state["outlets"]["2"]);
  EXPECT_TRUE(state["set_at"].is_string());
  EXPECT_TRUE(port_writes(line->changes()).empty()) << "status sent a frame";
}

TEST_F(relkactl_test, SwitchingWithJsonPrintsTheNewState) {
  program_run run = relkactl({"--json", "set", "0x81"});
  ASSERT_EQ(0, run.status) << run.err;
  json state = json::parse(run.out);
  EXPECT_EQ(129, state["mask"]);
  EXPECT_EQ("on", state["outlets"]["8"]);
}

TEST_F(relkactl_test, UnknownStateRefusesSingleOutletsAndSendsNothing) {
  for (std::vector<std::string> args : {std::vector<std::string>{"on", "3"},
                                        {"off", "1"},
                                        {"toggle", "2"},
                                        {"cycle", "4", "--delay", "0"},
                                        {"toggle", "all"}}) {
    program_run run = relkactl(args);
    EXPECT_EQ(3, run.status) << args[0];
    EXPECT_EQ(
        "relkactl: the outlets of box 0 on /dev/relka are not known (the box "
        "cannot be read back); start with 'relkactl set MASK', 'relkactl on "
        "all' or 'relkactl off all'\n",
        run.err);
  }
  // Refused before the device is opened: not even the open's DTR and RTS.
  EXPECT_TRUE(line->changes().empty()) << line_story(line->changes());
  json state = status_json();
  EXPECT_FALSE(state["known"]);
  EXPECT_TRUE(state["mask"].is_null());
  EXPECT_EQ("unknown", state["outlets"]["1"]);
  // These need nothing remembered.
  ok({"on", "all"});
  ok({"forget"});
  ok({"off", "all"});
  EXPECT_EQ((std::vector<int>{0xff, 0x00}), sent_masks());
}

TEST_F(relkactl_test, StateIsWrittenOnlyAfterAFrameThatWentOut) {
  ok({"set", "0x0f"});
  line->fail_set(true);  // EIO, as a hung-up terminal answers
  program_run run = relkactl({"on", "5"});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ(
      "relkactl: the adapter of /dev/relka went away in the middle of the "
      "frame (Input/output error); the outlets may not be switched, and "
      "their state is now unknown\n",
      run.err);
  EXPECT_FALSE(file_exists(state_file()))
      << "a mask that may not be on the box";
  EXPECT_FALSE(status_json()["known"]);
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(relkactl_test, StateFileIsReadableTextReplacedWhole) {
  ok({"-d", "/dev/relka", "-a", "2", "set", "5"});
  std::string text = read_file(state_file(2));
  EXPECT_NE(std::string::npos, text.find("\nmask 5\n")) << text;
  EXPECT_NE(std::string::npos, text.find("\nbox 2\n")) << text;
  EXPECT_NE(std::string::npos, text.find("\ndevice /dev/relka\n")) << text;
  // No temporary file is left beside it.
  program_run ls = run_program("/bin/ls", {"-A", state_dir.path()});
  EXPECT_EQ(state_file(2).substr(state_dir.path().size() + 1) + "\n", ls.out);
}

TEST_F(relkactl_test, TwoPathsToOneTerminalShareTheState) {
  ok({"set", "0x42"});
  std::string link = state_dir.file("relka-by-id");
  ASSERT_EQ(0, symlink(line->terminal().c_str(), link.c_str()));
  program_run run = relkactl({"--json", "-d", link, "status"});
  ASSERT_EQ(0, run.status) << run.err;
  json seen = json::parse(run.out);
  EXPECT_TRUE(seen["known"]);
  EXPECT_EQ(0x42, seen["mask"]);
}

TEST_F(relkactl_test, CorruptStateCountsAsUnknownWithAMessage) {
  ok({"set", "3"});
  write_file(state_file(), "mask lots\n");
  program_run run = relkactl({"on", "1"});
  EXPECT_EQ(3, run.status);
  EXPECT_EQ(0u, run.err.rfind("relkactl: " + state_file() +
                              " holds no valid mask; the state counts as "
                              "unknown\n"))
      << run.err;
  ok({"set", "0x10"});
  EXPECT_EQ(0x10, status_json()["mask"]);
}

TEST_F(relkactl_test, StateFolderThatCannotBeWrittenStopsBeforeSending) {
  program_run run =
      run_program(RELKACTL_BINARY, {"--state-dir", "/proc/self", "set", "1"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(0u, run.err.rfind("relkactl: cannot write in the state folder "
                              "/proc/self: "))
      << run.err;
  EXPECT_NE(std::string::npos, run.err.find("; nothing was sent\n")) << run.err;
  EXPECT_TRUE(port_writes(line->changes()).empty());
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(relkactl_test, ForgetDropsTheState) {
  ok({"set", "9"});
  ok({"forget"});
  EXPECT_FALSE(file_exists(state_file()));
  EXPECT_FALSE(status_json()["known"]);
  EXPECT_EQ(1u, frames().size()) << "forget sent a frame";
}

TEST_F(relkactl_test, StateFolderFromTheEnvironment) {
  setenv("RELKA_STATE_DIR", state_dir.path().c_str(), 1);
  program_run run = run_program(RELKACTL_BINARY, {"-a", "4", "set", "6"});
  unsetenv("RELKA_STATE_DIR");
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_TRUE(file_exists(state_file(4)));
}

// --- Concurrency and waiting -----------------------------------------------

TEST_F(relkactl_test, ConcurrentRunsForEachOutletAllLand) {
  for (int round = 0; round < 3; ++round) {
    ok({"set", "0"});
    std::vector<child_process> runs(8);
    for (int outlet = 1; outlet <= 8; ++outlet)
      ASSERT_TRUE(runs[outlet - 1].start(
          RELKACTL_BINARY,
          {"--state-dir", state_dir.path(), "on", std::to_string(outlet)}));
    for (child_process& run : runs) EXPECT_EQ(0, run.wait(30)) << round;
    EXPECT_EQ(0xff, status_json()["mask"])
        << "a change was lost in round " << round;
    std::vector<int> masks = sent_masks();
    ASSERT_FALSE(masks.empty());
    EXPECT_EQ(0xff, masks.back());
    settle_closed();
  }
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(relkactl_test, GivesUpAfterItsWaitAndSendsNothing) {
  flock_holder other;
  ASSERT_TRUE(other.take());
  auto start = steady::now();
  program_run run = relkactl({"--wait", "0.3", "set", "1"});
  double took = seconds_since(start);
  EXPECT_EQ(4, run.status);
  EXPECT_EQ(
      "relkactl: gave up waiting for /dev/relka after 0.3 s: another program "
      "(flock) holds it\n",
      run.err);
  EXPECT_GE(took, 0.3);
  EXPECT_LT(took, 2.0);
  EXPECT_TRUE(port_writes(line->changes()).empty());
  EXPECT_FALSE(file_exists(state_file()));
}

TEST_F(relkactl_test, NoWaitGivesUpAtOnce) {
  flock_holder other;
  ASSERT_TRUE(other.take());
  program_run run = relkactl({"--wait", "0", "set", "1"});
  EXPECT_EQ(4, run.status);
  EXPECT_NE(std::string::npos,
            run.err.find("relkactl: /dev/relka is held by another program "
                         "(flock)\n"));
}

// A run that holds the line holds its lock file from before its open to
// after its close, so a waiting run must never open the device: opening
// raises DTR and RTS in the middle of the holder's frame. It waits
// quietly, and when it gives up it names the holder.
struct lock_wait_case {
  const char* name;
  int release_after_ms;  // -1: the holder keeps the line
  int status;
};

void PrintTo(const lock_wait_case& c, std::ostream* os) { *os << c.name; }

class relkactl_lock_wait_test
    : public relkactl_test,
      public testing::WithParamInterface<lock_wait_case> {};

TEST_P(relkactl_lock_wait_test, WaitsWithoutOpeningTheDevice) {
  const lock_wait_case& c = GetParam();
  child_process holder;
  ASSERT_TRUE(holder.start("/bin/sleep", {"30"}));
  scoped_file lock(line->lock_path(), lock_text(holder.pid()));
  std::thread releaser([&] {
    if (c.release_after_ms < 0) return;
    usleep(static_cast<useconds_t>(c.release_after_ms) * 1000);
    unlink(lock.path().c_str());
  });
  program_run run = relkactl({"--wait", "0.5", "set", "1"});
  releaser.join();
  EXPECT_EQ(c.status, run.status);
  if (c.status == 0) {
    EXPECT_EQ("", run.err) << "a wait that ends well says nothing";
    EXPECT_EQ(1, line->open_count()) << "opened once, after the holder left";
    EXPECT_EQ((std::vector<int>{0x01}), sent_masks());
  } else {
    EXPECT_EQ("relkactl: gave up waiting for /dev/relka after 0.5 s: process " +
                  std::to_string(holder.pid()) + " (sleep) holds it\n",
              run.err);
    EXPECT_EQ(0, line->open_count_after(1, 150)) << "the device was opened";
    EXPECT_EQ("", settled_story()) << "the holder's lines were moved";
    EXPECT_EQ(lock_text(holder.pid()), read_file(lock.path()));
  }
}

INSTANTIATE_TEST_SUITE_P(Holders, relkactl_lock_wait_test,
                         testing::Values(lock_wait_case{"HolderLeaves", 200, 0},
                                         lock_wait_case{"HolderStays", -1, 4}),
                         by_name());

TEST_F(relkactl_test, InterruptDuringTheWaitEndsTheRunAtOnce) {
  flock_holder other;
  ASSERT_TRUE(other.take());
  child_process run;
  ASSERT_TRUE(run.start(RELKACTL_BINARY, {"--state-dir", state_dir.path(),
                                          "--wait", "20", "set", "1"}));
  usleep(200000);
  auto start = steady::now();
  run.send(SIGINT);
  EXPECT_EQ(128 + SIGINT, run.wait(5));
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_TRUE(port_writes(line->changes()).empty());
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(relkactl_test, SignalWhileHoldingTheLineWaitsForTheStateToBeWritten) {
  ok({"set", "0"});
  line->set_delay(2000);
  child_process run;
  ASSERT_TRUE(
      run.start(RELKACTL_BINARY, {"--state-dir", state_dir.path(), "on", "4"}));
  auto start = steady::now();
  while (line->changes().size() < 65 && seconds_since(start) < 3) usleep(1000);
  run.send(SIGTERM);
  EXPECT_EQ(128 + SIGTERM, run.wait(10));
  line->set_delay(0);
  EXPECT_EQ((std::vector<int>{0x00, 0x08}), sent_masks());
  EXPECT_EQ(0x08, status_json()["mask"]);
  EXPECT_FALSE(file_exists(line->lock_path()));
}

// Killed in the middle of its frame: the box may hold either mask, so the
// state reads as unknown, says why, and refuses single outlets (without
// touching the line) until the whole box is set; nothing else is left in
// the state folder.
TEST_F(relkactl_test, KillMidFrameLeavesTheStateUnknownUntilAWholeBoxSet) {
  ok({"set", "0x01"});
  settle_closed();
  line->set_delay(2000);
  child_process run;
  ASSERT_TRUE(
      run.start(RELKACTL_BINARY, {"--state-dir", state_dir.path(), "on", "4"}));
  auto start = steady::now();
  while (line->changes().size() < 30 && seconds_since(start) < 3) usleep(500);
  const int pid = run.pid();
  run.send(SIGKILL);
  EXPECT_EQ(128 + SIGKILL, run.wait(10));
  line->set_delay(0);
  settle_closed();
  program_run status = relkactl({"--json", "status"});
  EXPECT_EQ(0, status.status);
  json seen = json::parse(status.out);
  EXPECT_FALSE(seen["known"]);
  const std::string words = "the switch of box 0 from 0x01 to 0x09 by process " +
                            std::to_string(pid) + " was never finished";
  EXPECT_EQ(words, seen["under_way"]);
  EXPECT_EQ("relkactl: " + words +
                "; the outlets count as unknown until the whole box is set\n",
            status.err);
  program_run ls = run_program("/bin/ls", {"-A", state_dir.path()});
  EXPECT_EQ(state_file().substr(state_dir.path().size() + 1) + "\n", ls.out);
  EXPECT_EQ(3, relkactl({"on", "1"}).status);
  EXPECT_TRUE(line->changes().empty()) << line_story(line->changes());
  ok({"set", "0x08"});
  EXPECT_EQ(0x08, status_json()["mask"]);
}

// relka sends the whole mask: relkactl then knows what the box holds, and
// a frame that could not be driven leaves it unknown. relka's own output
// stays as it was.
TEST_F(relkactl_test, RelkasFrameIsWhatRelkactlKnows) {
  setenv("RELKA_STATE_DIR", state_dir.path().c_str(), 1);  // for relka
  ok({"-a", "1", "set", "0x01"});
  program_run relka = run_program(RELKA_BINARY, {"-q", "-a", "1", "-s", "255"});
  EXPECT_EQ(0, relka.status);
  EXPECT_EQ("", relka.out + relka.err);
  EXPECT_EQ(255, status_json(1)["mask"]);
  ok({"-a", "1", "off", "2"});
  line->fail_set(true);
  relka = run_program(RELKA_BINARY, {"-q", "-a", "1", "-s", "3"});
  EXPECT_EQ(1, relka.status);
  EXPECT_FALSE(status_json(1)["known"]);
  EXPECT_EQ((std::vector<int>{0x01, 0xff, 0xfd}), frame_masks());
}

// --- What a user reads -----------------------------------------------------

TEST_F(relkactl_test, UsageErrorsGoToStandardErrorWithStatus2) {
  program_run run = relkactl({"on", "9"});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ(
      "relkactl: '9' is not an outlet: outlets are 1 to 8, or all\n"
      "Try 'relkactl --help' for more information.\n",
      run.err);
  EXPECT_TRUE(line->changes().empty());
}

TEST_F(relkactl_test, HelpAndVersion) {
  program_run help = relkactl({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(
      0u, help.out.rfind("Usage: relkactl [OPTION]... COMMAND [OUTLET...]\n"));
  EXPECT_NE(std::string::npos,
            help.out.find("4 gave up waiting for the device"));
  program_run version = relkactl({"--version"});
  EXPECT_EQ(0, version.status);
  EXPECT_EQ("relkactl 1.0\n", version.out);
  EXPECT_TRUE(line->changes().empty());
}

// --- Names from the lab file -------------------------------------------------

const char kBenchLab[] =
    "[line.bench]\ndevice = \"/dev/relka\"\n"
    "[box.top]\nline = \"bench\"\naddress = 1\n"
    "[box.bottom]\nline = \"bench\"\naddress = 2\ncycle_delay = 5\n"
    "[outlet.web1]\nbox = \"top\"\noutlet = 3\n"
    "[outlet.mail1]\nbox = \"top\"\noutlet = 5\n"
    "[outlet.db1]\nbox = \"bottom\"\noutlet = 1\ncycle_delay = 0.3\n";

class relkactl_names_test : public relkactl_test {
 protected:
  void SetUp() override {
    relkactl_test::SetUp();
    write_file(lab_path(), kBenchLab);
  }
  std::string lab_path() const { return state_dir.file("lab.toml"); }
  program_run named(std::vector<std::string> args) {
    args.insert(args.begin(), {"--lab", lab_path()});
    return relkactl(args);
  }
  // (box address, mask) of each frame, and when it started, in seconds.
  std::vector<std::pair<int, int>> sent() {
    std::vector<std::pair<int, int>> out;
    for (const decoded_frame& f : frames())
      out.emplace_back(f.box_address(), f.data);
    return out;
  }
};

TEST_F(relkactl_names_test, NamesSwitchTheirOutletsBoxByBox) {
  ASSERT_EQ(0, named({"-b", "top", "set", "0"}).status);
  ASSERT_EQ(0, named({"--box", "bottom", "set", "0"}).status);
  settle_closed();
  program_run on = named({"on", "web1", "mail1"});
  EXPECT_EQ(0, on.status) << on.err;
  EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 0x14}}), sent())
      << "two outlets of one box in one frame";
  settle_closed();
  // A cycle over two boxes: both off, one pause (db1's own 0.3 s, which
  // wins over its box's 5 s), both on.
  program_run cycle = named({"cycle", "web1", "db1"});
  EXPECT_EQ(0, cycle.status) << cycle.err;
  EXPECT_EQ((std::vector<std::pair<int, int>>{
                {1, 0x10}, {2, 0x00}, {1, 0x14}, {2, 0x01}}),
            sent());
  std::vector<decoded_frame> f = frames();
  std::vector<line_change> changes = line->changes();
  ASSERT_EQ(4u, f.size());
  double pause = static_cast<double>(changes[f[2].first_change].usec -
                                     changes[f[1].last_change].usec) /
                 1e6;
  EXPECT_GE(pause, 0.3);
  EXPECT_LT(pause, 1.5) << "one pause, not one per box";
  program_run status = named({"status", "web1", "db1"});
  EXPECT_EQ("web1 (top outlet 3): on\ndb1 (bottom outlet 1): on\n", status.out);
  program_run numbers = named({"-b", "top", "status"});
  EXPECT_NE(std::string::npos, numbers.out.find("outlet 3 (web1): on\n"))
      << numbers.out;
}

TEST_F(relkactl_names_test, ListShowsEveryNameWithItsState) {
  ASSERT_EQ(0, named({"-b", "top", "set", "0x04"}).status);
  program_run list = named({"list"});
  EXPECT_EQ(0, list.status) << list.err;
  EXPECT_EQ(
      "line    bench            /dev/relka\n"
      "box     top              line bench, address 1: 0x04\n"
      "box     bottom           line bench, address 2: unknown\n"
      "outlet  web1             top outlet 3: on\n"
      "outlet  mail1            top outlet 5: off\n"
      "outlet  db1              bottom outlet 1: unknown\n",
      list.out);
  json listed = json::parse(named({"--json", "list"}).out);
  EXPECT_EQ("/dev/relka", listed["lines"][0]["device"]);
  EXPECT_EQ(4, listed["boxes"][0]["mask"]);
  EXPECT_EQ("web1", listed["boxes"][0]["names"]["3"]);
  EXPECT_EQ("on", listed["outlets"][0]["state"]);
  EXPECT_EQ(1u, port_writes(line->changes()).size() / 60) << "list sent";
}

// Names that are not in the file, and a file with a mistake, are usage
// errors that send nothing.
TEST_F(relkactl_names_test, UnknownNamesAndBadFilesAreRefused) {
  write_file(
      state_dir.file("bad.toml"),
      std::string(kBenchLab) + "[outlet.web2]\nbox = \"top\"\noutlet = 9\n");
  struct refusal {
    std::vector<std::string> args;
    std::string said;
  };
  std::vector<refusal> refusals = {
      {{"--lab", lab_path(), "on", "wbe1"},
       "relkactl: 'wbe1' is not an outlet in " + lab_path() +
           " (did you mean web1?)\n"},
      {{"--lab", lab_path(), "on", "top"},
       "relkactl: 'top' is a box: name its outlets, or give --box top and "
       "outlet numbers\n"},
      {{"--lab", lab_path(), "-b", "tpo", "on", "3"},
       "relkactl: 'tpo' is not a box in " + lab_path() +
           " (did you mean top?)\n"},
      {{"--lab", lab_path(), "-b", "top", "-a", "3", "on", "3"},
       "relkactl: --box top names a device and an address already: leave "
       "out -d and -a\n"},
      {{"--lab", state_dir.file("bad.toml"), "on", "web1"},
       "relkactl: " + state_dir.file("bad.toml") +
           ":22: outlet of outlet 'web2' must be a whole number from 1 to 8\n"},
      {{"--lab", lab_path(), "-b", "bench", "on", "3"},
       "relkactl: 'bench' is a line, not a box or an outlet: its boxes are "
       "top, bottom\n"},
      {{"--lab", lab_path(), "on", "WEB1"},
       "relkactl: 'WEB1' is not an outlet in " + lab_path() +
           " (did you mean web1?)\n"},
      {{"--lab", lab_path(), "on", "web1", "3"},
       "relkactl: outlet 3 beside names: say which box the numbers are on "
       "with -b BOX (or -d and -a), or name every outlet\n"},
      {{"of", "3"},
       "relkactl: unknown command 'of' (did you mean off or on?)\n"},
      {{"cylce", "3"},
       "relkactl: unknown command 'cylce' (did you mean cycle?)\n"},
  };
  for (const refusal& r : refusals) {
    program_run run = relkactl(r.args);
    EXPECT_EQ(2, run.status) << r.said;
    EXPECT_EQ(r.said + "Try 'relkactl --help' for more information.\n",
              run.err);
  }
  EXPECT_EQ(0, line->open_count_after(1, 150)) << "a refused run opened";
  // Numbers with -d and -a need no names: the mistake is only a warning.
  program_run numbers = relkactl({"--lab", state_dir.file("bad.toml"), "-d",
                                  "/dev/relka", "-a", "1", "set", "0"});
  EXPECT_EQ(0, numbers.status) << numbers.err;
  EXPECT_EQ(0u, numbers.err.rfind("relkactl: warning: " +
                                  state_dir.file("bad.toml") + ":22: "))
      << numbers.err;
  write_file(state_dir.file("empty.toml"), "# nothing yet\n");
  program_run empty = relkactl({"--lab", state_dir.file("empty.toml"), "list"});
  EXPECT_EQ("relkactl: " + state_dir.file("empty.toml") +
                " names no line, box or outlet: see man 5 relka-lab.toml\n",
            empty.err);
  struct stat st {};
  if (stat(default_lab_file, &st) != 0 && getenv("RELKA_LAB") == nullptr) {
    program_run list = relkactl({"list"});
    EXPECT_EQ(2, list.status);
    EXPECT_EQ(0u, list.err.rfind("relkactl: there is no lab file to list (/etc/"
                                 "relka/lab.toml, --lab FILE or RELKA_LAB)\n",
                                 0))
        << list.err;
  }
}

// Every switching run logs one line to syslog, also a refused one; the
// line says who, what, the mask sent and how it ended.
TEST_F(relkactl_test, EverySwitchIsLoggedToSyslog) {
  log_catcher log;
  ASSERT_TRUE(log.ready());
  std::string why;
  int status = log.run(RELKACTL_BINARY,
                       {"--state-dir", state_dir.path(), "set", "0x05"}, &why);
  REQUIRE_TOOL(status != -1, "namespaces");
  EXPECT_EQ(0, status);
  std::string done = log.next_line();
  EXPECT_EQ(0u, done.rfind("<13>", 0)) << "user.notice: " << done;
  EXPECT_NE(std::string::npos, done.find(" relkactl["));
  EXPECT_NE(std::string::npos,
            done.find(": set 0x05 (box 0, /dev/relka): sent 0x05: done"))
      << done;
  ASSERT_EQ(0, log.run(RELKACTL_BINARY,
                       {"--state-dir", state_dir.path(), "forget"}, &why));
  EXPECT_EQ(3, log.run(RELKACTL_BINARY,
                       {"--state-dir", state_dir.path(), "on", "3"}, &why));
  std::string refused = log.next_line();
  EXPECT_EQ(0u, refused.rfind("<12>", 0)) << "user.warning: " << refused;
  EXPECT_NE(std::string::npos,
            refused.find(": on 3 (box 0 outlet 3, /dev/relka): nothing sent: "
                         "failed with status 3: the outlets of box 0 on "
                         "/dev/relka are not known"))
      << refused;
  EXPECT_EQ("", log.next_line(200)) << "forget logs nothing";
}

// Under a service's RestrictSUIDSGID= (pdudaemon's and relkad's units both
// have it, through DynamicUser=), a mkdir that asks for the set-group-ID
// bit fails even where the folder is there: the state folder that exists
// is used as it is.
TEST_F(relkactl_test, SwitchesUnderAServicesSetidRestriction) {
  program_run run = run_program(
      NO_SETGID_BINARY,
      {RELKACTL_BINARY, "--state-dir", state_dir.path(), "set", "0x21"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ((std::vector<int>{0x21}), frame_masks());
  EXPECT_EQ(0x21, status_json()["mask"]);
}

// --- The adapter behind the terminal ----------------------------------------

// USB adapters get their tty number in plug order: the state of a box must
// follow its adapter (its /dev/serial/by-id name), never the number, and a
// state file from before adapters were told apart is never applied.
TEST_F(relkactl_test, StateFollowsTheAdapterNotTheTerminalNumber) {
  modem_line* usb0 = add_line("/dev/ttyUSB0");
  modem_line* usb1 = add_line("/dev/ttyUSB1");
  ASSERT_NE(nullptr, usb0);
  ASSERT_NE(nullptr, usb1);
  const std::string by_id = "/dev/serial/by-id/";
  // Plugged in one order: adapter A is ttyUSB0, B is ttyUSB1.
  link_in_dev(by_id + "usb-A", "../../ttyUSB0");
  link_in_dev(by_id + "usb-B", "../../ttyUSB1");
  // A file of the old kind under the terminal's name: whose box was that?
  std::string terminal =
      usb0->terminal().substr(usb0->terminal().rfind('/') + 1);
  std::string old_file = state_path(state_dir.path(), terminal, 0);
  write_file(old_file,
             "device /dev/ttyUSB0\nterminal " + terminal + "\nbox 0\nmask 1\n");
  program_run refused = relkactl({"-d", "/dev/ttyUSB0", "off", "8"});
  EXPECT_EQ(3, refused.status);
  EXPECT_EQ(0u, refused.err.rfind("relkactl: the state in " + old_file +
                                      " was set on whatever adapter was " +
                                      terminal + " then, but " + terminal +
                                      " is adapter usb-A now; it counts as "
                                      "unknown\n",
                                  0))
      << refused.err;

  ok({"-d", "/dev/ttyUSB0", "set", "0x01"});  // A's box
  ok({"-d", "/dev/ttyUSB1", "set", "0x80"});  // B's box
  // Plugged in the other order.
  link_in_dev(by_id + "usb-A", "../../ttyUSB1");
  link_in_dev(by_id + "usb-B", "../../ttyUSB0");
  for (modem_line* l : {usb0, usb1}) {
    EXPECT_TRUE(l->closed_after(2000));
    l->clear_record();
  }
  ok({"-d", "/dev/ttyUSB0", "off", "8"});  // B's box: 0x80 less outlet 8
  ok({"-d", "/dev/ttyUSB1", "on", "2"});   // A's box: 0x01 and outlet 2
  for (auto [l, mask] : {std::pair{usb0, 0x00}, std::pair{usb1, 0x03}}) {
    std::vector<decoded_frame> sent =
        decode_frames(l->changes(), kStatusBits).frames;
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(mask, sent[0].data);
  }
  json b =
      json::parse(relkactl({"--json", "-d", by_id + "usb-B", "status"}).out);
  EXPECT_EQ("usb-B", b["identity"]);
  EXPECT_EQ(0x00, b["mask"]);
}

// status and forget need the state, not the device: they work with the
// adapter unplugged, by its by-id name or by the path it was set through.
TEST_F(relkactl_test, StatusAndForgetWithoutTheDevice) {
  link_in_dev("/dev/serial/by-id/usb-A", "../../relka");
  ok({"set", "0x24"});
  settle_closed();
  // Unplugged: udev takes both names away.
  unlink_in_dev("/dev/serial/by-id/usb-A");
  unlink_in_dev("/dev/relka");
  for (const char* device : {"/dev/serial/by-id/usb-A", "/dev/relka"}) {
    program_run run = relkactl({"--json", "-d", device, "status"});
    EXPECT_EQ(0, run.status) << run.err;
    json state = json::parse(run.out);
    EXPECT_EQ(0x24, state["mask"]) << device;
    EXPECT_EQ("usb-A", state["identity"]) << device;
  }
  ok({"-d", "/dev/serial/by-id/usb-A", "forget"});
  program_run after = relkactl({"--json", "-d", "/dev/relka", "status"});
  EXPECT_FALSE(json::parse(after.out)["known"]);
  EXPECT_EQ(0, line->open_count()) << "the device was opened";
}

// A device that cannot be opened is refused with rs232's line and
// relkactl's own, which says why and what to try; with --json the same
// reason comes as one JSON object on standard output.
TEST_F(relkactl_test, OpenFailuresSayWhyAndWhatToTry) {
  scoped_folder folder;
  std::string plain = folder.file("plain-file");
  write_file(plain, "");
  std::string locked = folder.file("locked");
  write_file(locked, "");
  chmod(locked.c_str(), 0);
  chmod(folder.path().c_str(), 0711);  // the mode of `locked` is what refuses
  struct failure_case {
    std::string device;
    std::string rs232_line;
    std::string says;  // the start of relkactl's line
    bool as_nobody;    // root may open anything
  };
  const bool root = geteuid() == 0;
  std::vector<failure_case> cases = {
      {"/dev/relka-missing",
       "rs232::open: cannot open device [/dev/relka-missing]\n",
       "cannot open /dev/relka-missing: no such device; is the adapter "
       "plugged in and the udev rule installed? 'ls /dev/serial/by-id' lists "
       "the adapters that are plugged in",
       false},
      {plain,
       "rs232::open: requested device [" + plain + "] is not a tty device.\n",
       "cannot open " + plain +
           ": not a terminal; give the serial device the box hangs on",
       false},
      {locked, "rs232::open: cannot open device [" + locked + "]\n",
       "cannot open " + locked +
           ": permission denied; only root may open it (root:root, mode "
           "0000): a udev rule",
       root},
  };
  for (const failure_case& c : cases) {
    for (bool with_json : {false, true}) {
      std::vector<std::string> args = {"-d", c.device, "set", "1"};
      if (with_json) args.insert(args.begin(), "--json");
      program_run run;
      if (c.as_nobody) {
        args.insert(args.begin(), {RELKACTL_BINARY, "--state-dir", "/tmp"});
        args.insert(args.begin(),
                    {"--reuid=65534", "--regid=65534", "--clear-groups", "--"});
        run = run_program("/usr/bin/setpriv", args);
      } else {
        run = relkactl(args);
      }
      EXPECT_EQ(255, run.status) << c.device;
      EXPECT_EQ(0u, run.err.rfind(c.rs232_line + "relkactl: " + c.says, 0))
          << run.err;
      if (!with_json) {
        EXPECT_EQ("", run.out);
        continue;
      }
      json failure = json::parse(run.out, nullptr, false);
      ASSERT_TRUE(failure.is_object()) << run.out;
      EXPECT_EQ(255, failure["status"]);
      EXPECT_EQ(c.device, failure["device"]);
      EXPECT_EQ(0, failure["box"]);
      EXPECT_EQ(0u, failure["error"].get<std::string>().rfind(c.says, 0));
    }
  }
  EXPECT_TRUE(line->changes().empty());
}

}  // namespace

// An outlet leased to someone (relkad's leases, beside the state) is
// refused without a frame, and shown by status; --break-lease switches it,
// ends the lease and logs that.
TEST_F(relkactl_test, LeasedOutletIsRefusedUntilTheLeaseIsBroken) {
  ok({"set", "0x00"});
  std::string leases = lease_file_of(state_dir.path(), default_device, 0);
  std::string problem;
  ASSERT_TRUE(change_leases(
      leases, time(nullptr),
      [](std::vector<outlet_lease>* l) {
        l->push_back({3, "alice", time(nullptr) + 600});
        return true;
      },
      &problem))
      << problem;
  std::string until = lease_time_text(time(nullptr) + 600).substr(0, 13);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"on", "3"}, {"set", "0xff"}, {"cycle", "3"}}) {
    program_run refused = relkactl(args);
    EXPECT_EQ(3, refused.status) << args[0];
    EXPECT_NE(std::string::npos,
              refused.err.find("relkactl: outlet 3 of box 0 on /dev/relka is "
                               "leased to alice until " +
                               until))
        << refused.err;
  }
  ok({"on", "4"});  // the outlets next to it are free
  EXPECT_NE(std::string::npos,
            relkactl({"status"}).out.find("outlet 3: off, leased to alice"));
  EXPECT_EQ("alice", status_json()["leases"]["3"]["holder"]);
  log_catcher log;
  ASSERT_TRUE(log.ready());
  std::string why;
  int status = log.run(
      RELKACTL_BINARY,
      {"--state-dir", state_dir.path(), "--break-lease", "on", "3"}, &why);
  REQUIRE_TOOL(status != -1, "namespaces");
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos,
            log.next_line().find(": broke the lease: outlet 3 of box 0 on "
                                 "/dev/relka is leased to alice"));
  EXPECT_EQ((std::vector<int>{0x00, 0x08, 0x0c}), sent_masks());
  EXPECT_FALSE(file_exists(leases)) << "the broken lease is over";
}
