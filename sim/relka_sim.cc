// SPDX-License-Identifier: MIT
// relka-sim: runs the real relka against a virtual RELKA box and tells what
// the box received.
//
// The box is an emulated line at /dev/relka inside a umockdev testbed: a
// pseudo-terminal whose modem-control word this program keeps, recording
// every write of RTS (data) and DTR (clock). relka runs as a child process
// that inherits the testbed, so it opens, locks and drives the virtual box
// exactly as it would a real one. The testbed only works inside umockdev's
// preload library, so without it this program starts itself again under it.
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "outlet/outlet_switch.h"
#include "sim/lab_run.h"
#include "sim/preload.h"
#include "sim/report.h"
#include "sim/run_program.h"
#include "sim/serial_bench.h"

namespace {

// Status for this program's own failures, apart from relka's 0, 1 and 255.
constexpr int kSimFailed = 125;

const char kUsage[] =
    "usage: relka-sim [--vcd FILE] [--json] [--relka PATH] [--time-limit "
    "SECONDS]\n"
    "                 [-- RELKA-ARGUMENTS...]\n"
    "\n"
    "Runs relka against a virtual RELKA box at /dev/relka and reports what "
    "the\n"
    "box received: each frame's address and outlet mask, or what was wrong.\n"
    "relka's output and exit status are passed through.\n"
    "\n"
    "  --vcd FILE    write the RTS (data) and DTR (clock) levels as a Value\n"
    "                Change Dump, for PulseView or GTKWave\n"
    "  --json        report as one JSON object on the last line\n"
    "  --relka PATH  the relka to run (default: the one beside relka-sim)\n"
    "  --time-limit SECONDS\n"
    "                kill relka if it runs longer (default 60)\n"
    "  -h, --help    this text\n"
    "\n"
    "relka-sim run [--line PATH]... [--json] [--vcd FILE] [--time-limit "
    "SECONDS]\n"
    "              -- COMMAND [ARG...]\n"
    "              runs any command (a lab script, pdudaemon) against virtual\n"
    "              boxes; see relka-sim run --help\n"
    "\n"
    "Exit status: relka's own, or 125 when relka-sim itself fails.\n";

struct sim_options {
  std::string vcd;
  bool json = false;
  bool help = false;
  std::string relka;
  double time_limit = default_time_limit;
  std::vector<std::string> relka_args;
};

// False, with a message, on a word it does not know.
bool parse_options(int argc, char** argv, sim_options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool has_next = i + 1 < argc;
    if (arg == "--") {
      options.relka_args.assign(argv + i + 1, argv + argc);
      return true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if ((arg == "--vcd" || arg == "--relka") && has_next) {
      (arg == "--vcd" ? options.vcd : options.relka) = argv[++i];
    } else if (arg == "--time-limit" && has_next) {
      if (!parse_time_limit(argv[++i], &options.time_limit)) {
        fprintf(
            stderr,
            "relka-sim: --time-limit: not a positive number of seconds: %s\n%s",
            argv[i], kUsage);
        return false;
      }
    } else {
      bool wants_value =
          arg == "--vcd" || arg == "--relka" || arg == "--time-limit";
      fprintf(stderr, "relka-sim: %s: %s\n%s", arg.c_str(),
              wants_value ? "needs a value" : "unknown option", kUsage);
      return false;
    }
  }
  return true;
}

std::string own_path() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  path[n] = '\0';
  return path;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Starts this program again under umockdev's preload. Returns only on
// failure, with the status to exit with.
int restart_preloaded(char** argv) {
  if (getenv("RELKA_SIM_RESTARTED") != nullptr) {
    fprintf(stderr, "relka-sim: %s did not load; is umockdev installed?\n",
            umockdev_preload_name);
    return kSimFailed;
  }
  std::string library = umockdev_preload_library();
  if (library.empty()) {
    fprintf(stderr,
            "relka-sim: umockdev's %s was not found; install Debian's umockdev "
            "package\n",
            umockdev_preload_name);
    return kSimFailed;
  }
  const char* old = getenv("LD_PRELOAD");
  std::string preload = library + (old && *old ? std::string(":") + old : "");
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("RELKA_SIM_RESTARTED", "1", 1);
  std::string self = own_path();
  execv(self.c_str(), argv);
  fprintf(stderr, "relka-sim: cannot restart %s: %s\n", self.c_str(),
          strerror(errno));
  return kSimFailed;
}

int simulate(const sim_options& options) {
  std::string relka =
      options.relka.empty() ? folder_of(own_path()) + "/relka" : options.relka;
  if (access(relka.c_str(), X_OK) != 0) {
    fprintf(stderr, "relka-sim: cannot run %s: %s\n", relka.c_str(),
            strerror(errno));
    return kSimFailed;
  }
  serial_bench bench;
  sim_run run;
  run.device = default_device;
  modem_line* box = bench.add_line(default_device, run.initial_word);
  if (box == nullptr) return kSimFailed;

  program_run relka_run = run_program(
      relka, options.relka_args, child_stdin::null_device, options.time_limit);
  if (relka_run.timed_out) {
    fprintf(stderr, "relka-sim: %s ran longer than %g s and was killed\n",
            relka.c_str(), options.time_limit);
    return kSimFailed;
  }
  if (relka_run.status < 0) {
    fprintf(stderr, "relka-sim: cannot start %s\n", relka.c_str());
    return kSimFailed;
  }
  fwrite(relka_run.out.data(), 1, relka_run.out.size(), stdout);
  fwrite(relka_run.err.data(), 1, relka_run.err.size(), stderr);
  fflush(stdout);
  fflush(stderr);

  run.status = relka_run.status;
  run.out = std::move(relka_run.out);
  run.err = std::move(relka_run.err);
  box->closed_after(2000);  // the last close is seen a moment late
  run.changes = box->changes();
  run.decoded = decode_frames(run.changes, run.initial_word);
  if (!options.vcd.empty() &&
      !write_report_file(options.vcd, vcd_dump(run.changes, run.initial_word)))
    return kSimFailed;
  std::string report = options.json ? json_report(run) : text_report(run);
  fputs(report.c_str(), stdout);
  return run.status;
}

// A report that did not reach its reader is this program's own failure.
int check_stdout(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "relka-sim: cannot write the report: %s\n",
            strerror(errno));
    return kSimFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "run") == 0) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() > 1 && (args[1] == "-h" || args[1] == "--help")) {
      fputs(lab_usage, stdout);
      return check_stdout(0);
    }
    if (!under_umockdev_preload()) return restart_preloaded(argv);
    return check_stdout(run_lab(args, folder_of(own_path()), kSimFailed));
  }
  sim_options options;
  if (!parse_options(argc, argv, options)) return kSimFailed;
  if (options.help) {
    fputs(kUsage, stdout);
    return check_stdout(0);
  }
  if (!under_umockdev_preload()) return restart_preloaded(argv);
  return check_stdout(simulate(options));
}
