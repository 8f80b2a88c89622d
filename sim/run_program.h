// SPDX-License-Identifier: MIT
// Runs a program as a child, collects what it writes, and waits for it, for
// a bounded time. The child inherits the environment, and with it the
// testbed of umockdev's preload.
#ifndef RELKA_SIM_RUN_PROGRAM_H_
#define RELKA_SIM_RUN_PROGRAM_H_

#include <sys/types.h>

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

// A time limit as given on a command line: a positive number of seconds,
// fractions allowed. False when `text` is not one.
bool parse_time_limit(const std::string& text, double* seconds);

// Runs `path` with `args` (argv[0] is `path`). Collects both output streams
// whole. A child still running after `time_limit` seconds is killed with
// SIGKILL and reported as timed out.
program_run run_program(const std::string& path,
                        const std::vector<std::string>& args,
                        child_stdin input = child_stdin::null_device,
                        double time_limit = default_time_limit);

// Where a started child's standard descriptors go. -1: /dev/null (for
// stdin, out and err alike); `closed` leaves that descriptor closed.
struct child_io {
  int in = -1;
  int out = -1;
  int err = -1;
  bool close_in = false;
  bool close_out = false;
  bool close_err = false;
  // Start the child in a process group of its own (its pid), so that it
  // and everything it starts can be signalled together.
  bool own_group = false;
  // Look the program up in PATH when it has no '/'.
  bool search_path = false;
};

// A child started and left running while the caller does something else:
// sends it signals, waits for it. Whatever is still running when the object
// goes is killed and reaped, also when a test ends early.
class child_process {
 public:
  child_process() = default;
  ~child_process();
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  // Starts `path` with `args` (argv[0] is `path`), with default signal
  // actions and an empty signal mask whatever the caller had. False when
  // it could not be started.
  bool start(const std::string& path, const std::vector<std::string>& args,
             const child_io& io = child_io());
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }
  void send(int signal) const;
  // To the child's whole process group (started with own_group).
  void send_group(int signal) const;
  // Waits up to `seconds` for the child to end. Its exit status, 128 +
  // signal when a signal ended it; -1 while it is still running.
  int wait(double seconds);
  // How it ended: the signal, or 0 when it exited.
  int end_signal() const { return end_signal_; }

 private:
  pid_t pid_ = -1;
  bool own_group_ = false;
  int end_signal_ = 0;
};

#endif  // RELKA_SIM_RUN_PROGRAM_H_
