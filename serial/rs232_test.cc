// SPDX-License-Identifier: MIT
#include "serial/rs232.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <functional>
#include <string>

#include "tests/case_name.h"
#include "tests/line_fixture.h"
#include "tests/termios_spy.h"

namespace {

// The last settings the port applied, and how.
termios_request last_request() {
  std::vector<termios_request> requests = termios_requests();
  EXPECT_FALSE(requests.empty());
  return requests.empty() ? termios_request{} : requests.back();
}

class rs232_test : public line_test {
 protected:
  void SetUp() override {
    line_test::SetUp();
    clear_termios_requests();
  }
};

TEST_F(rs232_test, DefaultSettingsAreRawNineSixHundredEightNoneOne) {
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  termios_request applied = last_request();
  EXPECT_EQ(TCSADRAIN, applied.action);
  EXPECT_GT(applied.fd, 0);
  const termios& t = applied.settings;
  EXPECT_EQ(tcflag_t(CREAD | CLOCAL | CS8), t.c_cflag & ~CBAUD);
  EXPECT_EQ(speed_t(B9600), cfgetospeed(&t));
  EXPECT_EQ(speed_t(B9600), cfgetispeed(&t));
  EXPECT_EQ(0u, t.c_iflag);
  EXPECT_EQ(0u, t.c_oflag);
  EXPECT_EQ(0u, t.c_lflag);
  EXPECT_EQ(0, t.c_cc[VMIN]);
  EXPECT_EQ(5, t.c_cc[VTIME]);

  // What the terminal itself now holds: raw, 9600, no hang-up on close.
  termios held = line_settings(*line);
  EXPECT_EQ(speed_t(B9600), cfgetospeed(&held));
  EXPECT_EQ(0u, held.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_EQ(0u, held.c_cflag & HUPCL);
}

struct speed_case {
  int baud;
  speed_t code;
};

void PrintTo(const speed_case& c, std::ostream* os) { *os << c.baud; }

class rs232_speed_test : public rs232_test,
                         public testing::WithParamInterface<speed_case> {};

TEST_P(rs232_speed_test, BaudTableHasNoNeighbours) {
  rs232 port;
  port.set_baud(GetParam().baud);
  EXPECT_TRUE(termios_requests().empty()) << "a closed port reached a device";
  EXPECT_EQ(GetParam().baud, port.get_baud());
  ASSERT_TRUE(port.open("/dev/relka"));
  termios t = last_request().settings;
  EXPECT_EQ(GetParam().code, cfgetospeed(&t));
  EXPECT_EQ(GetParam().code, cfgetispeed(&t));
}

INSTANTIATE_TEST_SUITE_P(
    Rates, rs232_speed_test,
    testing::Values(speed_case{50, B50}, speed_case{75, B75},
                    speed_case{110, B110}, speed_case{134, B134},
                    speed_case{150, B150}, speed_case{200, B200},
                    speed_case{300, B300}, speed_case{600, B600},
                    speed_case{1200, B1200}, speed_case{1800, B1800},
                    speed_case{2400, B2400}, speed_case{4800, B4800},
                    speed_case{9600, B9600}, speed_case{19200, B19200},
                    speed_case{38400, B38400}, speed_case{57600, B57600},
                    speed_case{115200, B115200}, speed_case{230400, B230400},
                    speed_case{460800, B460800},
                    // Not in the table: hang-up, never a neighbour.
                    speed_case{100, B0}, speed_case{0, B0},
                    speed_case{134500, B0}, speed_case{-9600, B0}),
    [](const testing::TestParamInfo<speed_case>& rate) {
      return "Baud" + number_name(rate.param.baud);
    });

struct setting_case {
  const char* name;
  std::function<void(rs232&)> set;
  tcflag_t cflag;  // the character-frame bits expected
  tcflag_t iflag;
};

void PrintTo(const setting_case& c, std::ostream* os) { *os << c.name; }

class rs232_setting_test : public rs232_test,
                           public testing::WithParamInterface<setting_case> {};

TEST_P(rs232_setting_test, TranslatesToTermios) {
  rs232 port;
  GetParam().set(port);
  ASSERT_TRUE(port.open("/dev/relka"));
  const termios t = last_request().settings;
  const tcflag_t frame_bits =
      CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS | HUPCL;
  EXPECT_EQ(GetParam().cflag, t.c_cflag & frame_bits);
  EXPECT_EQ(tcflag_t(CREAD | CLOCAL), t.c_cflag & (CREAD | CLOCAL));
  EXPECT_EQ(GetParam().iflag, t.c_iflag);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, rs232_setting_test,
    testing::Values(
        setting_case{"data5", [](rs232& p) { p.set_data_bits(5); }, CS5, 0},
        setting_case{"data6", [](rs232& p) { p.set_data_bits(6); }, CS6, 0},
        setting_case{"data7", [](rs232& p) { p.set_data_bits(7); }, CS7, 0},
        setting_case{"data8", [](rs232& p) { p.set_data_bits(8); }, CS8, 0},
        setting_case{"data9", [](rs232& p) { p.set_data_bits(9); }, CS5, 0},
        setting_case{"stop0", [](rs232& p) { p.set_stop_bits(0); }, CS8, 0},
        setting_case{"stop1", [](rs232& p) { p.set_stop_bits(1); }, CS8, 0},
        setting_case{"stop2", [](rs232& p) { p.set_stop_bits(2); },
                     CS8 | CSTOPB, 0},
        setting_case{"stop3", [](rs232& p) { p.set_stop_bits(3); }, CS8, 0},
        setting_case{"parityN", [](rs232& p) { p.set_parity('N'); }, CS8, 0},
        setting_case{"parityO", [](rs232& p) { p.set_parity('O'); },
                     CS8 | PARENB | PARODD, 0},
        setting_case{"parityE", [](rs232& p) { p.set_parity('E'); },
                     CS8 | PARENB, 0},
        setting_case{"parityX", [](rs232& p) { p.set_parity('X'); },
                     CS8 | PARENB, 0},
        setting_case{"flowH", [](rs232& p) { p.set_flow('H'); }, CS8 | CRTSCTS,
                     0},
        setting_case{"flowS", [](rs232& p) { p.set_flow('S'); }, CS8,
                     IXON | IXANY | IXOFF},
        setting_case{"flowN", [](rs232& p) { p.set_flow('N'); }, CS8, 0},
        setting_case{"flowX", [](rs232& p) { p.set_flow('X'); }, CS8, 0},
        // Each call starts from nothing: the earlier flow does not linger.
        setting_case{"flowHthenS",
                     [](rs232& p) {
                       p.set_flow('H');
                       p.set_flow('S');
                     },
                     CS8, IXON | IXANY | IXOFF}),
    by_name());

TEST_F(rs232_test, SetterOnOpenPortAppliesAfterQueuedOutput) {
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  clear_termios_requests();
  port.set_baud(19200);
  termios_request applied = last_request();
  EXPECT_EQ(TCSADRAIN, applied.action);
  EXPECT_EQ(speed_t(B19200), cfgetospeed(&applied.settings));
  termios held = line_settings(*line);
  EXPECT_EQ(speed_t(B19200), cfgetospeed(&held));
}

TEST_F(rs232_test, CloseRestoresTheLineAndRemovesTheLock) {
  preset_cooked(*line);
  termios before = line_settings(*line);
  {
    rs232 port;
    ASSERT_TRUE(port.open("/dev/relka"));
    EXPECT_EQ(lock_text(getpid()), read_file(line->lock_path()));
    EXPECT_EQ(11u, read_file(line->lock_path()).size());
    EXPECT_FALSE(same_settings(before, line_settings(*line)));
    port.close();
    EXPECT_EQ(TCSANOW, last_request().action);
    EXPECT_FALSE(file_exists(line->lock_path()));
    port.close();  // harmless the second time
  }
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
}

TEST_F(rs232_test, DestructionCloses) {
  preset_cooked(*line);
  termios before = line_settings(*line);
  {
    rs232 port;
    ASSERT_TRUE(port.open("/dev/relka"));
  }
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(rs232_test, RefusesTheControllingTerminal) {
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  port.close();
  capture_stderr();
  EXPECT_FALSE(port.open(ctermid(nullptr)));
  EXPECT_EQ(
      "rs232::open: requested device [/dev/tty] is the controlling "
      "terminal.\n",
      captured_stderr());
  EXPECT_STREQ("/dev/relka", port.get_device());
}

TEST_F(rs232_test, RefusesAMissingPath) {
  scoped_folder folder;
  std::string missing = folder.file("missing");
  rs232 port;
  capture_stderr();
  EXPECT_FALSE(port.open(missing.c_str()));
  EXPECT_EQ("rs232::open: cannot open device [" + missing + "]\n",
            captured_stderr());
  EXPECT_EQ(missing, port.get_device());
}

TEST_F(rs232_test, RefusesARegularFileWithoutLocking) {
  scoped_folder folder;
  scoped_file plain(folder.file("plain"), "not a terminal\n");
  rs232 port;
  capture_stderr();
  EXPECT_FALSE(port.open(plain.path().c_str()));
  EXPECT_EQ("rs232::open: requested device [" + plain.path() +
                "] is not a tty device.\n",
            captured_stderr());
  EXPECT_FALSE(file_exists("/var/lock/LCK..plain"));
  EXPECT_TRUE(termios_requests().empty());
}

TEST_F(rs232_test, RefusesAPathThatWouldBeCut) {
  std::string longer = "/dev/" + std::string(251, 'x');  // 256 characters
  rs232 port;
  capture_stderr();
  EXPECT_FALSE(port.open(longer.c_str()));
  EXPECT_EQ("rs232::open: device path too long [" + longer + "]\n",
            captured_stderr());
}

TEST_F(rs232_test, LiveHolderKeepsTheDeviceAndItsLockFile) {
  const int holder = getppid();
  scoped_file lock(line->lock_path(), lock_text(holder));
  preset_cooked(*line);
  termios before = line_settings(*line);
  rs232 port;
  capture_stderr();
  EXPECT_FALSE(port.open("/dev/relka"));
  EXPECT_EQ("rs232::lock: device [/dev/relka] used by another process [" +
                std::to_string(holder) + "]\n" +
                "rs232::unllock: unable to remove lock file [" +
                line->lock_path() + "]\n",
            captured_stderr());
  EXPECT_EQ(lock_text(holder), read_file(lock.path()));
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
}

TEST_F(rs232_test, StaleLockIsTakenOver) {
  scoped_file lock(line->lock_path(), lock_text(dead_pid()));
  rs232 port;
  capture_stderr();
  EXPECT_TRUE(port.open("/dev/relka"));
  EXPECT_EQ("", captured_stderr());
  EXPECT_EQ(lock_text(getpid()), read_file(lock.path()));
}

// Text that is no number reads as process 0, and probing 0 reaches our own
// process group: the device counts as in use.
class rs232_unreadable_lock_test
    : public rs232_test,
      public testing::WithParamInterface<const char*> {};

TEST_P(rs232_unreadable_lock_test, CountsAsUsedByProcessZero) {
  scoped_file lock(line->lock_path(), GetParam());
  rs232 port;
  capture_stderr();
  EXPECT_FALSE(port.open("/dev/relka"));
  EXPECT_EQ(
      "rs232::lock: device [/dev/relka] used by another process [0]\n"
      "rs232::unllock: unable to remove lock file [" +
          line->lock_path() + "]\n",
      captured_stderr());
  EXPECT_EQ(GetParam(), read_file(lock.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Contents, rs232_unreadable_lock_test,
    testing::Values("", "garbage\n", "   \n"),
    [](const testing::TestParamInfo<const char*>& content) {
      return indexed(content, content.param);
    });

TEST_F(rs232_test, OwnProcessIdCountsAsInUse) {
  rs232 first;
  ASSERT_TRUE(first.open("/dev/relka"));
  rs232 second;
  capture_stderr();
  EXPECT_FALSE(second.open("/dev/relka"));
  EXPECT_EQ("rs232::lock: device [/dev/relka] used by another process [" +
                std::to_string(getpid()) + "]\n",
            captured_stderr());
  // The refused open must not release the lock the first object holds.
  EXPECT_EQ(lock_text(getpid()), read_file(line->lock_path()));
  first.close();
  EXPECT_FALSE(file_exists(line->lock_path()));
}

// However the terminal is reached, its lock file carries the terminal's own
// name and no link's name: directly, through links absolute and relative,
// through a link's folder, and through a chain longer than the port follows
// by itself.
struct link_case {
  const char* name;
  // Makes the links in `folder` and gives the path to open.
  std::function<std::string(const scoped_folder& folder,
                            const std::string& terminal)>
      make;
};

std::string link(const std::string& target, const std::string& path) {
  EXPECT_EQ(0, symlink(target.c_str(), path.c_str())) << path;
  return path;
}

const link_case kLinkCases[] = {
    {"TerminalPath", [](const scoped_folder&, const std::string& terminal) {
       return terminal;
     }},
    {"AbsoluteLink",
     [](const scoped_folder& folder, const std::string& terminal) {
       return link(terminal, folder.file("relka-link"));
     }},
    {"RelativeChain",
     [](const scoped_folder& folder, const std::string& terminal) {
       link(terminal, folder.file("b"));
       return link("b", folder.file("a"));
     }},
    {"ThroughParentFolder",
     [](const scoped_folder& folder, const std::string& terminal) {
       link(terminal, folder.file("port0"));
       EXPECT_EQ(0, mkdir(folder.file("by-id").c_str(), 0700));
       return link("../port0", folder.file("by-id/usb-relka-if00"));
     }},
    {"LongChain",
     [](const scoped_folder& folder, const std::string& terminal) {
       std::string target = terminal;
       for (int i = 0; i < 12; ++i)
         target = link(target, folder.file("hop" + std::to_string(i)));
       return target;
     }},
};

class rs232_link_test : public rs232_test,
                        public testing::WithParamInterface<link_case> {};

TEST_P(rs232_link_test, LockedUnderTheTerminalsOwnName) {
  scoped_folder folder;
  std::string path = GetParam().make(folder, line->terminal());
  rs232 port;
  ASSERT_TRUE(port.open(path.c_str()));
  EXPECT_EQ(path, port.get_device());
  EXPECT_EQ(line->lock_path(), port.get_lock_file());
  EXPECT_EQ(lock_text(getpid()), read_file(line->lock_path()));
  std::string own = "/var/lock/LCK.." + path.substr(path.rfind('/') + 1);
  if (own != line->lock_path()) {
    EXPECT_FALSE(file_exists(own));
  }
  port.close();
  EXPECT_FALSE(file_exists(line->lock_path()));
}

INSTANTIATE_TEST_SUITE_P(Paths, rs232_link_test, testing::ValuesIn(kLinkCases),
                         by_name());

TEST_F(rs232_test, ForeignLockIsLeftInPlaceOnClose) {
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  scoped_file lock(line->lock_path(), lock_text(getppid()));
  capture_stderr();
  port.close();
  EXPECT_EQ("rs232::unllock: unable to remove lock file [" + line->lock_path() +
                "]\n",
            captured_stderr());
  EXPECT_EQ(lock_text(getppid()), read_file(lock.path()));
}

TEST_F(rs232_test, ReopenClosesTheFirstDeviceCompletely) {
  modem_line* second = add_line("/dev/relka2");
  ASSERT_NE(nullptr, second);
  preset_cooked(*line);
  termios before = line_settings(*line);
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  ASSERT_TRUE(port.open("/dev/relka2"));
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  EXPECT_FALSE(file_exists(line->lock_path()));
  EXPECT_TRUE(file_exists(second->lock_path()));

  // Also when the new open fails.
  capture_stderr();
  EXPECT_FALSE(port.open("/dev/relka-missing"));
  captured_stderr();
  EXPECT_FALSE(file_exists(second->lock_path()));
}

struct control_case {
  const char* name;
  bool (rs232::*set)(bool);
  bool on;
  int before;
  int after;
};

void PrintTo(const control_case& c, std::ostream* os) { *os << c.name; }

class rs232_control_test : public rs232_test,
                           public testing::WithParamInterface<control_case> {};

TEST_P(rs232_control_test, ChangesOneBitAndKeepsTheRest) {
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  settle_open();
  line->set_word(GetParam().before);
  EXPECT_TRUE((port.*GetParam().set)(GetParam().on));
  std::vector<line_change> changes = line->changes();
  ASSERT_EQ(1u, changes.size());
  EXPECT_EQ(GetParam().after, changes[0].word);
  EXPECT_EQ(1, line->get_count());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, rs232_control_test,
    testing::Values(
        control_case{"RtsOn", &rs232::set_rts, true, kStatusBits | TIOCM_DTR,
                     kStatusBits | TIOCM_DTR | TIOCM_RTS},
        control_case{"RtsOff", &rs232::set_rts, false,
                     kStatusBits | TIOCM_DTR | TIOCM_RTS,
                     kStatusBits | TIOCM_DTR},
        control_case{"DtrOn", &rs232::set_dtr, true, kStatusBits | TIOCM_RTS,
                     kStatusBits | TIOCM_DTR | TIOCM_RTS},
        control_case{"DtrOff", &rs232::set_dtr, false, TIOCM_DTR | TIOCM_RTS,
                     TIOCM_RTS},
        // A level the line already has is still written.
        control_case{"RtsOnAgain", &rs232::set_rts, true, TIOCM_RTS, TIOCM_RTS},
        control_case{"DtrOffAgain", &rs232::set_dtr, false, kStatusBits,
                     kStatusBits}),
    by_name());

TEST_F(rs232_test, ControlLineFailsWhenTheBitsCannotBeRead) {
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  settle_open();
  line->fail_get(true);
  EXPECT_FALSE(port.set_rts(true));
  EXPECT_FALSE(port.set_dtr(false));
  EXPECT_TRUE(line->changes().empty()) << "nothing may be written";
}

TEST_F(rs232_test, ControlLineFailsWhenTheBitsCannotBeWritten) {
  rs232 port;
  ASSERT_TRUE(port.open("/dev/relka"));
  line->fail_set(true);
  EXPECT_FALSE(port.set_rts(true));
  EXPECT_FALSE(port.set_dtr(true));
}

}  // namespace
