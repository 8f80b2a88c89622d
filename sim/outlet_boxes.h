// SPDX-License-Identifier: MIT
// The virtual boxes' outlets: which box a frame reaches and what it switches.
//
// Every box on a line sees every frame; the one whose address matches takes
// the data byte as its outlet mask (outlet N is bit N-1). A box that has not
// received a frame yet is in an unknown state, so its first frame reports
// every outlet.
#ifndef RELKA_SIM_OUTLET_BOXES_H_
#define RELKA_SIM_OUTLET_BOXES_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

struct outlet_change {
  int outlet;  // 1 to 8
  bool on;
};

struct virtual_box {
  std::string line;
  int address = 0;
  int mask = 0;
  int frames = 0;  // how many it has received
};

class outlet_boxes {
 public:
  // The box at `address` on `line` receives `mask`; returns the outlets
  // that changed (all eight on its first frame).
  std::vector<outlet_change> receive(const std::string& line, int address,
                                     int mask);
  // Every box that received a frame, by line and address.
  std::vector<virtual_box> boxes() const;

 private:
  std::map<std::pair<std::string, int>, virtual_box> boxes_;
};

// "outlet 3 off", "outlets 1 3 on, 2 off": what `changes` did, for people.
std::string describe_changes(const std::vector<outlet_change>& changes);

// "1 3 on; 2 4 5 6 7 8 off"
std::string describe_mask(int mask);

#endif  // RELKA_SIM_OUTLET_BOXES_H_
