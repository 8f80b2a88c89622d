// SPDX-License-Identifier: MIT
// The virtual boxes' outlet model, on its own.
#include "sim/outlet_boxes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(outlet_boxes_test, FirstFrameReportsEveryOutlet) {
  outlet_boxes boxes;
  std::vector<outlet_change> changes = boxes.receive("/dev/relka", 2, 0x05);
  ASSERT_EQ(8u, changes.size());
  EXPECT_EQ("outlets 1 3 on, 2 4 5 6 7 8 off", describe_changes(changes));
}

TEST(outlet_boxes_test, LaterFramesReportWhatChanged) {
  outlet_boxes boxes;
  boxes.receive("/dev/relka", 2, 0x05);
  EXPECT_EQ("outlet 3 off",
            describe_changes(boxes.receive("/dev/relka", 2, 0x01)));
  EXPECT_EQ("outlets 2 8 on",
            describe_changes(boxes.receive("/dev/relka", 2, 0x83)));
  EXPECT_EQ("no outlet changed",
            describe_changes(boxes.receive("/dev/relka", 2, 0x83)));
}

TEST(outlet_boxes_test, BoxesAreKeptApartByLineAndAddress) {
  outlet_boxes boxes;
  boxes.receive("/dev/relka", 2, 0xff);
  boxes.receive("/dev/relka", 3, 0x01);
  boxes.receive("/dev/relka2", 2, 0x10);
  boxes.receive("/dev/relka", 2, 0x0f);
  std::vector<virtual_box> all = boxes.boxes();
  ASSERT_EQ(3u, all.size());
  EXPECT_EQ("/dev/relka", all[0].line);
  EXPECT_EQ(2, all[0].address);
  EXPECT_EQ(0x0f, all[0].mask);
  EXPECT_EQ(2, all[0].frames);
  EXPECT_EQ(3, all[1].address);
  EXPECT_EQ(0x01, all[1].mask);
  EXPECT_EQ("/dev/relka2", all[2].line);
  EXPECT_EQ(0x10, all[2].mask);
}

TEST(outlet_boxes_test, DescribeMask) {
  EXPECT_EQ("all off", describe_mask(0));
  EXPECT_EQ("all on", describe_mask(0xff));
  EXPECT_EQ("1 3 on; 2 4 5 6 7 8 off", describe_mask(5));
}

}  // namespace
