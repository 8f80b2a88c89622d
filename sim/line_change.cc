// SPDX-License-Identifier: MIT
#include "sim/line_change.h"

#include <sys/ioctl.h>

bool line_change::rts() const { return (word & TIOCM_RTS) != 0; }
bool line_change::dtr() const { return (word & TIOCM_DTR) != 0; }

const char* driver_event_text(line_change::cause_kind cause) {
  switch (cause) {
    case line_change::driver_open: return "opened: DTR and RTS up";
    case line_change::driver_close: return "closed: DTR and RTS down";
    case line_change::port_write: break;
  }
  return "";
}

const char* cause_name(line_change::cause_kind cause) {
  switch (cause) {
    case line_change::driver_open: return "open";
    case line_change::driver_close: return "close";
    case line_change::port_write: break;
  }
  return "write";
}
