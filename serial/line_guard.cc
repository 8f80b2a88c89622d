#include "serial/line_guard.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

void open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is `fd` itself.
    int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
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
