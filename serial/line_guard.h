// SPDX-License-Identifier: MIT
// Process discipline for a program that holds a serial line.
//
// A holder must never leave the line half-switched: a signal that would end
// the process is held back from just before the device is opened until it is
// closed again (settings back, lock gone), and then takes its usual effect.
// No handler is installed. And no device or lock file may land on one of the
// standard descriptors, where a diagnostic would be written onto the line.
#ifndef RELKA_SERIAL_LINE_GUARD_H_
#define RELKA_SERIAL_LINE_GUARD_H_

#include <signal.h>

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed.
void open_standard_descriptors();

// Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT while it lives; on destruction
// flushes standard output and error (so that what was printed is not lost
// if a pending signal now ends the process) and restores the signal mask.
class held_signals {
 public:
  held_signals();
  ~held_signals();
  held_signals(const held_signals&) = delete;
  held_signals& operator=(const held_signals&) = delete;

 private:
  sigset_t saved;
};

#endif  // RELKA_SERIAL_LINE_GUARD_H_
