// SPDX-License-Identifier: MIT
// The lab timeline over several lines, from hand-drawn waveforms.
#include "sim/lab_report.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "tests/wire.h"

namespace {

using json = nlohmann::json;

// Two lines: box 2 on the first gets 0x05 then 0x01; box 1 on the second
// gets 0x80 in between; the command started at time 1000.
lab_run two_lines() {
  lab_run run;
  run.command = {"sh", "-c", "lab"};
  run.status = 0;
  run.start_usec = 1000;
  run.lines.push_back({"/dev/relka", 0, wire(2000).frame(34, 0x05).changes()});
  std::vector<line_change> more = wire(9000).frame(34, 0x01).changes();
  run.lines[0].changes.insert(run.lines[0].changes.end(), more.begin(),
                              more.end());
  run.lines.push_back({"/dev/relka2", 0, wire(5000).frame(33, 0x80).changes()});
  return run;
}

TEST(lab_report_test, FramesOfAllLinesInTimeOrderWithWhatTheySwitched) {
  lab_run run = two_lines();
  lab_timeline timeline = build_timeline(run);
  ASSERT_EQ(3u, timeline.frames.size());
  EXPECT_EQ("/dev/relka", timeline.frames[0].line);
  EXPECT_EQ(1002, timeline.frames[0].time_us);  // the start condition
  EXPECT_EQ("/dev/relka2", timeline.frames[1].line);
  EXPECT_EQ(1, timeline.frames[1].frame.box_address());
  EXPECT_EQ("/dev/relka", timeline.frames[2].line);
  EXPECT_EQ(8002, timeline.frames[2].time_us);
  EXPECT_EQ("outlet 3 off", describe_changes(timeline.frames[2].changes));
  ASSERT_EQ(2u, timeline.boxes.size());
  EXPECT_EQ(0x01, timeline.boxes[0].mask);
  EXPECT_EQ(2, timeline.boxes[0].frames);
  EXPECT_EQ(0x80, timeline.boxes[1].mask);
  EXPECT_TRUE(timeline.faults.empty());
}

TEST(lab_report_test, TextSaysWhichBoxAndOutlet) {
  lab_run run = two_lines();
  std::string text = lab_text_report(run, build_timeline(run));
  EXPECT_EQ(0u, text.rfind("relka-sim: sh -c lab exited with status 0\n"
                           "relka-sim: 3 frames on 2 lines\n"))
      << text;
  EXPECT_NE(
      std::string::npos,
      text.find("  0.008002 s  /dev/relka  mask 0x01  box 2: outlet 3 off\n"))
      << text;
  EXPECT_NE(
      std::string::npos,
      text.find("  /dev/relka2 box 1: mask 0x80, 8 on; 1 2 3 4 5 6 7 off\n"))
      << text;
}

TEST(lab_report_test, JsonHasTheCommandFramesAndBoxes) {
  lab_run run = two_lines();
  run.status = 3;
  json report = json::parse(lab_json_report(run, build_timeline(run)));
  EXPECT_EQ(3, report["command"]["status"]);
  EXPECT_EQ("sh", report["command"]["argv"][0]);
  ASSERT_EQ(3u, report["frames"].size());
  EXPECT_EQ("/dev/relka2", report["frames"][1]["line"]);
  EXPECT_EQ(4002, report["frames"][1]["time_us"]);
  EXPECT_EQ(1, report["frames"][1]["box_address"]);
  EXPECT_EQ(128, report["frames"][1]["data"]);
  EXPECT_EQ(3, report["frames"][2]["changed"][0]["outlet"]);
  EXPECT_FALSE(report["frames"][2]["changed"][0]["on"]);
  ASSERT_EQ(2u, report["boxes"].size());
  EXPECT_EQ("/dev/relka", report["boxes"][0]["line"]);
  EXPECT_EQ(2, report["boxes"][0]["box_address"]);
  EXPECT_EQ(1, report["boxes"][0]["data"]);
  EXPECT_EQ("on", report["boxes"][0]["outlets"]["1"]);
  EXPECT_EQ(60, report["lines"][1]["changes"]);
}

TEST(lab_report_test, FaultsNameTheirLine) {
  lab_run run;
  run.command = {"x"};
  run.lines.push_back(
      {"/dev/relka", 0, wire(10).start().bits(32, 7).stop().changes()});
  lab_timeline timeline = build_timeline(run);
  EXPECT_TRUE(timeline.frames.empty());
  ASSERT_EQ(1u, timeline.faults.size());
  EXPECT_EQ("/dev/relka", timeline.faults[0].line);
  std::string text = lab_text_report(run, timeline);
  EXPECT_NE(std::string::npos,
            text.find("/dev/relka  not a frame at change 3: wrong bit count"))
      << text;
}

TEST(lab_report_test, DumpHasOnePairPerLine) {
  lab_run run = two_lines();
  std::string vcd = lab_vcd_dump(run);
  EXPECT_NE(std::string::npos,
            vcd.find("$scope module relka $end\n$var wire 1 r0 RTS $end\n"
                     "$var wire 1 d0 DTR $end\n"));
  EXPECT_NE(std::string::npos,
            vcd.find("$scope module relka2 $end\n$var wire 1 r1 RTS $end\n"));
  // The second line's first change, at 5000, is 4000 us after the start.
  EXPECT_NE(std::string::npos, vcd.find("#4000\n1r1\n")) << vcd;
}

}  // namespace
