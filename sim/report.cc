// SPDX-License-Identifier: MIT
#include "sim/report.h"

#include <stdio.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace {

// Microseconds from the first change.
long long offset(const sim_run& run, std::size_t change) {
  return run.changes.empty() ? 0
                             : run.changes[change].usec - run.changes[0].usec;
}

std::string where(const sim_run& run, std::size_t change) {
  return "change " + std::to_string(change + 1) + " (" +
         std::to_string(offset(run, change)) + " us)";
}

std::string json_frame(const sim_run& run, const decoded_frame& f) {
  return "{\"start\":true,\"address_byte\":" + std::to_string(f.address_byte) +
         ",\"address_bits\":" + json_quote(bit_string(f.address_byte, 7)) +
         ",\"box_address\":" + std::to_string(f.box_address()) +
         ",\"rw\":" + json_quote(f.read ? "R" : "W") +
         ",\"ack_address\":" + std::to_string(f.ack_address) +
         ",\"data\":" + std::to_string(f.data) +
         ",\"data_hex\":" + json_quote(hex_byte(f.data)) +
         ",\"data_bits\":" + json_quote(bit_string(f.data, 8)) +
         ",\"ack_data\":" + std::to_string(f.ack_data) +
         ",\"stop\":true,\"first_change\":" +
         std::to_string(f.first_change + 1) +
         ",\"last_change\":" + std::to_string(f.last_change + 1) +
         ",\"start_us\":" + std::to_string(offset(run, f.first_change)) +
         ",\"stop_us\":" + std::to_string(offset(run, f.last_change)) + "}";
}

std::string json_fault(const sim_run& run, const frame_fault& fault) {
  return "{\"change\":" + std::to_string(fault.change + 1) +
         ",\"at_us\":" + std::to_string(offset(run, fault.change)) +
         ",\"what\":" + json_quote(fault.what) + "}";
}

}  // namespace

std::string json_quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else
          out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string hex_byte(int value) {
  char text[8];
  snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(value) & 0xffu);
  return text;
}

std::string text_report(const sim_run& run) {
  std::string out = "relka-sim: the box at " + run.device + " saw " +
                    std::to_string(run.changes.size()) + " line changes";
  if (!run.changes.empty())
    out += " in " + std::to_string(offset(run, run.changes.size() - 1)) + " us";
  out += "\n";
  for (std::size_t i = 0; i < run.changes.size(); ++i)
    if (run.changes[i].cause != line_change::port_write)
      out += "relka-sim: at " + where(run, i) + " the line was " +
             driver_event_text(run.changes[i].cause) + "\n";
  if (run.decoded.frames.empty() && run.decoded.faults.empty())
    out += "relka-sim: no frame was sent\n";
  int number = 0;
  for (const decoded_frame& f : run.decoded.frames) {
    out += "frame " + std::to_string(++number) + ", from " +
           where(run, f.first_change) + " to " + where(run, f.last_change) +
           ":\n";
    out += "  start\n";
    out += "  address  " + hex_byte(f.address_byte) + "  " +
           bit_string(f.address_byte, 7) + "  (box address " +
           std::to_string(f.box_address()) + ")\n";
    out += std::string("  R/W      ") + (f.read ? "1  read\n" : "0  write\n");
    out += "  ack      " + std::to_string(f.ack_address) + "\n";
    out +=
        "  data     " + hex_byte(f.data) + "  " + bit_string(f.data, 8) + "\n";
    out += "  ack      " + std::to_string(f.ack_data) + "\n";
    out += "  stop\n";
  }
  for (const frame_fault& fault : run.decoded.faults)
    out +=
        "not a frame at " + where(run, fault.change) + ": " + fault.what + "\n";
  return out;
}

std::string json_report(const sim_run& run) {
  std::string frames, faults;
  for (const decoded_frame& f : run.decoded.frames)
    frames += (frames.empty() ? "" : ",") + json_frame(run, f);
  for (const frame_fault& fault : run.decoded.faults)
    faults += (faults.empty() ? "" : ",") + json_fault(run, fault);
  std::string events;
  for (std::size_t i = 0; i < run.changes.size(); ++i)
    if (run.changes[i].cause != line_change::port_write)
      events += std::string(events.empty() ? "" : ",") + "{\"event\":\"" +
                cause_name(run.changes[i].cause) +
                "\",\"change\":" + std::to_string(i + 1) +
                ",\"time_us\":" + std::to_string(offset(run, i)) + "}";
  long long duration =
      run.changes.empty() ? 0 : offset(run, run.changes.size() - 1);
  return "{\"device\":" + json_quote(run.device) +
         ",\"relka\":{\"status\":" + std::to_string(run.status) +
         ",\"stdout\":" + json_quote(run.out) +
         ",\"stderr\":" + json_quote(run.err) +
         "},\"changes\":" + std::to_string(run.changes.size()) +
         ",\"duration_us\":" + std::to_string(duration) +
         ",\"line_events\":[" + events + "],\"frames\":[" + frames +
         "],\"faults\":[" + faults + "]}\n";
}

std::string vcd_dump(const std::vector<line_change>& changes,
                     int initial_word) {
  std::string out =
      "$version relka-sim $end\n"
      "$timescale 1 us $end\n"
      "$scope module relka $end\n"
      "$var wire 1 r RTS $end\n"
      "$var wire 1 d DTR $end\n"
      "$upscope $end\n"
      "$enddefinitions $end\n";
  bool rts = initial_word & TIOCM_RTS, dtr = initial_word & TIOCM_DTR;
  out += std::string("#0\n$dumpvars\n") + (rts ? "1" : "0") + "r\n" +
         (dtr ? "1" : "0") + "d\n$end\n";
  const std::int64_t lead = 10;
  std::int64_t last = 0;
  for (const line_change& c : changes) {
    std::int64_t t = c.usec - changes[0].usec + lead;
    if (t <= last) t = last + 1;
    last = t;
    std::string values;
    if (c.rts() != rts) values += std::string(c.rts() ? "1" : "0") + "r\n";
    if (c.dtr() != dtr) values += std::string(c.dtr() ? "1" : "0") + "d\n";
    rts = c.rts();
    dtr = c.dtr();
    // A write that changes no level still takes its time slot.
    out += "#" + std::to_string(t) + "\n" + values;
  }
  out += "#" + std::to_string(last + lead) + "\n";
  return out;
}

bool write_report_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) fprintf(stderr, "relka-sim: cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}
