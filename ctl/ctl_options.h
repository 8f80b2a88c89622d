// SPDX-License-Identifier: MIT
// relkactl's command line: GNU-style options (getopt_long, options before
// or after the command), a command, and its outlets or mask.
#ifndef RELKA_CTL_CTL_OPTIONS_H_
#define RELKA_CTL_CTL_OPTIONS_H_

#include <string>
#include <vector>

enum class ctl_command {
  none,
  on,
  off,
  toggle,
  cycle,
  set,
  status,
  forget,
  list
};

struct ctl_request {
  ctl_command command = ctl_command::none;
  std::string device;          // default_device unless -d
  int box = 0;                 // 0..127
  bool device_given = false;   // -d
  bool address_given = false;  // -a, or --box with a number
  std::string box_name;        // -b/--box with a name from the lab file
  std::string lab;             // --lab, or ""
  std::string state_dir;     // --state-dir, else RELKA_STATE_DIR, else default
  double wait = 10;          // seconds to wait for a busy device
  double delay = 2;          // cycle: seconds between off and on
  bool delay_given = false;  // else the lab file's, or 2
  bool json = false;
  bool quiet = false;
  bool break_lease = false;  // --break-lease
  bool help = false;
  bool version = false;
  int outlets = 0;  // the outlets named by number, bit N-1 for outlet N
  // Words naming outlets (or, for status, boxes) of the lab file.
  std::vector<std::string> names;
  int mask = 0;  // set's mask
};

// Fills `request` from argv. False on a usage error, with `error` saying
// what was wrong (without the program's name).
bool parse_ctl_args(int argc, char** argv, ctl_request& request,
                    std::string& error);

extern const char ctl_usage[];

#endif  // RELKA_CTL_CTL_OPTIONS_H_
