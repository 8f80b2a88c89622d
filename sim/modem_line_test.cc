// SPDX-License-Identifier: MIT
#include "sim/modem_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "tests/case_name.h"
#include "tests/frame_match.h"
#include "tests/line_fixture.h"

namespace {

// The emulated line opens and closes as a UART driver does: every open
// raises DTR and RTS unless the speed is B0, the last close drops them
// when HUPCL is set, and only changes of the word are recorded.
struct open_close_case {
  const char* name;
  speed_t speed;
  bool hupcl;
  int opens;  // held at once, then closed one after the other
  std::string story;
  bool up_at_end;
};

void PrintTo(const open_close_case& c, std::ostream* os) { *os << c.name; }

class modem_line_test : public line_test,
                        public testing::WithParamInterface<open_close_case> {
 protected:
  void set_line(speed_t speed, bool hupcl) {
    termios settings = line_settings(*line);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (hupcl)
      settings.c_cflag |= HUPCL;
    else
      settings.c_cflag &= ~HUPCL;
    set_line_settings(*line, settings);
  }
};

TEST_P(modem_line_test, OpenAndLastCloseMoveTheLinesAsTheKernelDoes) {
  const open_close_case& c = GetParam();
  EXPECT_EQ(0, line->word() & (TIOCM_DTR | TIOCM_RTS)) << "a fresh line is low";
  set_line(c.speed, c.hupcl);
  std::vector<int> held;
  for (int i = 0; i < c.opens; ++i) {
    held.push_back(open(default_device, O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(held.back(), 0);
    ASSERT_GE(line->open_count_after(i + 1, 2000), i + 1);
  }
  for (int fd : held) {
    close(fd);
    usleep(20000);  // an early close must not look like the last
  }
  EXPECT_EQ(c.story, settled_story());
  EXPECT_EQ(c.up_at_end, (line->word() & (TIOCM_DTR | TIOCM_RTS)) ==
                             (TIOCM_DTR | TIOCM_RTS));
  EXPECT_EQ(kStatusBits, line->word() & kStatusBits) << "status bits moved";
}

INSTANTIATE_TEST_SUITE_P(
    Lines, modem_line_test,
    testing::Values(
        open_close_case{"SerialDefaults", B9600, true, 1, "open close", false},
        open_close_case{"WithoutHupcl", B9600, false, 1, "open", true},
        open_close_case{"SpeedB0", B0, true, 1, "", false},
        open_close_case{"TwoOpensOneLastClose", B9600, true, 2, "open close",
                        false}),
    by_name());

}  // namespace
