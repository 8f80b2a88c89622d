// SPDX-License-Identifier: MIT
// Reads RTS (data) and DTR (clock) the way the box's I2C receiver does:
// start when data falls while the clock is high, a bit sampled on each rising
// clock edge, stop when data rises while the clock is high. A well-formed
// frame is start, 7 address bits, R/W, an acknowledge slot, 8 data bits, an
// acknowledge slot and stop (after the stop's own clock pulse).
#ifndef RELKA_SIM_FRAME_DECODER_H_
#define RELKA_SIM_FRAME_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/line_change.h"

struct decoded_frame {
  int address_byte = 0;      // the 7 bits on the wire
  bool read = false;         // R/W bit; the box is written to, so false
  bool ack_address = false;  // data level in the acknowledge slots
  bool ack_data = false;
  int data = 0;                  // the outlet mask
  std::size_t first_change = 0;  // the change that made the start
  std::size_t last_change = 0;   // the change that made the stop

  // The box address this frame selects: address byte minus 32, modulo 128.
  int box_address() const { return (address_byte - 32) & 0x7f; }
};

struct frame_fault {
  std::size_t change;  // index of the change where it shows
  std::string what;
};

struct decoded_line {
  std::vector<decoded_frame> frames;
  std::vector<frame_fault> faults;
};

// `initial_word` is the modem-control word before the first change.
decoded_line decode_frames(const std::vector<line_change>& changes,
                           int initial_word);

// "0 1 0 0 0 0 0": `width` bits of `value`, most significant first.
std::string bit_string(int value, int width);

#endif  // RELKA_SIM_FRAME_DECODER_H_
