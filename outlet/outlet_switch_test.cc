// SPDX-License-Identifier: MIT
#include "outlet/outlet_switch.h"

#include <gtest/gtest.h>

#include <errno.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "sim/frame_decoder.h"
#include "tests/case_name.h"
#include "tests/frame_match.h"
#include "tests/line_fixture.h"

namespace {

// The frame as the box's datasheet draws it, change by change.
// clang-format off
line_levels drawn_frame(unsigned address_byte, unsigned data) {
  line_levels out;
  bool rts = true, dtr = true;  // as the open left the line
  auto r = [&](bool v) { rts = v; out.push_back({rts, dtr}); };
  auto d = [&](bool v) { dtr = v; out.push_back({rts, dtr}); };
  auto pulse = [&] { d(true); d(false); };
  r(1); d(1); r(0); d(0);                                      // start
  for (int i = 6; i >= 0; --i) { r((address_byte >> i) & 1); pulse(); }
  r(0); pulse();                                               // write bit
  pulse();                                                     // acknowledge
  for (int i = 7; i >= 0; --i) { r((data >> i) & 1); pulse(); }
  pulse();                                                     // acknowledge
  r(0); d(1); r(1); d(0);                                      // stop
  return out;
}
// clang-format on

struct frame_case {
  int address;
  int mask;
  int address_byte;  // the 7 bits the box must see
  int data;
};

void PrintTo(const frame_case& c, std::ostream* os) {
  *os << "address " << c.address << " mask " << c.mask;
}

// An outlet_switch on the emulated line, opened, with the record cleared.
class outlet_test : public line_test {
 protected:
  void SetUp() override {
    line_test::SetUp();
    ASSERT_TRUE(box.set_device(default_device));
    ASSERT_TRUE(box.open());
    settle_open();
  }

  outlet_switch box;
};

class outlet_frame_test : public outlet_test,
                          public testing::WithParamInterface<frame_case> {};

TEST_P(outlet_frame_test, BoxReceivesAddressAndMask) {
  const frame_case& c = GetParam();
  EXPECT_TRUE(box.set_outlets(c.address, c.mask));

  std::vector<line_change> changes = line->changes();
  ASSERT_EQ(60u, changes.size());
  EXPECT_EQ(60, line->get_count())
      << "each change is its own read-modify-write";
  EXPECT_TRUE(
      same_levels(drawn_frame(c.address_byte, c.data), levels_of(changes)));
  for (const line_change& change : changes)
    ASSERT_EQ(kStatusBits, change.word & kStatusBits)
        << "status bits disturbed";

  decoded_line seen = decode_frames(changes, kOpenedWord);
  EXPECT_TRUE(seen.faults.empty()) << seen.faults[0].what;
  ASSERT_EQ(1u, seen.frames.size());
  const decoded_frame& frame = seen.frames[0];
  EXPECT_EQ(c.address_byte, frame.address_byte);
  EXPECT_EQ(c.address & 0x7f, frame.box_address());
  EXPECT_FALSE(frame.read);
  EXPECT_FALSE(frame.ack_address);
  EXPECT_EQ((c.data & 1) != 0, frame.ack_data);
  EXPECT_EQ(c.data, frame.data);

  // Afterwards the data line rests high and the clock low.
  EXPECT_TRUE(changes.back().rts());
  EXPECT_FALSE(changes.back().dtr());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, outlet_frame_test,
    testing::Values(frame_case{0, 0, 32, 0x00},    // 0 1 0 0 0 0 0
                    frame_case{7, 255, 39, 0xff},  // 0 1 0 0 1 1 1
                    frame_case{2, 5, 34, 0x05}, frame_case{95, 0x80, 127, 0x80},
                    frame_case{96, 1, 0, 0x01},       // 128 wraps to 0
                    frame_case{-1, -1, 31, 0xff},     // two's complement
                    frame_case{-32, 0x1a5, 0, 0xa5},  // bits above 7 dropped
                    frame_case{INT_MAX, INT_MIN, 31, 0x00}),
    [](const testing::TestParamInfo<frame_case>& frame) {
      return "Address" + number_name(frame.param.address) + "Mask" +
             number_name(frame.param.mask);
    });

TEST_F(outlet_test, FailingLinesStillSendTheWholeFrameButReportIt) {
  line->fail_set(true);
  EXPECT_FALSE(box.set_outlets(2, 5));
  EXPECT_EQ(60, line->get_count()) << "the frame stopped early";
}

// relkactl's way: the word read once at open, then one write per change.
TEST_F(outlet_test, KeptWordMakesTheSameFrameWithoutAReadPerChange) {
  box.keep_modem_word(true);
  ASSERT_TRUE(box.open());
  settle_open();
  EXPECT_TRUE(box.set_outlets(2, 5));
  std::vector<line_change> changes = line->changes();
  EXPECT_TRUE(same_levels(drawn_frame(34, 5), levels_of(changes)));
  EXPECT_EQ(0, line->get_count()) << "the modem word read during the frame";
  for (const line_change& change : changes)
    ASSERT_EQ(kStatusBits, change.word & kStatusBits)
        << "status bits disturbed";
}

TEST_F(outlet_test, AdapterPulledMidFrameIsReportedEitherWay) {
  for (bool keep : {false, true}) {
    box.keep_modem_word(keep);
    ASSERT_TRUE(box.open());
    settle_open();
    line->unplug_after(10);
    EXPECT_FALSE(box.set_outlets(2, 5)) << "kept word " << keep;
    EXPECT_EQ(10u, line->changes().size()) << "kept word " << keep;
    EXPECT_EQ(EIO, box.line_error()) << "kept word " << keep;
    line->unplug_after(-1);
  }
}

TEST(outlet_switch_test, WithoutADeviceNothingOpensOrCloses) {
  outlet_switch box;
  EXPECT_STREQ("", box.get_device());
  EXPECT_FALSE(box.open());
  EXPECT_FALSE(box.close());
}

TEST(outlet_switch_test, DevicePathIsExactlyTheLastOneGiven) {
  outlet_switch box;
  ASSERT_TRUE(box.set_device("/dev/ttyS1"));
  ASSERT_TRUE(box.set_device("/dev/serial/by-id/usb-RELKA-if00-port0"));
  EXPECT_STREQ("/dev/serial/by-id/usb-RELKA-if00-port0", box.get_device());
  ASSERT_TRUE(box.set_device("/dev/a"));
  EXPECT_STREQ("/dev/a", box.get_device());
}

TEST_F(outlet_test, CloseReleasesTheLine) {
  EXPECT_TRUE(file_exists(line->lock_path()));
  EXPECT_TRUE(box.close());
  EXPECT_FALSE(file_exists(line->lock_path()));
}

}  // namespace
