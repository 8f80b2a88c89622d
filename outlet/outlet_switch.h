// SPDX-License-Identifier: MIT
// outlet_switch: a device path bound to one serial port, and the switching
// frame that sets a RELKA box's outlets.
//
// The box is not spoken to with bytes. RTS is its data line and DTR its
// clock, and the frame has the shape of an I2C write: start, the 7-bit bus
// address (box address + 32) and a write bit, an acknowledge clock, the
// outlet mask, an acknowledge clock, stop. Acknowledges are clocked but never
// read, so a missing box cannot be told from a present one.
//
// Each of the frame's 60 line changes is a read-modify-write of the modem
// word by default (two requests each). With keep_modem_word the word is read
// once when the port opens and each change writes it whole, one request: on
// a USB adapter every request is a control transfer, so a frame costs 61
// transfers instead of 120. The line sees the same 60 changes either way.
#ifndef RELKA_OUTLET_OUTLET_SWITCH_H_
#define RELKA_OUTLET_OUTLET_SWITCH_H_

#include <memory>

#include "serial/rs232.h"

// Where a RELKA box is looked for when no device is named.
constexpr char default_device[] = "/dev/relka";

class outlet_switch {
 public:
  outlet_switch();
  outlet_switch(const outlet_switch&) = delete;
  outlet_switch& operator=(const outlet_switch&) = delete;

  // Replaces the device path with a copy; false (old path kept) when the
  // memory for the copy cannot be had.
  bool set_device(const char* path);
  const char* get_device() const { return device_path.get(); }

  // Both are false while no device path has been set.
  bool open();
  bool close();

  // How long open() waits for a device another live process holds; 0, the
  // default, refuses at once. was_busy(): the last open failed for that.
  void set_wait(int milliseconds) { port.set_wait(milliseconds); }
  bool was_busy() const { return port.was_busy(); }
  // The process whose lock file refused the last open, 0 when another
  // program's flock did.
  int busy_holder() const { return port.busy_holder(); }
  // Why the last open failed (an errno value), 0 when it did not fail
  // at the system open or the terminal test.
  int open_error() const { return port.get_open_error(); }
  // The open terminal's own name ("ttyUSB0"), the same for every path that
  // reaches it; "" before an open got that far.
  const char* terminal_name() const;

  // Read the modem word at open() and write each change with one request
  // (see above). Takes effect at the next open().
  void keep_modem_word(bool keep) { keep_word = keep; }

  // Clocks out the frame for `address` and `mask` on the open port. Every
  // one of the frame's line changes is made even if one fails, but the
  // result is false when any of them failed: the outlets may not be set.
  bool set_outlets(int address, int mask);
  // The errno of the first line change that failed in the last frame, 0
  // when none did: EIO, ENODEV and the like tell a pulled adapter.
  int line_error() const { return first_error; }

 private:
  std::unique_ptr<char[]> device_path;
  rs232 port;
  bool keep_word = false;
  bool word_known = false;  // `word` was read at this open
  int word = 0;
  int first_error = 0;
};

#endif  // RELKA_OUTLET_OUTLET_SWITCH_H_
