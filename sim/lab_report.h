// SPDX-License-Identifier: MIT
// What a lab's worth of virtual boxes received while one command ran: a
// timeline of the frames on all lines, in time order, with the outlets each
// switched, the faults where a line carried no well-formed frame, and the
// boxes' outlets at the end; as text, as one JSON object, and as a Value
// Change Dump with one RTS/DTR pair per line.
#ifndef RELKA_SIM_LAB_REPORT_H_
#define RELKA_SIM_LAB_REPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "sim/frame_decoder.h"
#include "sim/modem_line.h"
#include "sim/outlet_boxes.h"

struct lab_line {
  std::string path;
  int initial_word = 0;
  std::vector<line_change> changes;
};

struct lab_run {
  std::vector<std::string> command;
  int status = 0;
  bool timed_out = false;
  std::int64_t start_usec =
      0;  // when the command started, same clock as the changes
  std::vector<lab_line> lines;
};

struct timeline_frame {
  std::string line;
  std::int64_t time_us = 0;  // of the start condition, from the command's start
  decoded_frame frame;
  std::vector<outlet_change> changes;
};

struct timeline_fault {
  std::string line;
  std::int64_t time_us = 0;
  frame_fault fault;
};

// The driver raising or dropping both lines at an open or the last close.
struct timeline_event {
  std::string line;
  std::int64_t time_us = 0;
  line_change::cause_kind cause = line_change::driver_open;
};

struct lab_timeline {
  std::vector<timeline_frame> frames;
  std::vector<timeline_event> events;
  std::vector<timeline_fault> faults;
  std::vector<virtual_box> boxes;
};

lab_timeline build_timeline(const lab_run& run);

std::string lab_text_report(const lab_run& run, const lab_timeline& timeline);
std::string lab_json_report(const lab_run& run, const lab_timeline& timeline);
std::string lab_vcd_dump(const lab_run& run);

#endif  // RELKA_SIM_LAB_REPORT_H_
