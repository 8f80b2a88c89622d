// SPDX-License-Identifier: MIT
// Hand-drawn waveforms for the decoder and the reports: each call is one
// write of the modem-control word.
#ifndef RELKA_TESTS_WIRE_H_
#define RELKA_TESTS_WIRE_H_

#include <sys/ioctl.h>

#include <cstdint>
#include <vector>

#include "sim/modem_line.h"

class wire {
 public:
  // Time stamps count up one microsecond a change from `start`.
  explicit wire(std::int64_t start = 0) : start_(start) {}
  wire& rts(bool v) { return put(v ? word_ | TIOCM_RTS : word_ & ~TIOCM_RTS); }
  wire& dtr(bool v) { return put(v ? word_ | TIOCM_DTR : word_ & ~TIOCM_DTR); }
  wire& both(bool r, bool d) {
    return put((r ? TIOCM_RTS : 0) | (d ? TIOCM_DTR : 0));
  }
  // The driver's own change of both lines at an open or the last close.
  wire& opened() {
    return put(word_ | TIOCM_RTS | TIOCM_DTR, line_change::driver_open);
  }
  wire& closed() {
    return put(word_ & ~(TIOCM_RTS | TIOCM_DTR), line_change::driver_close);
  }
  wire& pulse() { return dtr(true).dtr(false); }
  wire& bits(int value, int count) {
    for (int i = count - 1; i >= 0; --i) rts((value >> i) & 1).pulse();
    return *this;
  }
  wire& start() { return rts(true).dtr(true).rts(false).dtr(false); }
  wire& stop() { return rts(false).dtr(true).rts(true).dtr(false); }
  wire& frame(int address_byte, int data) {
    return start()
        .bits(address_byte, 7)
        .bits(0, 1)
        .pulse()
        .bits(data, 8)
        .pulse()
        .stop();
  }
  std::vector<line_change> changes() const { return changes_; }

 private:
  wire& put(int word, line_change::cause_kind cause = line_change::port_write) {
    word_ = word;
    changes_.push_back(
        {start_ + static_cast<std::int64_t>(changes_.size()), word, cause});
    return *this;
  }
  std::int64_t start_;
  int word_ = 0;
  std::vector<line_change> changes_;
};

#endif  // RELKA_TESTS_WIRE_H_
