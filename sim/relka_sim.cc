// relka-sim: runs the real relka against a virtual RELKA box and tells what
// the box received.
//
// The box is an emulated line at /dev/relka inside a umockdev testbed: a
// pseudo-terminal whose modem-control word this program keeps, recording
// every write of RTS (data) and DTR (clock). relka runs as a child process
// that inherits the testbed, so it opens, locks and drives the virtual box
// exactly as it would a real one. The testbed only works inside umockdev's
// preload library, so without it this program starts itself again under it.
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <umockdev.h>

#include <fstream>
#include <string>
#include <vector>

#include "report.h"
#include "run_program.h"
#include "serial_bench.h"

namespace {

// Status for this program's own failures, apart from relka's 0, 1 and 255.
constexpr int kSimFailed = 125;
const char kPreload[] = "libumockdev-preload.so.0";
const char kBoxPath[] = "/dev/relka";

const char kUsage[] =
    "usage: relka-sim [--vcd FILE] [--json] [--relka PATH] [-- RELKA-ARGUMENTS...]\n"
    "\n"
    "Runs relka against a virtual RELKA box at /dev/relka and reports what the\n"
    "box received: each frame's address and outlet mask, or what was wrong.\n"
    "relka's output and exit status are passed through.\n"
    "\n"
    "  --vcd FILE    write the RTS (data) and DTR (clock) levels as a Value\n"
    "                Change Dump, for PulseView or GTKWave\n"
    "  --json        report as one JSON object on the last line\n"
    "  --relka PATH  the relka to run (default: the one beside relka-sim)\n"
    "  -h, --help    this text\n"
    "\n"
    "Exit status: relka's own, or 125 when relka-sim itself fails.\n";

struct sim_options {
  std::string vcd;
  bool json = false;
  bool help = false;
  std::string relka;
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
    } else {
      fprintf(stderr, "relka-sim: %s: %s\n%s", arg.c_str(),
              arg == "--vcd" || arg == "--relka" ? "needs a value" : "unknown option",
              kUsage);
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

// Inside umockdev's preload, the ioctl every call reaches is the preload
// library's own.
bool preloaded() {
  Dl_info info{};
  void* ioctl_fn = dlsym(RTLD_DEFAULT, "ioctl");
  return ioctl_fn != nullptr && dladdr(ioctl_fn, &info) != 0 &&
         info.dli_fname != nullptr && strstr(info.dli_fname, kPreload) != nullptr;
}

// umockdev installs the preload library beside libumockdev.
std::string preload_library() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&umockdev_testbed_new), &info) == 0 ||
      info.dli_fname == nullptr)
    return "";
  std::string candidate = folder_of(info.dli_fname) + "/" + kPreload;
  return access(candidate.c_str(), R_OK) == 0 ? candidate : "";
}

// Starts this program again under umockdev's preload. Returns only on
// failure, with the status to exit with.
int restart_preloaded(char** argv) {
  if (getenv("RELKA_SIM_RESTARTED") != nullptr) {
    fprintf(stderr, "relka-sim: %s did not load; is umockdev installed?\n", kPreload);
    return kSimFailed;
  }
  std::string library = preload_library();
  if (library.empty()) {
    fprintf(stderr,
            "relka-sim: umockdev's %s was not found; install Debian's umockdev "
            "package\n",
            kPreload);
    return kSimFailed;
  }
  const char* old = getenv("LD_PRELOAD");
  std::string preload = library + (old && *old ? std::string(":") + old : "");
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("RELKA_SIM_RESTARTED", "1", 1);
  std::string self = own_path();
  execv(self.c_str(), argv);
  fprintf(stderr, "relka-sim: cannot restart %s: %s\n", self.c_str(), strerror(errno));
  return kSimFailed;
}

bool write_vcd(const std::string& path, const sim_run& run) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << vcd_dump(run.changes, run.initial_word);
  out.close();
  if (!out) fprintf(stderr, "relka-sim: cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}

int simulate(const sim_options& options) {
  std::string relka =
      options.relka.empty() ? folder_of(own_path()) + "/relka" : options.relka;
  if (access(relka.c_str(), X_OK) != 0) {
    fprintf(stderr, "relka-sim: cannot run %s: %s\n", relka.c_str(), strerror(errno));
    return kSimFailed;
  }
  serial_bench bench;
  sim_run run;
  run.device = kBoxPath;
  modem_line* box = bench.add_line(kBoxPath, run.initial_word);
  if (box == nullptr) return kSimFailed;

  program_run relka_run = run_program(relka, options.relka_args);
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
  run.changes = box->changes();
  run.decoded = decode_frames(run.changes, run.initial_word);
  if (!options.vcd.empty() && !write_vcd(options.vcd, run)) return kSimFailed;
  std::string report = options.json ? json_report(run) : text_report(run);
  fputs(report.c_str(), stdout);
  return run.status;
}

}  // namespace

int main(int argc, char** argv) {
  sim_options options;
  if (!parse_options(argc, argv, options)) return kSimFailed;
  if (options.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (!preloaded()) return restart_preloaded(argv);
  return simulate(options);
}
