// SPDX-License-Identifier: MIT
// One change of a line's modem-control word, as the box on the far end saw
// it: who made it (a write of the word by the port, or the driver itself
// raising the lines at an open and dropping them at the last close) and the
// whole word afterwards. The frame decoder reads sequences of these, whether
// they came from the emulated line or from a trace of a real UART.
#ifndef RELKA_SIM_LINE_CHANGE_H_
#define RELKA_SIM_LINE_CHANGE_H_

#include <cstdint>

struct line_change {
  enum cause_kind {
    port_write,    // TIOCMSET (or a write of the modem-control register)
    driver_open,   // the driver raised DTR and RTS as the device was opened
    driver_close,  // the driver dropped them at the last close (HUPCL)
  };
  std::int64_t usec = 0;  // monotonic clock, microseconds
  int word = 0;           // the whole modem-control word afterwards
  cause_kind cause = port_write;

  bool rts() const;
  bool dtr() const;
};

// "write", "open" or "close".
const char* cause_name(line_change::cause_kind cause);

// What the driver did, as the reports say it: "opened: DTR and RTS up",
// "closed: DTR and RTS down"; "" for a write.
const char* driver_event_text(line_change::cause_kind cause);

#endif  // RELKA_SIM_LINE_CHANGE_H_
