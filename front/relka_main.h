// SPDX-License-Identifier: MIT
#ifndef RELKA_FRONT_RELKA_MAIN_H_
#define RELKA_FRONT_RELKA_MAIN_H_

#include "front/cmd_option.h"

// The driver's options, by their index in its option table.
enum relka_option {
  opt_version = 0,
  opt_help = 1,
  opt_device = 2,
  opt_quiet = 3,
  opt_set = 4,
  opt_address = 5,
  opt_end = 6,
};

void register_relka_options(cmd_option* table);

// The whole run: parse, print, open, switch, close. Returns the exit status:
// 0, 1 when the outlets could not be switched on an open device, -1 (255)
// when the device cannot be opened.
int relka_main(int argc, const char* const* argv);

#endif  // RELKA_FRONT_RELKA_MAIN_H_
