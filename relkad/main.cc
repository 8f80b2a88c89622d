// SPDX-License-Identifier: MIT
#include "relkad/relkad_main.h"
#include "serial/line_guard.h"

int main(int argc, char** argv) {
  // Nothing of ours may land on 0, 1 or 2 (a device, a lock file).
  open_standard_descriptors();
  return relkad_main(argc, argv);
}
