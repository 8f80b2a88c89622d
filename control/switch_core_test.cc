// SPDX-License-Identifier: MIT
// What the log says of a switching request: who, what (names, boxes,
// outlets, device), the masks sent and how it ended.
#include "control/switch_core.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/lease_check.h"
#include "sim/frame_decoder.h"
#include "tests/case_name.h"
#include "tests/line_fixture.h"

namespace {

box_target box(const std::string& name, int address, int outlets,
               const std::string& names) {
  box_target t;
  t.device = "/dev/serial/by-id/usb-A";
  t.address = address;
  t.box_name = name;
  t.outlets = outlets;
  t.names = names;
  return t;
}

struct log_case {
  const char* name;
  switch_command command;
  std::vector<box_target> targets;
  std::vector<std::vector<int>> sent;
  int status;
  std::string error;
  std::string line;
};

void PrintTo(const log_case& c, std::ostream* os) { *os << c.name; }

class switch_log_test : public testing::TestWithParam<log_case> {};

TEST_P(switch_log_test, SaysWhoWhatAndHowItEnded) {
  const log_case& c = GetParam();
  switch_request request;
  request.command = c.command;
  request.targets = c.targets;
  request.mask = 0x81;
  request.who = "alice";
  switch_outcome outcome;
  outcome.status = c.status;
  outcome.error = c.error;
  for (size_t i = 0; i < c.targets.size(); ++i) {
    box_outcome b;
    b.target = c.targets[i];
    if (i < c.sent.size()) b.sent = c.sent[i];
    outcome.boxes.push_back(b);
  }
  EXPECT_EQ(c.line, switch_log_line(request, outcome));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Lines, switch_log_test, testing::Values(
    log_case{"CycleByName", switch_command::cycle, {box("rack1-top", 1, 0x04, "web1")},
             {{0x10, 0x14}}, 0, "",
             "alice: cycle web1 (rack1-top outlet 3, /dev/serial/by-id/usb-A): off 0x10, on 0x14: done"},
    log_case{"OnByNumbers", switch_command::on, {box("", 2, 0x05, "")}, {{0x05}}, 0, "",
             "alice: on 1 3 (box 2 outlets 1 3, /dev/serial/by-id/usb-A): sent 0x05: done"},
    log_case{"TwoBoxes", switch_command::off, {box("top", 1, 0x04, "web1"), box("bottom", 2, 0x01, "db1")},
             {{0x10}, {0x00}}, 0, "",
             "alice: off web1 db1 (top outlet 3, /dev/serial/by-id/usb-A; bottom outlet 1, /dev/serial/by-id/usb-A): sent 0x10; sent 0x00: done"},
    log_case{"Set", switch_command::set, {box("top", 1, 0, "")}, {{0x81}}, 0, "",
             "alice: set 0x81 (top, /dev/serial/by-id/usb-A): sent 0x81: done"},
    log_case{"Refused", switch_command::on, {box("top", 1, 0x04, "web1")}, {}, 3,
             "the outlets of box top are not known",
             "alice: on web1 (top outlet 3, /dev/serial/by-id/usb-A): nothing sent: failed with status 3: the outlets of box top are not known"}),
    by_name());
// clang-format on

// Requests for one box that queued up together go out in one frame, each
// change worked out in its order from the one before; one that cannot be
// worked out is refused alone.
class switch_batch_test : public line_test {
 protected:
  switch_request request(switch_command command, int outlets, int mask = 0) {
    switch_request r;
    r.command = command;
    r.mask = mask;
    r.state_dir = folder_.path();
    r.log = false;
    box_target t;
    t.device = "/dev/relka";
    t.outlets = outlets;
    r.targets.push_back(t);
    return r;
  }
  scoped_folder folder_;
};

TEST_F(switch_batch_test, OneFrameForAllInTheirOrder) {
  ASSERT_EQ(switch_done,
            run_switch(request(switch_command::set, 0, 0x80)).status);
  settle_closed();
  std::vector<switch_outcome> done = run_switch_batch(
      {request(switch_command::on, 0x01), request(switch_command::on, 0x02),
       request(switch_command::toggle, 0x01),
       request(switch_command::off, 0x80)});
  EXPECT_EQ((std::vector<int>{0x02}), frame_masks());
  for (const switch_outcome& o : done) {
    EXPECT_EQ(switch_done, o.status) << o.error;
    EXPECT_EQ(0x02, o.boxes.at(0).state.mask);
  }
  settle_closed();
  ASSERT_EQ(switch_done, run_switch(request(switch_command::forget, 0)).status);
  done = run_switch_batch({request(switch_command::on, 0x04),
                           request(switch_command::set, 0, 0x10),
                           request(switch_command::on, 0x01)});
  EXPECT_EQ(switch_state_unknown, done[0].status);
  EXPECT_TRUE(done[0].boxes.at(0).sent.empty());
  EXPECT_EQ(switch_done, done[1].status);
  EXPECT_EQ(switch_done, done[2].status);
  EXPECT_EQ((std::vector<int>{0x11}), frame_masks());
  // Someone else's lease refuses its request alone and names itself.
  settle_closed();
  std::string problem;
  ASSERT_TRUE(change_leases(
      lease_file_of(folder_.path(), "/dev/relka", 0), time(nullptr),
      [](std::vector<outlet_lease>* l) {
        l->push_back({3, "alice", time(nullptr) + 600});
        return true;
      },
      &problem))
      << problem;
  done = run_switch_batch(
      {request(switch_command::on, 0x04), request(switch_command::on, 0x02)});
  EXPECT_EQ(switch_state_unknown, done[0].status);
  EXPECT_EQ("alice", done[0].boxes.at(0).leased.holder);
  EXPECT_EQ(0, done[1].boxes.at(0).leased.outlet);
  EXPECT_EQ((std::vector<int>{0x13}), frame_masks());
}

}  // namespace
