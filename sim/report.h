// SPDX-License-Identifier: MIT
// What relka-sim tells about a run: the box's view as text, as one JSON
// object, and the raw waveform as a Value Change Dump.
#ifndef RELKA_SIM_REPORT_H_
#define RELKA_SIM_REPORT_H_

#include <string>
#include <vector>

#include "sim/frame_decoder.h"

struct sim_run {
  std::string device;    // where the box sat
  int status = 0;        // relka's exit status
  std::string out;       // relka's standard output
  std::string err;       // relka's standard error
  int initial_word = 0;  // modem word before the first change
  std::vector<line_change> changes;
  decoded_line decoded;
};

// "0x05": a byte as the reports show it.
std::string hex_byte(int value);

// `text` as a JSON string, quotes included.
std::string json_quote(const std::string& text);

std::string text_report(const sim_run& run);
std::string json_report(const sim_run& run);

// RTS and DTR over time, in microseconds from the first change (which is
// moved 10 us after the initial levels). Changes that share a time stamp
// are spread one microsecond apart so that none is lost to a viewer.
std::string vcd_dump(const std::vector<line_change>& changes, int initial_word);

// Writes a report or dump to `path`, replacing it. False, after saying so
// on standard error, when it could not be written whole.
bool write_report_file(const std::string& path, const std::string& text);

#endif  // RELKA_SIM_REPORT_H_
