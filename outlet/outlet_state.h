// SPDX-License-Identifier: MIT
// Remembered outlet state: the mask last sent to one box, because the box
// cannot be read back.
//
// One small text file per adapter and box address in the state folder,
// named "<identity>.box<address>" after the adapter's identity (its
// /dev/serial/by-id name, else the terminal's own name; see adapter.h), so
// that every path that reaches the adapter shares it, and a box's state
// follows its adapter to whatever ttyUSB number it gets. The identity is
// recorded inside too: a file whose identity is not the adapter's now (one
// written before identities were recorded, under the terminal's name) is
// never applied. A new state replaces the old one atomically
// (temporary file in the same folder, fsync, rename); a run whose frame may
// not have reached the box removes it, so that "unknown" is all that is
// left, never a mask that may not be on the box.
//
// The file reads, for example:
//   # relkactl: outlets last set on this box; the box cannot be read back
//   device /dev/relka
//   terminal ttyUSB0
//   identity usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0
//   box 2
//   mask 5
//   set 2026-12-08T10:15:00Z
//   cycle 3 4711
// The last line says that process 4711 is power-cycling outlet 3: it holds
// the outlet off for its pause, and others wait for it to come back on.
#ifndef RELKA_OUTLET_OUTLET_STATE_H_
#define RELKA_OUTLET_OUTLET_STATE_H_

#include <string>

// Where the state lives when neither --state-dir nor RELKA_STATE_DIR says.
constexpr char default_state_dir[] = "/var/lib/relka";

struct outlet_state {
  bool known = false;
  int mask = 0;          // bit N-1 is outlet N; meaningful when known
  std::string device;    // the path it was last set through
  std::string terminal;  // the terminal's own name
  std::string identity;  // the adapter's; "" in files from before it
  int box = 0;
  std::string set_at;  // UTC, ISO 8601; "" when not known
  // Per outlet (index N-1), the process whose cycle holds it off; 0: none.
  int cycling[8] = {};
};

std::string state_path(const std::string& folder, const std::string& identity,
                       int box);

// For a device path that leads nowhere now (an unplugged adapter behind a
// udev link): the state file last written through that very path for
// `box`, or "" when there is none, or more than one.
std::string find_state_by_device(const std::string& folder,
                                 const std::string& device, int box);

// The state in `path`. A missing file is unknown; a file that cannot be
// read or parsed is unknown too, and `problem` says why.
outlet_state read_state(const std::string& path, std::string* problem);

// The text of a state file.
std::string state_text(const outlet_state& state);

// Now, in the form of set_at.
std::string utc_now();

// Writes one state file atomically. prepare() makes the temporary file
// before anything is sent, so that a folder that cannot take it stops the
// run while the outlets are still as they were; commit() fills it, syncs it
// and renames it into place. A prepared file that is not committed is
// removed with the object.
class state_writer {
 public:
  state_writer() = default;
  ~state_writer();
  state_writer(const state_writer&) = delete;
  state_writer& operator=(const state_writer&) = delete;

  // False, with `problem` set, when the temporary file cannot be made.
  bool prepare(const std::string& path, std::string* problem);
  bool commit(const outlet_state& state, std::string* problem);

 private:
  std::string path_;
  std::string temporary_;
  int fd_ = -1;
};

// Removes the state file: the state becomes unknown. False, with
// `problem`, when a file that is there cannot be removed.
bool forget_state(const std::string& path, std::string* problem);

#endif  // RELKA_OUTLET_OUTLET_STATE_H_
