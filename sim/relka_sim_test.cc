// SPDX-License-Identifier: MIT
// relka-sim run as a user runs it; sigrok's own I2C decoder checks its VCD.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "sim/report.h"
#include "sim/run_program.h"
#include "sim/serial_bench.h"
#include "tests/capture.h"
#include "tests/case_name.h"
#include "tests/last_json.h"
#include "tests/line_fixture.h"
#include "tests/require_tool.h"

namespace {

using json = nlohmann::json;

program_run relka_sim(const std::vector<std::string>& args) {
  return run_program(RELKA_SIM_BINARY, args);
}

json report_of(const program_run& run) { return last_json_line(run.out); }

struct status_case {
  const char* name;
  std::vector<std::string> relka_args;
  int status;
  int frames;
};

void PrintTo(const status_case& c, std::ostream* os) { *os << c.name; }

class relka_sim_status_test : public testing::TestWithParam<status_case> {};

TEST_P(relka_sim_status_test, PassesRelkaThroughAndReportsTheBox) {
  const status_case& c = GetParam();
  std::vector<std::string> args = {"--json", "--relka", RELKA_BINARY, "--"};
  args.insert(args.end(), c.relka_args.begin(), c.relka_args.end());
  program_run run = relka_sim(args);
  EXPECT_EQ(c.status, run.status) << run.err;
  json report = report_of(run);
  EXPECT_EQ(c.status, report["relka"]["status"]);
  EXPECT_EQ("/dev/relka", report["device"]);
  EXPECT_EQ(c.frames, report["frames"].size());
  EXPECT_TRUE(report["faults"].empty());
  // relka's own output comes first, unchanged, on the same streams.
  std::string relka_out = report["relka"]["stdout"];
  EXPECT_EQ(0u, run.out.rfind(relka_out, 0));
  EXPECT_EQ(report["relka"]["stderr"], run.err);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, relka_sim_status_test,
    testing::Values(
        status_case{"Switched", {"-a", "2", "-s", "5"}, 0, 1},
        status_case{"OnlyOpened", {"-a", "2"}, 0, 0},
        status_case{
            "NotFound", {"-q", "-d", "/dev/relka-missing", "-s", "1"}, 255, 0},
        // A pseudo-terminal's master side has no modem lines.
        status_case{
            "NoModemLines", {"-q", "-d", "/dev/ptmx", "-s", "1"}, 1, 0}),
    by_name());

TEST(relka_sim_test, JsonDescribesTheFrame) {
  program_run run = relka_sim({"--json", "--", "-a", "7", "-s", "255"});
  ASSERT_EQ(0, run.status) << run.err;
  json frame = report_of(run)["frames"].at(0);
  EXPECT_EQ(39, frame["address_byte"]);
  EXPECT_EQ("0 1 0 0 1 1 1", frame["address_bits"]);
  EXPECT_EQ(7, frame["box_address"]);
  EXPECT_EQ("W", frame["rw"]);
  EXPECT_EQ(0, frame["ack_address"]);
  EXPECT_EQ("0xff", frame["data_hex"]);
  EXPECT_EQ("1 1 1 1 1 1 1 1", frame["data_bits"]);
  EXPECT_EQ(1, frame["ack_data"]);
  // Change 1 is the open raising both lines; the frame's first two writes
  // find them up already.
  EXPECT_EQ(4, frame["first_change"]);
  EXPECT_EQ(60, frame["last_change"]);
  json events = report_of(run)["line_events"];
  ASSERT_EQ(2u, events.size());
  EXPECT_EQ("open", events[0]["event"]);
  EXPECT_EQ(1, events[0]["change"]);
  EXPECT_EQ("close", events[1]["event"]);
  EXPECT_EQ(62, events[1]["change"]);
}

TEST(relka_sim_test, TextReportAndNoFrame) {
  program_run run = relka_sim({"--", "-a", "1", "-s", "3"});
  EXPECT_EQ(0, run.status);
  EXPECT_NE(std::string::npos,
            run.out.find("  address  0x21  0 1 0 0 0 0 1  (box address 1)\n"
                         "  R/W      0  write\n"
                         "  ack      0\n"
                         "  data     0x03  0 0 0 0 0 0 1 1\n"))
      << run.out;
  run = relka_sim({"--", "-q"});
  EXPECT_EQ(0, run.status);
  // Opened and closed, nothing sent: the driver's two changes, said as such.
  std::regex only_opened(
      "relka-sim: the box at /dev/relka saw 2 line changes in [0-9]+ us\n"
      "relka-sim: at change 1 \\(0 us\\) the line was opened: DTR and RTS "
      "up\n"
      "relka-sim: at change 2 \\([0-9]+ us\\) the line was closed: DTR and "
      "RTS down\n"
      "relka-sim: no frame was sent\n");
  EXPECT_TRUE(std::regex_match(run.out, only_opened)) << run.out;
}

TEST(relka_sim_test, RestartsItselfUnderTheMockEnvironment) {
  program_run run = run_program(
      "/usr/bin/env",
      {"-u", "LD_PRELOAD", RELKA_SIM_BINARY, "--json", "--", "-s", "9"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(9, report_of(run)["frames"].at(0)["data"]);
}

TEST(relka_sim_test, OwnFailuresAre125) {
  program_run run = relka_sim({"--bogus"});
  EXPECT_EQ(125, run.status);
  EXPECT_EQ(0u, run.err.rfind(
                    "relka-sim: --bogus: unknown option\nusage: relka-sim"));
  run = relka_sim({"--relka", "/nonexistent/relka"});
  EXPECT_EQ(125, run.status);
  EXPECT_EQ(
      "relka-sim: cannot run /nonexistent/relka: No such file or directory\n",
      run.err);
}

TEST(relka_sim_test, UnwritableReportIsItsOwnFailure) {
  program_run run = run_program(
      "/bin/sh",
      {"-c", std::string(RELKA_SIM_BINARY) + " -- -q -s 1 >/dev/full"});
  EXPECT_EQ(125, run.status);
  EXPECT_EQ("relka-sim: cannot write the report: No space left on device\n",
            run.err);
}

TEST(relka_sim_test, ProgramThatRunsTooLongIsKilled) {
  auto start = std::chrono::steady_clock::now();
  program_run run =
      relka_sim({"--time-limit", "0.3", "--relka", "/bin/sleep", "--", "30"});
  double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(125, run.status);
  EXPECT_EQ("relka-sim: /bin/sleep ran longer than 0.3 s and was killed\n",
            run.err);
  EXPECT_LT(took, 5.0);
}

TEST(relka_sim_test, TimeLimitMustBeAPositiveNumber) {
  for (const char* bad : {"0", "-1", "soon", "2x"}) {
    program_run run = relka_sim({"--time-limit", bad});
    EXPECT_EQ(125, run.status) << bad;
    EXPECT_EQ(
        0u, run.err.rfind(std::string("relka-sim: --time-limit: not a positive "
                                      "number of seconds: ") +
                          bad + "\n"))
        << run.err;
  }
}

TEST(serial_bench_test, LineOutsideDevIsRefused) {
  ASSERT_TRUE(serial_bench::available());
  serial_bench bench;
  fd_capture err(2);
  EXPECT_EQ(nullptr, bench.add_line("/tmp/relka"));
  EXPECT_EQ("relka-sim: /tmp/relka is not under /dev\n", err.text());
}

// What sigrok's decoder makes of relka-sim's dump: (address, data) pairs.
std::vector<std::pair<int, int>> sigrok_decode(const std::string& vcd) {
  program_run run =
      run_program("/usr/bin/sigrok-cli",
                  {"-I", "vcd", "-i", vcd, "-P", "i2c:scl=DTR:sda=RTS", "-A",
                   "i2c=address-write:data-write"});
  EXPECT_EQ(0, run.status) << run.err;
  std::vector<std::pair<int, int>> frames;
  std::regex address("Address write: ([0-9A-F]+)"),
      data("Data write: ([0-9A-F]+)");
  std::smatch m;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, m, address))
      frames.push_back({std::stoi(m[1], nullptr, 16), -1});
    else if (std::regex_search(line, m, data) && !frames.empty())
      frames.back().second = std::stoi(m[1], nullptr, 16);
  }
  return frames;
}

struct sigrok_case {
  int address;
  int mask;
};

void PrintTo(const sigrok_case& c, std::ostream* os) {
  *os << "address " << c.address << " mask " << c.mask;
}

class relka_sim_sigrok_test : public testing::TestWithParam<sigrok_case> {};

TEST_P(relka_sim_sigrok_test, SigrokReadsWhatWasAskedAndReported) {
  REQUIRE_TOOL(file_exists("/usr/bin/sigrok-cli"), "sigrok-cli");
  scoped_folder folder;
  std::string vcd = folder.file("frame.vcd");
  const sigrok_case& c = GetParam();
  program_run run =
      relka_sim({"--json", "--vcd", vcd, "--", "-a", std::to_string(c.address),
                 "-s", std::to_string(c.mask)});
  ASSERT_EQ(0, run.status) << run.err;
  json frame = report_of(run)["frames"].at(0);

  std::vector<std::pair<int, int>> seen = sigrok_decode(vcd);
  ASSERT_EQ(1u, seen.size());
  EXPECT_EQ(frame["address_byte"], seen[0].first);
  EXPECT_EQ(frame["data"], seen[0].second);
  EXPECT_EQ((c.address + 32) & 0x7f, seen[0].first);
  EXPECT_EQ(c.mask & 0xff, seen[0].second);
}

INSTANTIATE_TEST_SUITE_P(Frames, relka_sim_sigrok_test,
                         testing::Values(sigrok_case{0, 0}, sigrok_case{2, 5},
                                         sigrok_case{7, 255},
                                         sigrok_case{96, 0xa5},
                                         sigrok_case{-1, -1}),
                         [](const testing::TestParamInfo<sigrok_case>& frame) {
                           return "Address" + number_name(frame.param.address) +
                                  "Mask" + number_name(frame.param.mask);
                         });

TEST(vcd_dump_test, KeepsEveryChangeApartInTime) {
  // Three writes in one microsecond: each must still get its own time.
  std::vector<line_change> changes = {
      {100, TIOCM_RTS}, {100, TIOCM_RTS | TIOCM_DTR}, {100, TIOCM_RTS}};
  EXPECT_EQ("#0\n$dumpvars\n0r\n0d\n$end\n#10\n1r\n#11\n1d\n#12\n0d\n#22\n",
            vcd_dump(changes, 0).substr(vcd_dump(changes, 0).find("#0")));
}

}  // namespace
