// SPDX-License-Identifier: MIT
#include "sim/frame_decoder.h"
#include "tests/case_name.h"
#include "tests/wire.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <string>
#include <vector>

namespace {

struct good_case {
  int address;
  int mask;
};

void PrintTo(const good_case& c, std::ostream* os) {
  *os << "address " << c.address << " mask " << c.mask;
}

class decoder_good_test : public testing::TestWithParam<good_case> {};

TEST_P(decoder_good_test, ReadsAddressAndData) {
  int address_byte = (GetParam().address + 32) & 0x7f;
  int data = GetParam().mask & 0xff;
  decoded_line seen =
      decode_frames(wire().frame(address_byte, data).changes(), 0);
  ASSERT_TRUE(seen.faults.empty()) << seen.faults[0].what;
  ASSERT_EQ(1u, seen.frames.size());
  EXPECT_EQ(address_byte, seen.frames[0].address_byte);
  EXPECT_EQ(GetParam().address & 0x7f, seen.frames[0].box_address());
  EXPECT_EQ(data, seen.frames[0].data);
  EXPECT_FALSE(seen.frames[0].read);
  EXPECT_EQ(2u, seen.frames[0].first_change);  // data falls: third change
  EXPECT_EQ(58u, seen.frames[0].last_change);  // data rises: next to last
}

INSTANTIATE_TEST_SUITE_P(Frames, decoder_good_test,
                         testing::Values(good_case{0, 0}, good_case{7, 255},
                                         good_case{96, 0x5a}, good_case{-1, -1},
                                         good_case{127, 1}),
                         [](const testing::TestParamInfo<good_case>& frame) {
                           return "Address" + number_name(frame.param.address) +
                                  "Mask" + number_name(frame.param.mask);
                         });

TEST(decoder_test, IdleClockingBeforeAStartIsIgnored) {
  wire line;
  line.rts(true).pulse().pulse().frame(34, 5);
  decoded_line seen = decode_frames(line.changes(), 0);
  EXPECT_TRUE(seen.faults.empty());
  ASSERT_EQ(1u, seen.frames.size());
  EXPECT_EQ(2, seen.frames[0].box_address());
}

TEST(decoder_test, TwoFramesInARow) {
  wire line;
  line.frame(32, 1).frame(33, 2);
  decoded_line seen = decode_frames(line.changes(), 0);
  ASSERT_EQ(2u, seen.frames.size());
  EXPECT_EQ(1, seen.frames[1].box_address());
  EXPECT_EQ(2, seen.frames[1].data);
}

TEST(decoder_test, InitialLevelsCount) {
  // Clock already high and data high: the first write that lowers data is
  // a start.
  wire line;
  line.both(false, true)
      .dtr(false)
      .bits(34, 7)
      .bits(0, 1)
      .pulse()
      .bits(5, 8)
      .pulse()
      .stop();
  decoded_line seen = decode_frames(line.changes(), TIOCM_RTS | TIOCM_DTR);
  ASSERT_TRUE(seen.faults.empty()) << seen.faults[0].what;
  ASSERT_EQ(1u, seen.frames.size());
  EXPECT_EQ(5, seen.frames[0].data);
}

struct fault_case {
  const char* name;
  std::vector<line_change> changes;
  std::size_t at;
  const char* starts_with;
};

void PrintTo(const fault_case& c, std::ostream* os) { *os << c.name; }

class decoder_fault_test : public testing::TestWithParam<fault_case> {};

TEST_P(decoder_fault_test, SaysWhatAndWhere) {
  decoded_line seen = decode_frames(GetParam().changes, 0);
  EXPECT_TRUE(seen.frames.empty());
  ASSERT_EQ(1u, seen.faults.size());
  EXPECT_EQ(GetParam().at, seen.faults[0].change);
  EXPECT_EQ(0u, seen.faults[0].what.rfind(GetParam().starts_with, 0))
      << seen.faults[0].what;
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, decoder_fault_test,
    testing::Values(
        fault_case{
            "MissingStop",
            wire().start().bits(32, 7).bits(0, 1).pulse().bits(3, 8).changes(),
            2, "missing stop: the frame from here ends after 17 bits"},
        fault_case{"TooFewBits",
                   wire().start().bits(32, 7).pulse().stop().changes(), 2,
                   "wrong bit count: 9 clock pulses"},
        fault_case{"TooManyBits",
                   wire()
                       .start()
                       .bits(32, 7)
                       .bits(0, 3)
                       .bits(3, 8)
                       .pulse()
                       .stop()
                       .changes(),
                   2, "wrong bit count: 20 clock pulses"},
        fault_case{"StopWithoutStart",
                   wire().rts(false).dtr(true).rts(true).changes(), 2,
                   "data rose while the clock was high outside a frame"},
        fault_case{"BothAtOnce", wire().both(true, true).changes(), 0,
                   "data and clock changed in one write"},
        // Another program opening the line mid-frame: the driver raises
        // both lines, and the box reads a clock pulse nobody sent.
        fault_case{"OpenedMidFrame",
                   wire()
                       .start()
                       .bits(32, 7)
                       .opened()
                       .dtr(false)
                       .bits(0, 1)
                       .pulse()
                       .bits(3, 8)
                       .pulse()
                       .stop()
                       .changes(),
                   2, "wrong bit count: 20 clock pulses"}),
    by_name());

TEST(decoder_test, OpenAndCloseAroundAFrameAreNoFault) {
  decoded_line seen =
      decode_frames(wire().opened().frame(34, 5).closed().changes(), 0);
  EXPECT_TRUE(seen.faults.empty()) << seen.faults[0].what;
  ASSERT_EQ(1u, seen.frames.size());
  EXPECT_EQ(5, seen.frames[0].data);
}

TEST(decoder_test, DataFallingInsideAFrameIsARestartWithoutStop) {
  wire line;
  line.start().bits(32, 4).rts(true).dtr(true).rts(false).dtr(false);
  decoded_line seen = decode_frames(line.changes(), 0);
  ASSERT_EQ(2u, seen.faults.size());
  EXPECT_EQ(
      0u,
      seen.faults[0].what.rfind(
          "data fell while the clock was high inside a frame, after 5 bits", 0))
      << seen.faults[0].what;
}

TEST(decoder_test, BitString) {
  EXPECT_EQ("0 1 0 0 0 0 0", bit_string(32, 7));
  EXPECT_EQ("1 1 1 1 1 1 1 1", bit_string(255, 8));
}

}  // namespace
