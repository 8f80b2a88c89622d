// SPDX-License-Identifier: MIT
// Status inputs, byte I/O, the pattern wait and signal-driven input, on the
// emulated line: the pseudo-terminal's far end plays the box.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "serial/rs232.h"
#include "tests/case_name.h"
#include "tests/line_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

double cpu_seconds() { return static_cast<double>(clock()) / CLOCKS_PER_SEC; }

// Puts back whatever the process did with SIGIO before the test.
class scoped_sigio {
 public:
  scoped_sigio() { sigaction(SIGIO, nullptr, &saved_); }
  ~scoped_sigio() { sigaction(SIGIO, &saved_, nullptr); }

 private:
  struct sigaction saved_ {};
};

std::atomic<int> g_sigio_count{0};
void count_sigio(int) { ++g_sigio_count; }

class rs232_io_test : public line_test {
 protected:
  void SetUp() override {
    line_test::SetUp();
    ASSERT_TRUE(port.open("/dev/relka"));
    settle_open();
  }

  void send_from_box(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              write(line->far_end(), bytes.data(), bytes.size()));
  }

  // What reached the box, waiting briefly for it.
  std::string received_by_box(size_t expected) {
    std::string got;
    auto start = steady_clock::now();
    while (got.size() < expected && seconds_since(start) < 2) {
      char buffer[256];
      ssize_t n = read(line->far_end(), buffer, sizeof buffer);
      if (n > 0)
        got.append(buffer, static_cast<size_t>(n));
      else
        std::this_thread::sleep_for(milliseconds(5));
    }
    return got;
  }

  // Waits until the port has `n` bytes pending.
  void await_pending(int n) {
    auto start = steady_clock::now();
    int pending = 0;
    while (seconds_since(start) < 2 &&
           ioctl(port.get_fd(), FIONREAD, &pending) == 0 && pending < n)
      std::this_thread::sleep_for(milliseconds(2));
  }

  rs232 port;
};

struct status_case {
  const char* name;
  bool (rs232::*query)();
  int bit;
};

void PrintTo(const status_case& c, std::ostream* os) { *os << c.name; }

class rs232_status_test : public rs232_io_test,
                          public testing::WithParamInterface<status_case> {};

TEST_P(rs232_status_test, ReadsItsOwnBitOnly) {
  const status_case& c = GetParam();
  line->set_word(c.bit);
  EXPECT_TRUE((port.*c.query)());
  line->set_word(~c.bit);
  EXPECT_FALSE((port.*c.query)());
  EXPECT_TRUE(line->changes().empty()) << "a query wrote the modem bits";
}

TEST_P(rs232_status_test, FailingRequestPrintsAndReadsFalse) {
  const status_case& c = GetParam();
  line->set_word(c.bit);
  line->fail_get(true);
  capture_stderr();
  EXPECT_FALSE((port.*c.query)());
  EXPECT_EQ(std::string("rs232::") + c.name + ": error ioctl\n",
            captured_stderr());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, rs232_status_test,
    testing::Values(status_case{"cts", &rs232::cts, TIOCM_CTS},
                    status_case{"dsr", &rs232::dsr, TIOCM_DSR},
                    status_case{"cd", &rs232::cd, TIOCM_CAR},
                    status_case{"ri", &rs232::ri, TIOCM_RNG}),
    by_name());

TEST_F(rs232_io_test, StatusQueryOnAPortWithoutModemLines) {
  // A plain pseudo-terminal, not on the bench, rejects TIOCMGET.
  rs232 plain;
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  grantpt(master);
  unlockpt(master);
  ASSERT_TRUE(plain.open(ptsname(master)));
  capture_stderr();
  EXPECT_FALSE(plain.cts());
  EXPECT_EQ("rs232::cts: error ioctl\n", captured_stderr());
  std::string lock =
      "/var/lock/LCK.." + std::string(strrchr(ptsname(master), '/') + 1);
  plain.close();
  close(master);
  EXPECT_FALSE(file_exists(lock));
}

TEST_F(rs232_io_test, ClosedPortRefusesIo) {
  rs232 closed;
  char buffer[8];
  EXPECT_EQ(0, closed.get_fd());
  EXPECT_EQ(-1, closed.write_byte('x'));
  EXPECT_EQ(-1, closed.write_buffer("abc", -1));
  EXPECT_EQ(0, closed.read_byte());
  EXPECT_EQ(-1, closed.read_buffer(buffer, sizeof buffer));
  closed.flush();
  scoped_sigio restore;
  EXPECT_FALSE(closed.enable_sigio(count_sigio));
  EXPECT_TRUE(closed.ignore_sigio());
}

TEST_F(rs232_io_test, BytesReachTheFarEnd) {
  EXPECT_GT(port.get_fd(), 0);
  EXPECT_EQ(1, port.write_byte('R'));
  EXPECT_EQ(5, port.write_buffer("ELKA!", -1));
  EXPECT_EQ(3, port.write_buffer("a\0b", 3));
  EXPECT_EQ(0, port.write_buffer("", -1));
  EXPECT_EQ(-1, port.write_buffer("x", -2));
  EXPECT_EQ(std::string("RELKA!a\0b", 9), received_by_box(9));
}

TEST_F(rs232_io_test, BytesFromTheFarEndAreRead) {
  send_from_box(
      "\x01\xfe"
      "rest");
  await_pending(6);
  EXPECT_EQ(1, port.read_byte());
  EXPECT_EQ(static_cast<char>(0xfe), port.read_byte());
  EXPECT_EQ('r', port.read_byte());
  char buffer[16] = {};
  EXPECT_EQ(3, port.read_buffer(buffer, sizeof buffer));
  EXPECT_STREQ("est", buffer);
}

TEST_F(rs232_io_test, PolledReadsReturnAtOnce) {
  auto start = steady_clock::now();
  char buffer[4];
  EXPECT_EQ(0, port.read_byte());
  EXPECT_EQ(-1, port.read_buffer(buffer, sizeof buffer));
  EXPECT_EQ(EAGAIN, errno);
  EXPECT_LT(seconds_since(start), 0.2);
}

// A pseudo-terminal hands output to its far end at once, so only the input
// half of the flush can be seen on the bench.
TEST_F(rs232_io_test, FlushDiscardsPendingInput) {
  send_from_box("stale");
  await_pending(5);
  port.flush();
  char buffer[8];
  EXPECT_EQ(-1, port.read_buffer(buffer, sizeof buffer));
  send_from_box("fresh");
  await_pending(5);
  EXPECT_EQ(5, port.read_buffer(buffer, sizeof buffer));
}

TEST_F(rs232_io_test, SignalDrivenInput) {
  scoped_sigio restore;
  g_sigio_count = 0;
  ASSERT_TRUE(port.enable_sigio(count_sigio));
  int flags = fcntl(port.get_fd(), F_GETFL);
  EXPECT_TRUE(flags & O_ASYNC);
  EXPECT_FALSE(flags & O_NONBLOCK) << "the descriptor should now block";
  EXPECT_FALSE(flags & O_APPEND);

  // Nothing pending: a read now waits for the line's 0.5 s timer.
  auto start = steady_clock::now();
  EXPECT_EQ(0, port.read_byte());
  double waited = seconds_since(start);
  EXPECT_GT(waited, 0.35);
  EXPECT_LT(waited, 1.5);

  send_from_box("!");
  start = steady_clock::now();
  while (g_sigio_count == 0 && seconds_since(start) < 2)
    std::this_thread::sleep_for(milliseconds(5));
  EXPECT_GT(g_sigio_count, 0) << "the handler did not run for input";
  EXPECT_EQ('!', port.read_byte());

  // Ignoring changes the process's action only: the descriptor stays as set.
  EXPECT_TRUE(port.ignore_sigio());
  EXPECT_EQ(flags, fcntl(port.get_fd(), F_GETFL));
  int before = g_sigio_count;
  send_from_box("?");
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(before, g_sigio_count.load());
}

// Writes `pieces` from the far end, one every `gap`, on a thread of its own.
class box_writer {
 public:
  box_writer(int fd, const std::vector<std::string>& pieces, milliseconds gap)
      : thread_([=] {
          for (const std::string& piece : pieces) {
            std::this_thread::sleep_for(gap);
            ssize_t n = write(fd, piece.data(), piece.size());
            (void)n;
          }
        }) {}
  ~box_writer() { thread_.join(); }

 private:
  std::thread thread_;
};

constexpr int kUntouched = -12345;

TEST_F(rs232_io_test, WaitWithNoLimitReadsNothing) {
  send_from_box("OK");
  await_pending(2);
  for (int limit : {0, -1}) {
    int count = kUntouched;
    char received[1024] = "untouched";
    EXPECT_FALSE(port.wait_for("OK", limit, received, &count));
    EXPECT_EQ(kUntouched, count);
    EXPECT_STREQ("untouched", received);
  }
  char buffer[4];
  EXPECT_EQ(2, port.read_buffer(buffer, sizeof buffer))
      << "the wait read input";
}

TEST_F(rs232_io_test, WaitOnAClosedPortRunsOutTheLimit) {
  rs232 closed;
  int count = kUntouched;
  char received[1024];
  auto start = steady_clock::now();
  EXPECT_FALSE(closed.wait_for("", 1, received, &count));
  EXPECT_GE(seconds_since(start), 0.99);
  EXPECT_LT(seconds_since(start), 1.5);
  EXPECT_EQ(kUntouched, count);
}

TEST_F(rs232_io_test, EmptyPatternEndsWithTheFirstBytes) {
  send_from_box("xyz");
  await_pending(3);
  int count = 0;
  char received[1024];
  EXPECT_TRUE(port.wait_for("", 2, received, &count));
  EXPECT_EQ(3, count);
  EXPECT_EQ("xyz", std::string(received, 3));
}

TEST_F(rs232_io_test, PatternSplitOverTwoReadsIsFoundAndAllBytesKept) {
  box_writer box(line->far_end(), {"+++ATZ\r\nO", "K\r\ntail"},
                 milliseconds(150));
  int count = 0;
  char received[1024];
  auto start = steady_clock::now();
  EXPECT_TRUE(port.wait_for("OK", 5, received, &count));
  EXPECT_LT(seconds_since(start), 1.5) << "a pattern found must end the wait";
  EXPECT_EQ("+++ATZ\r\nOK\r\ntail", std::string(received, count));
}

TEST_F(rs232_io_test, ZeroByteHidesWhatFollows) {
  send_from_box(std::string("noise\0OK", 8));
  int count = kUntouched;
  char received[1024];
  auto start = steady_clock::now();
  EXPECT_FALSE(port.wait_for("OK", 1, received, &count));
  EXPECT_GE(seconds_since(start), 0.99);
  EXPECT_EQ(kUntouched, count);
}

TEST_F(rs232_io_test, TakesNoMoreThan1024Bytes) {
  send_from_box(std::string(1100, '.') + "OK");
  int count = kUntouched;
  char received[1024];
  EXPECT_FALSE(port.wait_for("OK", 1, received, &count));
  EXPECT_EQ(kUntouched, count);
  char rest[256] = {};
  EXPECT_EQ(78, port.read_buffer(rest, sizeof rest))
      << "bytes past the cap were taken";
}

TEST_F(rs232_io_test, NullReceivedLeavesCountAlone) {
  send_from_box("READY");
  int count = kUntouched;
  EXPECT_TRUE(port.wait_for("READY", 2, nullptr, &count));
  EXPECT_EQ(kUntouched, count);
}

// The limit is wall-clock time and the wait sleeps: on the blocking
// descriptor that signal-driven input leaves, a 2-second wait once took
// minutes, and on any descriptor it kept a core busy.
class rs232_wait_time_test : public rs232_io_test,
                             public testing::WithParamInterface<bool> {};

TEST_P(rs232_wait_time_test, KeepsTheLimitInRealTimeWithoutSpinning) {
  scoped_sigio restore;
  if (GetParam()) {
    ASSERT_TRUE(port.enable_sigio(count_sigio));
  }
  auto start = steady_clock::now();
  double cpu_start = cpu_seconds();
  EXPECT_FALSE(port.wait_for("never", 2, nullptr, nullptr));
  double waited = seconds_since(start);
  EXPECT_GE(waited, 1.99);
  EXPECT_LT(waited, 3.0);
  EXPECT_LT(cpu_seconds() - cpu_start, 0.3) << "the wait spun";
}

INSTANTIATE_TEST_SUITE_P(Descriptors, rs232_wait_time_test, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& blocking) {
                           return std::string(blocking.param ? "Blocking"
                                                             : "Polled");
                         });

TEST_F(rs232_io_test, FullBufferSleepsUntilTheLimit) {
  send_from_box(std::string(1024, '#'));
  double cpu_start = cpu_seconds();
  EXPECT_FALSE(port.wait_for("never", 1, nullptr, nullptr));
  EXPECT_LT(cpu_seconds() - cpu_start, 0.3) << "the wait spun";
}

}  // namespace
