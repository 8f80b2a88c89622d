// Runs a program as a child, collects what it writes, and waits for it, for
// a bounded time. The child inherits the environment, and with it the
// testbed of umockdev's preload.
#ifndef RELKA_SIM_RUN_PROGRAM_H_
#define RELKA_SIM_RUN_PROGRAM_H_

#include <string>
#include <vector>

struct program_run {
  int status = -1;  // exit status; 128 + signal when killed; -1 not started
  bool timed_out = false;  // killed at the time limit
  std::string out;
  std::string err;
};

enum class child_stdin { null_device, closed };

// Generous: a relka run takes milliseconds.
constexpr double default_time_limit = 60.0;

// Runs `path` with `args` (argv[0] is `path`). Collects both output streams
// whole. A child still running after `time_limit` seconds is killed with
// SIGKILL and reported as timed out.
program_run run_program(const std::string& path,
                        const std::vector<std::string>& args,
                        child_stdin input = child_stdin::null_device,
                        double time_limit = default_time_limit);

#endif  // RELKA_SIM_RUN_PROGRAM_H_
