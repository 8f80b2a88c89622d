// SPDX-License-Identifier: MIT
// The device's flock, held by a descriptor of this process as another
// program (picocom, tio) would hold it: another open file, so it conflicts
// with a port's own. Released by release() or with the object.
#ifndef RELKA_TESTS_FLOCK_HOLDER_H_
#define RELKA_TESTS_FLOCK_HOLDER_H_

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "outlet/outlet_switch.h"

class flock_holder {
 public:
  explicit flock_holder(const char* device = default_device)
      : fd_(open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~flock_holder() { release(); }
  flock_holder(const flock_holder&) = delete;
  flock_holder& operator=(const flock_holder&) = delete;

  // True when the flock is ours now.
  bool take() { return fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0; }
  void release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

#endif  // RELKA_TESTS_FLOCK_HOLDER_H_
