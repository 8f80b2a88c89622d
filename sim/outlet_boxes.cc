// SPDX-License-Identifier: MIT
#include "sim/outlet_boxes.h"

std::vector<outlet_change> outlet_boxes::receive(const std::string& line,
                                                 int address, int mask) {
  virtual_box& box = boxes_[{line, address}];
  bool first = box.frames == 0;
  std::vector<outlet_change> changes;
  for (int outlet = 1; outlet <= 8; ++outlet) {
    bool on = (mask >> (outlet - 1)) & 1;
    bool was = (box.mask >> (outlet - 1)) & 1;
    if (first || on != was) changes.push_back({outlet, on});
  }
  box.line = line;
  box.address = address;
  box.mask = mask & 0xff;
  ++box.frames;
  return changes;
}

std::vector<virtual_box> outlet_boxes::boxes() const {
  std::vector<virtual_box> out;
  out.reserve(boxes_.size());
  for (const auto& entry : boxes_) out.push_back(entry.second);
  return out;
}

namespace {

std::string numbers(const std::vector<int>& outlets) {
  std::string out;
  for (int outlet : outlets)
    out += (out.empty() ? "" : " ") + std::to_string(outlet);
  return out;
}

std::string one_side(const std::vector<int>& outlets, const char* state) {
  return std::string(outlets.size() == 1 ? "outlet " : "outlets ") +
         numbers(outlets) + " " + state;
}

}  // namespace

std::string describe_changes(const std::vector<outlet_change>& changes) {
  std::vector<int> on, off;
  for (const outlet_change& change : changes)
    (change.on ? on : off).push_back(change.outlet);
  if (on.empty() && off.empty()) return "no outlet changed";
  if (off.empty()) return one_side(on, "on");
  if (on.empty()) return one_side(off, "off");
  return one_side(on, "on") + ", " + numbers(off) + " off";
}

std::string describe_mask(int mask) {
  std::vector<int> on, off;
  for (int outlet = 1; outlet <= 8; ++outlet)
    ((mask >> (outlet - 1)) & 1 ? on : off).push_back(outlet);
  if (off.empty()) return "all on";
  if (on.empty()) return "all off";
  return numbers(on) + " on; " + numbers(off) + " off";
}
