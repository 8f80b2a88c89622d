// SPDX-License-Identifier: MIT
#include "sim/lab_run.h"

#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "outlet/outlet_switch.h"
#include "sim/lab_report.h"
#include "sim/report.h"
#include "sim/run_program.h"
#include "sim/serial_bench.h"

#include <glib.h>

const char lab_usage[] =
    "usage: relka-sim run [--line PATH]... [--json] [--vcd FILE]\n"
    "                     [--time-limit SECONDS] -- COMMAND [ARG...]\n"
    "\n"
    "Runs COMMAND (a lab script, pdudaemon, pytest...) with one virtual RELKA\n"
    "line per --line (default /dev/relka); every process it starts sees the\n"
    "same lines. relka, relkactl and relkad from beside relka-sim come first\n"
    "on its PATH (then the caller's, then /usr/sbin and /sbin), and\n"
    "RELKA_STATE_DIR points at a fresh folder unless it is set.\n"
    "Afterwards relka-sim reports every frame on every line in time order,\n"
    "with the outlets it switched, and the boxes' outlets at the end.\n"
    "\n"
    "  --line PATH           a virtual line at PATH (under /dev), repeatable\n"
    "  --json                report as one JSON object on the last line\n"
    "  --vcd FILE            RTS and DTR of every line as a Value Change Dump\n"
    "  --time-limit SECONDS  kill COMMAND and all it started after this long\n"
    "                        (default 600)\n"
    "\n"
    "Exit status: COMMAND's own, or 125 when relka-sim itself fails\n"
    "(also when COMMAND is killed at the time limit).\n";

namespace {

struct lab_options {
  std::vector<std::string> lines;
  bool json = false;
  std::string vcd;
  double time_limit = 600;
  std::vector<std::string> command;
};

bool parse_lab(const std::vector<std::string>& args, lab_options& options,
               std::string& error) {
  size_t i = 1;
  for (; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool has_next = i + 1 < args.size();
    if (arg == "--") {
      ++i;
      break;
    } else if (arg == "--json") {
      options.json = true;
    } else if ((arg == "--line" || arg == "--vcd" || arg == "--time-limit") &&
               !has_next) {
      error = arg + ": needs a value";
      return false;
    } else if (arg == "--line") {
      const std::string& path = args[++i];
      if (path.rfind("/dev/", 0) != 0 || path.size() <= 5) {
        error = "--line: " + path + " is not a path under /dev";
        return false;
      }
      for (const std::string& known : options.lines)
        if (known == path) {
          error = "--line: " + path + " given twice";
          return false;
        }
      options.lines.push_back(path);
    } else if (arg == "--vcd") {
      options.vcd = args[++i];
    } else if (arg == "--time-limit") {
      if (!parse_time_limit(args[++i], &options.time_limit)) {
        error = "--time-limit: not a positive number of seconds: " + args[i];
        return false;
      }
    } else {
      error = arg + ": unknown option";
      return false;
    }
  }
  options.command.assign(args.begin() + static_cast<long>(i), args.end());
  if (options.command.empty()) {
    error = "no COMMAND after --";
    return false;
  }
  if (options.lines.empty()) options.lines.push_back(default_device);
  return true;
}

// A fresh state folder for the command, removed with everything in it.
class temporary_folder {
 public:
  temporary_folder() {
    char pattern[] = "/tmp/relka-sim-state.XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  ~temporary_folder() {
    if (path_.empty()) return;
    nftw(
        path_.c_str(),
        [](const char* path, const struct stat*, int, struct FTW*) {
          return remove(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  temporary_folder(const temporary_folder&) = delete;
  temporary_folder& operator=(const temporary_folder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The command's process group, for the signal forwarder.
volatile sig_atomic_t g_group = 0;

void forward(int sig) {
  if (g_group > 0) kill(-g_group, sig);
}

// Ctrl-C and a framework's SIGTERM reach relka-sim; the command runs in a
// group of its own, so pass them on. Restored when the run ends.
class forwarded_signals {
 public:
  explicit forwarded_signals(pid_t group) {
    g_group = group;
    struct sigaction action {};
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &saved_[i]);
  }
  ~forwarded_signals() {
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    g_group = 0;
  }
  forwarded_signals(const forwarded_signals&) = delete;
  forwarded_signals& operator=(const forwarded_signals&) = delete;

 private:
  static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
  struct sigaction saved_[3]{};
};

// When relka-sim runs in the foreground of a terminal, the command's group
// is made the terminal's foreground group while it runs, so that it may
// read the terminal (a shell, a prompt) instead of being stopped by
// SIGTTIN; the terminal is taken back afterwards. A command stopped in the
// moment before is continued.
class foreground_terminal {
 public:
  explicit foreground_terminal(pid_t group) {
    if (!isatty(0) || tcgetpgrp(0) != getpgrp()) return;
    if (tcsetpgrp(0, group) != 0) return;
    handed_ = true;
    kill(-group, SIGCONT);
  }
  ~foreground_terminal() {
    if (!handed_) return;
    // Asking for the terminal from the background raises SIGTTOU.
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTTOU, &ignore, &saved);
    tcsetpgrp(0, getpgrp());
    sigaction(SIGTTOU, &saved, nullptr);
  }
  foreground_terminal(const foreground_terminal&) = delete;
  foreground_terminal& operator=(const foreground_terminal&) = delete;

 private:
  bool handed_ = false;
};

// relka-sim is the subreaper of everything the command starts, so the
// leftovers are its children once the command has gone, and are reaped here.
void reap_orphans() {
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// True once nothing is left in `group`, waiting up to about a second.
bool group_gone(pid_t group) {
  for (int i = 0; i < 100; ++i) {
    reap_orphans();
    if (kill(-group, 0) != 0) return true;
    usleep(10000);
  }
  return false;
}

// What the command left running in its group goes with the testbed:
// asked to end, then killed.
void end_leftovers(pid_t group) {
  reap_orphans();
  if (kill(-group, 0) != 0) return;
  kill(-group, SIGTERM);
  if (group_gone(group)) return;
  kill(-group, SIGKILL);
  group_gone(group);
}

}  // namespace

namespace {

// relka, relkactl and relkad from beside relka-sim first (relkad from the
// sbin beside an installed bin), then the caller's PATH, then /usr/sbin and
// /sbin, which a user's PATH often lacks.
std::string command_path(const std::string& tools, const char* path) {
  std::string out = tools;
  size_t bin = tools.rfind("/bin");
  if (bin != std::string::npos && bin + 4 == tools.size())
    out += ":" + tools.substr(0, bin) + "/sbin";
  out += ":" + std::string(path != nullptr && *path ? path : "/usr/bin:/bin");
  for (const char* sbin : {"/usr/sbin", "/sbin"})
    if ((":" + out + ":").find(":" + std::string(sbin) + ":") ==
        std::string::npos)
      out += ":" + std::string(sbin);
  return out;
}

}  // namespace

int run_lab(const std::vector<std::string>& args, const std::string& tools,
            int failed) {
  lab_options options;
  std::string error;
  if (!parse_lab(args, options, error)) {
    fprintf(stderr, "relka-sim run: %s\n%s", error.c_str(), lab_usage);
    return failed;
  }

  serial_bench bench;
  std::vector<modem_line*> lines;
  for (const std::string& path : options.lines) {
    modem_line* line = bench.add_line(path, 0);
    if (line == nullptr) return failed;
    lines.push_back(line);
  }

  setenv("PATH", command_path(tools, getenv("PATH")).c_str(), 1);
  temporary_folder state;
  const char* state_dir = getenv("RELKA_STATE_DIR");
  if (state_dir == nullptr || *state_dir == '\0') {
    if (state.path().empty()) {
      fprintf(stderr, "relka-sim: cannot make a state folder: %s\n",
              strerror(errno));
      return failed;
    }
    setenv("RELKA_STATE_DIR", state.path().c_str(), 1);
  }

  // Orphans of the command become ours, so that none outlives the lines.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  lab_run run;
  run.command = options.command;
  child_io io;
  io.in = 0;
  io.out = 1;
  io.err = 2;
  io.own_group = true;
  io.search_path = true;
  fflush(nullptr);
  run.start_usec = g_get_monotonic_time();
  child_process command;
  std::vector<std::string> command_args(options.command.begin() + 1,
                                        options.command.end());
  if (!command.start(options.command[0], command_args, io)) {
    fprintf(stderr, "relka-sim: cannot run %s: %s\n",
            options.command[0].c_str(), strerror(errno));
    return failed;
  }
  pid_t group = command.pid();
  {
    forwarded_signals forwarding(group);
    foreground_terminal terminal(group);
    run.status = command.wait(options.time_limit);
  }
  if (run.status < 0) {
    run.timed_out = true;
    command.send_group(SIGKILL);
    command.wait(5);
  }
  end_leftovers(group);

  // A line's last close is seen a moment after the command's end.
  for (size_t i = 0; i < lines.size(); ++i) {
    lines[i]->closed_after(2000);
    run.lines.push_back({options.lines[i], 0, lines[i]->changes()});
  }
  lab_timeline timeline = build_timeline(run);
  if (!options.vcd.empty() &&
      !write_report_file(options.vcd, lab_vcd_dump(run)))
    return failed;
  fputs((options.json ? lab_json_report(run, timeline)
                      : lab_text_report(run, timeline))
            .c_str(),
        stdout);
  if (run.timed_out) {
    char limit[32];
    snprintf(limit, sizeof limit, "%g", options.time_limit);
    fprintf(stderr, "relka-sim: %s ran longer than %s s and was killed\n",
            options.command[0].c_str(), limit);
    return failed;
  }
  return run.status;
}
