// SPDX-License-Identifier: MIT
#include "ctl/ctl_main.h"
#include "serial/line_guard.h"

int main(int argc, char** argv) {
  // Before anything can be opened: nothing of ours may land on 0, 1 or 2.
  open_standard_descriptors();
  return relkactl_main(argc, argv);
}
