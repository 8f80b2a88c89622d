// SPDX-License-Identifier: MIT
// One switching request, from names to the wire and back: the core that
// relkactl's command line (and a network service) stands on.
//
// A request names boxes (a device and an address each, with the lab file's
// names where it has them) and, per box, the outlets to change. For each
// box in turn the core holds the line (its lock file, then the device and
// its flock, through outlet_switch), reads the box's remembered state,
// works out the new mask, sends it as one frame and writes the state back,
// then lets the line go; boxes are switched one after the other. A cycle
// switches every box off, pauses once, and switches them back on. Each
// request that changes something is logged to syslog, also when it is
// refused or fails.
#ifndef RELKA_CONTROL_SWITCH_CORE_H_
#define RELKA_CONTROL_SWITCH_CORE_H_

#include <functional>
#include <string>
#include <vector>

#include "outlet/lease_store.h"
#include "outlet/outlet_state.h"

// Exit statuses, shared by everything that switches.
enum switch_status {
  switch_done = 0,
  switch_lines_failed = 1,  // the frame may not have reached the box
  switch_usage_error = 2,   // also: the state folder cannot be written
  switch_state_unknown = 3,
  switch_gave_up = 4,  // the device, or a cycle's outlet, stayed busy
  switch_cannot_open = 255,
};

// cycle_off and cycle_on are the two halves of a cycle, for a caller that
// keeps the pause itself (a service does not hold a line's worker for it):
// the outlets are marked as cycled, for others to wait, from one to the
// other.
enum class switch_command {
  on,
  off,
  toggle,
  cycle,
  set,
  status,
  forget,
  cycle_off,
  cycle_on
};

// "on", "cycle", ...
const char* command_name(switch_command command);

// One box a request touches.
struct box_target {
  std::string device;
  int address = 0;
  std::string box_name;     // the lab file's name for it, or ""
  int outlets = 0;          // the outlets named, bit N-1 for outlet N
  std::string names;        // how they were named ("web1 db1"), for the log
  double cycle_delay = -1;  // the lab file's pause for these, -1: none
};

struct switch_request {
  switch_command command = switch_command::status;
  std::vector<box_target> targets;  // switched in this order
  int mask = 0;                     // set's
  std::string state_dir;
  double wait = 10;    // seconds to wait for a busy device or outlet
  double delay = -1;   // cycle's pause; -1: the targets' own, else 2
  std::string who;     // for the log: a user name, or a service's client
  std::string client;  // the program logging ("relkactl")
  // Leases (control/lease_check.h): an outlet leased to anyone but
  // lease_user is refused, unless break_lease, which ends the lease.
  std::string lease_user;
  bool break_lease = false;
  // Added to the message refusing a leased outlet (" (--break-lease
  // switches it anyway)"), or "".
  std::string lease_hint;
  // Told each message once, as it happens (relkactl prints them).
  std::function<void(const std::string&)> say;
  // Logs the run to syslog when it changes something.
  bool log = true;
};

struct box_outcome {
  box_target target;
  outlet_state state;     // after the request
  std::vector<int> sent;  // the masks sent, in order
  // The lease of someone else that refused the change (switch_state_unknown);
  // outlet 0: none did.
  outlet_lease leased;
};

struct switch_outcome {
  int status = switch_done;
  std::string error;  // the last message said
  std::vector<box_outcome> boxes;
};

switch_outcome run_switch(const switch_request& request);

// Several requests for one box (each with that one target, and a command
// that changes outlets), in the order they came, in one hold of the line
// and one frame: each change is worked out from the mask the ones before
// it left, and one that cannot be (the state unknown) is refused alone.
// One outcome per request, each logged. Where another process's cycle
// holds an outlet one of them touches, they run one by one instead, each
// waiting as run_switch does (those refused for a lease stay refused).
std::vector<switch_outcome> run_switch_batch(
    const std::vector<switch_request>& requests);

// The pause a cycle of `request` keeps: its delay, else the longest of its
// targets' own, else 2 seconds.
double cycle_delay_of(const switch_request& request);

// "3 5": the outlets of a mask (bit N-1 for outlet N).
std::string outlet_numbers(int outlets);

// "box rack1-top" or "box 1 on /dev/ttyUSB0".
std::string box_words(const box_target& target);

// Sends `line` to syslog (through log_text, control/clean_text.h) under
// the request's client's name ("relka" without one), at `priority`.
void log_request(const switch_request& request, int priority,
                 const std::string& line);

// Sends switch_log_line to syslog: notice when done, warning otherwise.
void log_switch(const switch_request& request, const switch_outcome& outcome);

// The log line of a request that switched or tried to, without the
// program's name and pid (syslog adds them): "alice: cycle web1
// (rack1-top outlet 3, /dev/...): off 0x10, on 0x14: done".
std::string switch_log_line(const switch_request& request,
                            const switch_outcome& outcome);

#endif  // RELKA_CONTROL_SWITCH_CORE_H_
