// SPDX-License-Identifier: MIT
#include "serial/line_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

void open_standard_descriptors() {
  // Which are closed is decided before anything is opened: an interposed
  // open (a preload library) may itself take the lowest free descriptor.
  bool closed[3];
  bool any = false;
  for (int fd = 0; fd <= 2; ++fd) {
    closed[fd] = fcntl(fd, F_GETFD) == -1 && errno == EBADF;
    any = any || closed[fd];
  }
  if (!any) return;
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd < 0) return;
  bool keep = false;
  for (int fd = 0; fd <= 2; ++fd) {
    if (!closed[fd]) continue;
    if (fd == null_fd)
      keep = true;
    else
      dup2(null_fd, fd);
  }
  if (!keep) close(null_fd);
}

held_signals::held_signals() : saved() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigaddset(&block, SIGQUIT);
  sigprocmask(SIG_BLOCK, &block, &saved);
}

held_signals::~held_signals() {
  fflush(stdout);
  fflush(stderr);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
}
