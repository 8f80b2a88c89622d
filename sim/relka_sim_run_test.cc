// SPDX-License-Identifier: MIT
// relka-sim run, as a user runs it: a command against virtual lines, and
// the timeline it reports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <string>
#include <vector>

#include "sim/run_program.h"
#include "tests/last_json.h"
#include "tests/line_fixture.h"

namespace {

using json = nlohmann::json;

program_run sim_run(const std::vector<std::string>& args, double limit = 60) {
  std::vector<std::string> all = {"run"};
  all.insert(all.end(), args.begin(), args.end());
  return run_program(RELKA_SIM_BINARY, all, child_stdin::null_device, limit);
}

// Running, and not a zombie waiting to be reaped.
bool alive(int pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() &&
         stat[end + 2] != 'Z';
}

json report_of(const program_run& run) { return last_json_line(run.out); }

TEST(relka_sim_run_test, LabScriptAgainstOneBox) {
  program_run run = sim_run(
      {"--", "sh", "-c",
       "relkactl set 0 && relkactl on 3 && relkactl cycle 3 --delay 0.3 && "
       "relkactl status"});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_NE(std::string::npos, run.out.find("outlet 3: on\n")) << run.out;
  EXPECT_NE(std::string::npos, run.out.find("relka-sim: 4 frames on 1 line\n"));
  EXPECT_NE(std::string::npos,
            run.out.find("  mask 0x04  box 0: outlet 3 on\n"));
  EXPECT_NE(std::string::npos,
            run.out.find("  mask 0x00  box 0: outlet 3 off\n"));
  EXPECT_NE(
      std::string::npos,
      run.out.find("relka-sim: the boxes at the end:\n"
                   "  /dev/relka box 0: mask 0x04, 3 on; 1 2 4 5 6 7 8 off\n"))
      << run.out;
}

TEST(relka_sim_run_test, SeveralLinesAndTheCommandsStatus) {
  const std::string script =
      "relka -q -a 2 -s 5 && relkactl -d /dev/relka2 -a 1 set 0x80 && exit 3";
  program_run run = sim_run({"--json", "--line", "/dev/relka", "--line",
                             "/dev/relka2", "--", "sh", "-c", script});
  EXPECT_EQ(3, run.status) << run.err;
  json report = report_of(run);
  EXPECT_EQ(3, report["command"]["status"]);
  EXPECT_FALSE(report["command"]["timed_out"]);
  ASSERT_EQ(2u, report["frames"].size());
  EXPECT_EQ("/dev/relka", report["frames"][0]["line"]);
  EXPECT_EQ(2, report["frames"][0]["box_address"]);
  EXPECT_EQ(5, report["frames"][0]["data"]);
  EXPECT_EQ("/dev/relka2", report["frames"][1]["line"]);
  EXPECT_EQ(128, report["frames"][1]["data"]);
  EXPECT_LT(report["frames"][0]["time_us"], report["frames"][1]["time_us"]);
  ASSERT_EQ(2u, report["boxes"].size());
  EXPECT_EQ(1, report["boxes"][1]["box_address"]);
  EXPECT_EQ("on", report["boxes"][1]["outlets"]["8"]);
  EXPECT_TRUE(report["faults"].empty());
}

TEST(relka_sim_run_test, CommandFindsOurProgramsAndAFreshStateFolder) {
  unsetenv("RELKA_STATE_DIR");
  std::string caller = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", "/usr/bin:/bin", 1);  // a user's, without sbin
  program_run run = sim_run({"--", "sh", "-c",
                             "command -v relka; command -v relkactl; echo "
                             "\"state=$RELKA_STATE_DIR\"; echo \"$PATH\""});
  setenv("PATH", caller.c_str(), 1);
  ASSERT_EQ(0, run.status) << run.err;
  std::string folder = std::string(RELKA_SIM_BINARY)
                           .substr(0, std::string(RELKA_SIM_BINARY).rfind('/'));
  EXPECT_NE(std::string::npos,
            run.out.find(folder + "/relka\n" + folder + "/relkactl\n"))
      << run.out;
  size_t at = run.out.find("state=/tmp/relka-sim-state.");
  ASSERT_NE(std::string::npos, at) << run.out;
  std::string state = run.out.substr(at + 6, run.out.find('\n', at) - at - 6);
  EXPECT_FALSE(file_exists(state)) << "the state folder outlived the run";
  EXPECT_NE(std::string::npos, run.out.find(":/usr/bin:/bin:/usr/sbin:/sbin\n"))
      << "relkad's /usr/sbin is not on the command's PATH: " << run.out;
}

TEST(relka_sim_run_test, CallersStateFolderIsKept) {
  scoped_folder folder;
  setenv("RELKA_STATE_DIR", folder.path().c_str(), 1);
  program_run run = sim_run({"--", "relkactl", "-a", "3", "set", "7"});
  unsetenv("RELKA_STATE_DIR");
  ASSERT_EQ(0, run.status) << run.err;
  program_run ls = run_program("/bin/ls", {folder.path()});
  EXPECT_NE(std::string::npos, ls.out.find(".box3\n")) << ls.out;
}

TEST(relka_sim_run_test, TimeLimitKillsTheCommandAndWhatItStarted) {
  scoped_folder folder;
  std::string marker = folder.file("pid");
  auto start = std::chrono::steady_clock::now();
  program_run run = sim_run({"--time-limit", "0.5", "--", "sh", "-c",
                             "sleep 30 & echo $! > " + marker + "; wait"});
  double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(125, run.status);
  EXPECT_NE(
      std::string::npos,
      run.err.find("relka-sim: sh ran longer than 0.5 s and was killed\n"))
      << run.err;
  EXPECT_LT(took, 5.0);
  int pid = std::stoi(read_file(marker));
  EXPECT_FALSE(alive(pid)) << "the command's child outlived the run";
}

TEST(relka_sim_run_test, LeftoversAreEndedWhenTheCommandExits) {
  scoped_folder folder;
  std::string marker = folder.file("pid");
  auto start = std::chrono::steady_clock::now();
  program_run run =
      sim_run({"--", "sh", "-c", "sleep 30 & echo $! > " + marker}, 20);
  double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  EXPECT_EQ(0, run.status);
  EXPECT_LT(took, 0.9) << "a leftover that ends at SIGTERM is not waited for";
  EXPECT_FALSE(run.timed_out) << "relka-sim waited for the leftover";
  int pid = std::stoi(read_file(marker));
  EXPECT_FALSE(alive(pid)) << "a leftover outlived the testbed";
}

TEST(relka_sim_run_test, DumpHasAPairPerLine) {
  scoped_folder folder;
  std::string vcd = folder.file("lab.vcd");
  program_run run = sim_run({"--vcd", vcd, "--line", "/dev/relka", "--line",
                             "/dev/relka-b", "--", "relka", "-q", "-s", "1"});
  ASSERT_EQ(0, run.status) << run.err;
  std::string dump = read_file(vcd);
  EXPECT_NE(std::string::npos, dump.find("$scope module relka $end"));
  EXPECT_NE(std::string::npos, dump.find("$scope module relka_b $end"));
  EXPECT_NE(std::string::npos, dump.find("$var wire 1 r1 RTS $end"));
}

struct usage_case {
  const char* name;
  std::vector<std::string> args;
  const char* error;
};

void PrintTo(const usage_case& c, std::ostream* os) { *os << c.name; }

class relka_sim_run_usage_test : public testing::TestWithParam<usage_case> {};

TEST_P(relka_sim_run_usage_test, IsItsOwnFailure) {
  program_run run = sim_run(GetParam().args);
  EXPECT_EQ(125, run.status);
  EXPECT_EQ(0u, run.err.rfind(std::string("relka-sim run: ") +
                              GetParam().error + "\n"))
      << run.err;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Errors, relka_sim_run_usage_test, testing::Values(
    usage_case{"NoCommand", {"--"}, "no COMMAND after --"},
    usage_case{"LineOutsideDev", {"--line", "/tmp/x", "--", "true"}, "--line: /tmp/x is not a path under /dev"},
    usage_case{"LineTwice", {"--line", "/dev/a", "--line", "/dev/a", "--", "true"}, "--line: /dev/a given twice"},
    usage_case{"BadLimit", {"--time-limit", "0", "--", "true"}, "--time-limit: not a positive number of seconds: 0"},
    usage_case{"Unknown", {"--bogus", "--", "true"}, "--bogus: unknown option"}),
    [](const testing::TestParamInfo<usage_case>& c) { return std::string(c.param.name); });
// clang-format on

TEST(relka_sim_run_test, MissingCommandIsItsOwnFailure) {
  program_run run = sim_run({"--", "/nonexistent/lab-script"});
  EXPECT_EQ(125, run.status);
  EXPECT_EQ(
      "relka-sim: cannot run /nonexistent/lab-script: No such file or "
      "directory\n",
      run.err);
}

// A command that reads the terminal relka-sim was started from gets it:
// relka-sim hands the terminal's foreground to the command's group while it
// runs (before, an interactive shell was stopped until the time limit).
TEST(relka_sim_run_test, CommandReadsTheTerminal) {
  int terminal = -1;
  pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl(RELKA_SIM_BINARY, RELKA_SIM_BINARY, "run", "--time-limit", "10", "--",
          "sh", "-c", "read answer; echo \"got $answer\"",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  fcntl(terminal, F_SETFL, O_NONBLOCK);
  // Reaped however the test ends: given a few seconds to finish on its own
  // (its report, its state folder removed), then killed.
  struct reaped {
    pid_t pid;
    int fd;
    ~reaped() {
      for (int i = 0; i < 100; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
          close(fd);
          return;
        }
        char drain[256];
        (void)!read(fd, drain, sizeof drain);  // a full terminal would stall it
        usleep(50000);
      }
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      close(fd);
    }
  } guard{pid, terminal};
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(4, write(terminal, "yes\n", 4));
  std::string seen;
  while (seen.find("got yes") == std::string::npos &&
         seconds_since(start) < 8) {
    pollfd in = {terminal, POLLIN, 0};
    if (poll(&in, 1, 100) <= 0) continue;
    char buffer[256];
    ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_NE(std::string::npos, seen.find("got yes")) << seen;
  EXPECT_LT(seconds_since(start), 5.0) << "the command waited for the terminal";
}

}  // namespace
