// SPDX-License-Identifier: MIT
// The lab file: names for the lines, boxes and outlets of a lab, so that
// people and frameworks switch "web1" rather than outlet 3 of box 1 on
// /dev/ttyUSB0.
//
// One TOML file (default /etc/relka/lab.toml) with three kinds of table:
//
//   [line.rack1]                 # a serial line: the adapter's device
//   device = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0"
//
//   [box.rack1-top]              # a box: its line and its address
//   line = "rack1"
//   address = 1
//   cycle_delay = 5              # optional: cycle's default pause, seconds
//
//   [outlet.web1]                # an outlet: its box and its number
//   box = "rack1-top"
//   outlet = 3
//   cycle_delay = 10             # optional, overrides the box's
//
// Names are unique across the whole file. A file with any mistake (an
// unknown key, a name used twice, a value out of range, a reference to a
// name that is not there) is refused whole, with the file, the line and
// what is wrong, so that nothing is ever switched from half a lab.
#ifndef RELKA_CONTROL_LAB_FILE_H_
#define RELKA_CONTROL_LAB_FILE_H_

#include <string>
#include <vector>

// Where the lab file is when neither --lab nor RELKA_LAB says.
constexpr char default_lab_file[] = "/etc/relka/lab.toml";

struct named_line {
  std::string name;
  std::string device;
};

struct named_box {
  std::string name;
  std::string line;  // a named_line's name
  int address = 0;
  double cycle_delay = -1;  // seconds; -1: not given
};

struct named_outlet {
  std::string name;
  std::string box;  // a named_box's name
  int outlet = 0;   // 1 to 8
  double cycle_delay = -1;
};

struct lab_file {
  std::string path;  // "" when there is no lab file
  std::vector<named_line> lines;
  std::vector<named_box> boxes;
  std::vector<named_outlet> outlets;

  const named_line* line(const std::string& name) const;
  const named_box* box(const std::string& name) const;
  const named_outlet* outlet(const std::string& name) const;
  // The device a box hangs on.
  std::string device_of(const named_box& box) const;
  // The box on `device` (as written in the file) at `address`, if named.
  const named_box* box_at(const std::string& device, int address) const;
  // The name of outlet `outlet` of `box`, or "".
  std::string outlet_name(const std::string& box_name, int number) const;
  // The pause of a cycle of the outlets in `mask` (bit N-1 for outlet N)
  // of `box`: the longest of each outlet's own cycle_delay, or its box's
  // where the outlet has none (an outlet's own wins, shorter or longer);
  // -1 when neither gives one.
  double cycle_delay(const named_box& box, int mask) const;
  // Up to three names of the file close to `word`, as closest_words.
  std::vector<std::string> closest_names(const std::string& word) const;
};

// Up to three of `candidates` close to `word` (a typo, a prefix, another
// letter case), closest first.
std::vector<std::string> closest_words(
    const std::string& word, const std::vector<std::string>& candidates);

// " (did you mean a, b or c?)" for those words, or "" for none.
std::string did_you_mean(const std::vector<std::string>& words);

// Reads and checks the lab file at `path`. False, with `error` as
// "FILE:LINE: what is wrong" (or "FILE: why it cannot be read"), when the
// file cannot be read or has any mistake; `lab` is then left empty.
bool load_lab_file(const std::string& path, lab_file* lab, std::string* error);

// The lab file to use: `option` (--lab) if given, else $RELKA_LAB, else the
// default. `chosen` is true when the user named it (option or variable):
// such a file must exist, the default need not.
std::string lab_file_path(const std::string& option, bool* chosen);

#endif  // RELKA_CONTROL_LAB_FILE_H_
