// SPDX-License-Identifier: MIT
#include "sim/run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace {

double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int poll_timeout_ms(double deadline) {
  double left = (deadline - now_seconds()) * 1000.0;
  if (left <= 0) return 0;
  return static_cast<int>(std::min(left + 1.0, static_cast<double>(INT_MAX)));
}

// Reads both pipes until both are closed or `deadline` has passed; false
// when the deadline came first.
bool drain(int out_fd, int err_fd, program_run& run, double deadline) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open_count = 2;
  while (open_count > 0) {
    int ready = poll(fds, 2, poll_timeout_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  return true;
}

int exit_status(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reaps the child; kills it when it is still running at `deadline` (it may
// have closed its output and gone on). -1 when it cannot be waited for.
int reap(pid_t pid, double deadline, program_run& run) {
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, run.timed_out ? 0 : WNOHANG);
    if (done == pid) return exit_status(status);
    if (done < 0 && errno != EINTR) return -1;
    if (done == 0 && now_seconds() >= deadline) {
      run.timed_out = true;
      kill(pid, SIGKILL);
    } else if (done == 0) {
      usleep(2000);
    }
  }
}

std::vector<char*> argv_of(const std::string& path,
                           const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Starts `path` with posix_spawn. The child's descriptors and signals are
// set up by the C library's spawn itself, with plain system calls: a child
// forked from this multithreaded process must not call an interposed open
// or close (umockdev's preload takes locks in them that another thread may
// hold at the fork). Each source descriptor is first copied above 2, so that
// none is overwritten before it has been placed; dup2 onto the target
// clears close-on-exec there. -1 when it could not be started.
pid_t spawn(const std::string& path, std::vector<char*>& argv,
            const child_io& io) {
  const int sources[3] = {io.in, io.out, io.err};
  const bool closed[3] = {io.close_in, io.close_out, io.close_err};
  int copies[3] = {-1, -1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int target = 0; target < 3; ++target) {
    if (closed[target]) {
      posix_spawn_file_actions_addclose(&actions, target);
    } else if (sources[target] >= 0) {
      copies[target] = fcntl(sources[target], F_DUPFD_CLOEXEC, 3);
      posix_spawn_file_actions_adddup2(&actions, copies[target], target);
    } else {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                       target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
  }
  // A fresh program's signals: a caller that runs in the background
  // (SIGINT ignored) or holds signals back passes neither on.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
    sigaddset(&defaults, sig);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (io.own_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);
  pid_t pid = -1;
  int failed = io.search_path ? posix_spawnp(&pid, path.c_str(), &actions,
                                             &attributes, argv.data(), environ)
                              : posix_spawn(&pid, path.c_str(), &actions,
                                            &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  for (int copy : copies)
    if (copy >= 0) close(copy);
  return failed == 0 ? pid : -1;
}

// The two ends of one pipe, closed when it goes.
struct pipe_pair {
  int fd[2] = {-1, -1};
  bool make() { return pipe2(fd, O_CLOEXEC) == 0; }
  void close_end(int i) {
    if (fd[i] >= 0) close(fd[i]);
    fd[i] = -1;
  }
  ~pipe_pair() {
    close_end(0);
    close_end(1);
  }
};

}  // namespace

program_run run_program(const std::string& path,
                        const std::vector<std::string>& args, child_stdin input,
                        double time_limit) {
  program_run run;
  pipe_pair out, err;
  if (!out.make() || !err.make()) return run;
  std::vector<char*> argv = argv_of(path, args);
  child_io io;
  io.out = out.fd[1];
  io.err = err.fd[1];
  io.close_in = input == child_stdin::closed;

  double deadline = now_seconds() + time_limit;
  pid_t pid = spawn(path, argv, io);
  out.close_end(1);
  err.close_end(1);
  if (pid < 0) return run;

  if (!drain(out.fd[0], err.fd[0], run, deadline)) {
    run.timed_out = true;
    kill(pid, SIGKILL);
  }
  run.status = reap(pid, deadline, run);
  return run;
}

bool parse_time_limit(const std::string& text, double* seconds) {
  char* end = nullptr;
  errno = 0;
  double value = strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || errno != 0 || !(value > 0))
    return false;
  *seconds = value;
  return true;
}

child_process::~child_process() {
  if (pid_ <= 0) return;
  kill(own_group_ ? -pid_ : pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool child_process::start(const std::string& path,
                          const std::vector<std::string>& args,
                          const child_io& io) {
  if (pid_ > 0) return false;
  std::vector<char*> argv = argv_of(path, args);
  pid_t pid = spawn(path, argv, io);
  if (pid < 0) return false;
  pid_ = pid;
  own_group_ = io.own_group;
  end_signal_ = 0;
  return true;
}

void child_process::send(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

void child_process::send_group(int sig) const {
  if (pid_ > 0) kill(-pid_, sig);
}

int child_process::wait(double seconds) {
  if (pid_ <= 0) return -1;
  double deadline = now_seconds() + seconds;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      end_signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      return exit_status(status);
    }
    if (done < 0 && errno != EINTR) return -1;
    if (now_seconds() >= deadline) return -1;
    usleep(1000);
  }
}
