// SPDX-License-Identifier: MIT
#include "sim/lab_report.h"

#include <stdio.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <tuple>

#include "sim/report.h"

namespace {

std::string seconds_text(std::int64_t usec) {
  char text[32];
  snprintf(text, sizeof text, "%10.6f s", static_cast<double>(usec) / 1e6);
  return text;
}

std::string outlets_json(int mask) {
  std::string out = "{";
  for (int outlet = 1; outlet <= 8; ++outlet)
    out += std::string(outlet > 1 ? "," : "") + "\"" + std::to_string(outlet) +
           "\":" + ((mask >> (outlet - 1)) & 1 ? "\"on\"" : "\"off\"");
  return out + "}";
}

template <class T>
std::string json_list(const std::vector<T>& items,
                      std::string (*one)(const T&)) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i)
    out += (i > 0 ? "," : "") + one(items[i]);
  return out + "]";
}

std::string frame_json(const timeline_frame& f) {
  std::string changed = "[";
  for (size_t i = 0; i < f.changes.size(); ++i)
    changed += std::string(i > 0 ? "," : "") +
               "{\"outlet\":" + std::to_string(f.changes[i].outlet) +
               ",\"on\":" + (f.changes[i].on ? "true" : "false") + "}";
  changed += "]";
  return "{\"line\":" + json_quote(f.line) +
         ",\"time_us\":" + std::to_string(f.time_us) +
         ",\"box_address\":" + std::to_string(f.frame.box_address()) +
         ",\"data\":" + std::to_string(f.frame.data) +
         ",\"data_hex\":" + json_quote(hex_byte(f.frame.data)) +
         ",\"changed\":" + changed + "}";
}

std::string fault_json(const timeline_fault& f) {
  return "{\"line\":" + json_quote(f.line) +
         ",\"time_us\":" + std::to_string(f.time_us) +
         ",\"change\":" + std::to_string(f.fault.change + 1) +
         ",\"what\":" + json_quote(f.fault.what) + "}";
}

std::string event_json(const timeline_event& e) {
  return "{\"line\":" + json_quote(e.line) +
         ",\"time_us\":" + std::to_string(e.time_us) + ",\"event\":" +
         json_quote(cause_name(e.cause)) + "}";
}

std::string box_json(const virtual_box& b) {
  return "{\"line\":" + json_quote(b.line) +
         ",\"box_address\":" + std::to_string(b.address) +
         ",\"data\":" + std::to_string(b.mask) +
         ",\"frames\":" + std::to_string(b.frames) +
         ",\"outlets\":" + outlets_json(b.mask) + "}";
}

std::string line_json(const lab_line& l) {
  return "{\"line\":" + json_quote(l.path) +
         ",\"changes\":" + std::to_string(l.changes.size()) + "}";
}

std::string command_text(const std::vector<std::string>& command) {
  std::string out;
  for (const std::string& word : command)
    out += (out.empty() ? "" : " ") + word;
  return out;
}

// The scope name of a line in a dump: its path without /dev/, letters,
// digits and underscores only.
std::string scope_name(const std::string& path) {
  std::string name = path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

}  // namespace

lab_timeline build_timeline(const lab_run& run) {
  lab_timeline timeline;
  for (const lab_line& line : run.lines) {
    decoded_line decoded = decode_frames(line.changes, line.initial_word);
    for (const decoded_frame& frame : decoded.frames) {
      timeline_frame entry;
      entry.line = line.path;
      entry.time_us = line.changes[frame.first_change].usec - run.start_usec;
      entry.frame = frame;
      timeline.frames.push_back(entry);
    }
    for (const line_change& change : line.changes)
      if (change.cause != line_change::port_write)
        timeline.events.push_back(
            {line.path, change.usec - run.start_usec, change.cause});
    for (const frame_fault& fault : decoded.faults) {
      timeline_fault entry;
      entry.line = line.path;
      entry.time_us = fault.change < line.changes.size()
                          ? line.changes[fault.change].usec - run.start_usec
                          : 0;
      entry.fault = fault;
      timeline.faults.push_back(entry);
    }
  }
  auto by_time = [](const auto& a, const auto& b) {
    return a.time_us < b.time_us;
  };
  std::stable_sort(timeline.frames.begin(), timeline.frames.end(), by_time);
  std::stable_sort(timeline.faults.begin(), timeline.faults.end(), by_time);
  std::stable_sort(timeline.events.begin(), timeline.events.end(), by_time);
  // The boxes receive the frames in the order they went out.
  outlet_boxes boxes;
  for (timeline_frame& f : timeline.frames)
    f.changes = boxes.receive(f.line, f.frame.box_address(), f.frame.data);
  timeline.boxes = boxes.boxes();
  return timeline;
}

std::string lab_text_report(const lab_run& run, const lab_timeline& timeline) {
  std::string out =
      "relka-sim: " + command_text(run.command) +
      (run.timed_out ? " was killed at the time limit"
                     : " exited with status " + std::to_string(run.status)) +
      "\n";
  out += "relka-sim: " + std::to_string(timeline.frames.size()) +
         (timeline.frames.size() == 1 ? " frame" : " frames") + " on " +
         std::to_string(run.lines.size()) +
         (run.lines.size() == 1 ? " line" : " lines") + "\n";
  // Frames and the opens and closes around them, in time order.
  std::vector<std::pair<std::int64_t, std::string>> entries;
  for (const timeline_frame& f : timeline.frames)
    entries.emplace_back(f.time_us, f.line + "  mask " +
                                        hex_byte(f.frame.data) + "  box " +
                                        std::to_string(f.frame.box_address()) +
                                        ": " + describe_changes(f.changes));
  for (const timeline_event& e : timeline.events)
    entries.emplace_back(e.time_us, e.line + "  " + driver_event_text(e.cause));
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [time_us, text] : entries)
    out += "  " + seconds_text(time_us) + "  " + text + "\n";
  for (const timeline_fault& f : timeline.faults)
    out += "  " + seconds_text(f.time_us) + "  " + f.line +
           "  not a frame at change " + std::to_string(f.fault.change + 1) +
           ": " + f.fault.what + "\n";
  if (!timeline.boxes.empty()) out += "relka-sim: the boxes at the end:\n";
  for (const virtual_box& b : timeline.boxes)
    out += "  " + b.line + " box " + std::to_string(b.address) + ": mask " +
           hex_byte(b.mask) + ", " + describe_mask(b.mask) + "\n";
  return out;
}

std::string lab_json_report(const lab_run& run, const lab_timeline& timeline) {
  return "{\"command\":{\"argv\":" + json_list(run.command, json_quote) +
         ",\"status\":" + std::to_string(run.status) +
         ",\"timed_out\":" + (run.timed_out ? "true" : "false") + "}" +
         ",\"lines\":" + json_list(run.lines, line_json) +
         ",\"frames\":" + json_list(timeline.frames, frame_json) +
         ",\"line_events\":" + json_list(timeline.events, event_json) +
         ",\"faults\":" + json_list(timeline.faults, fault_json) +
         ",\"boxes\":" + json_list(timeline.boxes, box_json) + "}\n";
}

std::string lab_vcd_dump(const lab_run& run) {
  std::string out =
      "$version relka-sim $end\n"
      "$timescale 1 us $end\n";
  for (size_t i = 0; i < run.lines.size(); ++i) {
    std::string n = std::to_string(i);
    out += "$scope module " + scope_name(run.lines[i].path) + " $end\n";
    out += "$var wire 1 r" + n + " RTS $end\n";
    out += "$var wire 1 d" + n + " DTR $end\n";
    out += "$upscope $end\n";
  }
  out += "$enddefinitions $end\n#0\n$dumpvars\n";
  std::vector<std::pair<bool, bool>> level;
  for (size_t i = 0; i < run.lines.size(); ++i) {
    int word = run.lines[i].initial_word;
    level.push_back({(word & TIOCM_RTS) != 0, (word & TIOCM_DTR) != 0});
    out += std::string(level[i].first ? "1" : "0") + "r" + std::to_string(i) +
           "\n" + (level[i].second ? "1" : "0") + "d" + std::to_string(i) +
           "\n";
  }
  out += "$end\n";
  // All lines' changes in one time order; two changes never share a time
  // stamp, so that none is lost to a viewer.
  std::vector<std::tuple<std::int64_t, size_t, const line_change*>> all;
  for (size_t i = 0; i < run.lines.size(); ++i)
    for (const line_change& c : run.lines[i].changes)
      all.emplace_back(c.usec - run.start_usec, i, &c);
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return std::get<0>(a) < std::get<0>(b);
  });
  std::int64_t last = 0;
  for (const auto& [usec, i, c] : all) {
    std::int64_t t = std::max<std::int64_t>(usec, 1);
    if (t <= last) t = last + 1;
    last = t;
    std::string n = std::to_string(i);
    std::string values;
    if (c->rts() != level[i].first)
      values += std::string(c->rts() ? "1" : "0") + "r" + n + "\n";
    if (c->dtr() != level[i].second)
      values += std::string(c->dtr() ? "1" : "0") + "d" + n + "\n";
    level[i] = {c->rts(), c->dtr()};
    out += "#" + std::to_string(t) + "\n" + values;
  }
  out += "#" + std::to_string(last + 10) + "\n";
  return out;
}
