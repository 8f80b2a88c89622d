#ifndef RELKA_BENCH_RUN_PROGRAM_H_
#define RELKA_BENCH_RUN_PROGRAM_H_

#include <string>
#include <vector>

struct program_run {
  int status = -1;  // exit status; 128 + signal when killed; -1 not started
  std::string out;
  std::string err;
};

enum class child_stdin { null_device, closed };

// Runs `path` with `args` (argv[0] is `path`) in the current environment, so
// a child inherits the testbed. Collects both output streams whole.
program_run run_program(const std::string& path,
                        const std::vector<std::string>& args,
                        child_stdin input = child_stdin::null_device);

#endif  // RELKA_BENCH_RUN_PROGRAM_H_
