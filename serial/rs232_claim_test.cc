// SPDX-License-Identifier: MIT
// Holding the device: flock against other programs, and the wait for a
// device that another live process holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "serial/rs232.h"
#include "sim/run_program.h"
#include "tests/flock_holder.h"
#include "tests/line_fixture.h"

namespace {

using steady = std::chrono::steady_clock;

using rs232_claim_test = line_test;

TEST_F(rs232_claim_test, FlockedDeviceIsRefusedAndNothingTouched) {
  flock_holder other;
  ASSERT_TRUE(other.take());
  rs232 port;
  capture_stderr();
  EXPECT_FALSE(port.open(default_device));
  EXPECT_EQ("rs232::open: device [/dev/relka] is in use by another program\n",
            captured_stderr());
  EXPECT_TRUE(port.was_busy());
  EXPECT_EQ(0, port.get_fd());
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(rs232_claim_test, PortHoldsTheFlockUntilClose) {
  rs232 port;
  ASSERT_TRUE(port.open(default_device));
  {
    flock_holder other;
    EXPECT_FALSE(other.take());
  }
  port.close();
  flock_holder other;
  EXPECT_TRUE(other.take());
}

TEST_F(rs232_claim_test, WaitGivesUpAfterItsTimeQuietly) {
  flock_holder other;
  ASSERT_TRUE(other.take());
  rs232 port;
  port.set_wait(300);
  capture_stderr();
  auto start = steady::now();
  EXPECT_FALSE(port.open(default_device));
  double waited = seconds_since(start);
  EXPECT_EQ("", captured_stderr()) << "the caller says why it gave up";
  EXPECT_GE(waited, 0.29);
  EXPECT_LT(waited, 1.5);
  EXPECT_TRUE(port.was_busy());
  EXPECT_EQ(0, port.busy_holder()) << "a flock names no process";
}

TEST_F(rs232_claim_test, WaitEndsWhenTheFlockIsReleased) {
  flock_holder other;
  ASSERT_TRUE(other.take());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    other.release();
  });
  rs232 port;
  port.set_wait(5000);
  capture_stderr();
  auto start = steady::now();
  bool opened = port.open(default_device);
  double waited = seconds_since(start);
  releaser.join();
  captured_stderr();
  EXPECT_TRUE(opened);
  EXPECT_FALSE(port.was_busy());
  EXPECT_GE(waited, 0.19);
  EXPECT_LT(waited, 2.0);
  EXPECT_EQ(lock_text(getpid()), read_file(line->lock_path()));
}

TEST_F(rs232_claim_test, WaitEndsWhenALiveLockFileGoes) {
  child_process holder;
  ASSERT_TRUE(holder.start("/bin/sleep", {"30"}));
  scoped_file lock(line->lock_path(), lock_text(holder.pid()));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    unlink(lock.path().c_str());
  });
  rs232 port;
  port.set_wait(5000);
  capture_stderr();
  bool opened = port.open(default_device);
  std::string said = captured_stderr();
  releaser.join();
  EXPECT_TRUE(opened);
  EXPECT_EQ("", said) << "a wait that ends well says nothing";
  EXPECT_EQ(1, line->open_count_after(1, 2000))
      << "the device is opened once, after the lock file went";
}

TEST_F(rs232_claim_test, WithoutAWaitABusyDeviceIsRefusedAtOnce) {
  child_process holder;
  ASSERT_TRUE(holder.start("/bin/sleep", {"30"}));
  scoped_file lock(line->lock_path(), lock_text(holder.pid()));
  rs232 port;
  capture_stderr();
  auto start = steady::now();
  EXPECT_FALSE(port.open(default_device));
  EXPECT_LT(seconds_since(start), 0.1);
  captured_stderr();
  EXPECT_TRUE(port.was_busy());
  EXPECT_EQ(holder.pid(), port.busy_holder());
  EXPECT_EQ(lock_text(holder.pid()), read_file(lock.path()));
  EXPECT_EQ(0, line->open_count_after(1, 150))
      << "a device whose lock file is held was opened";
}

TEST_F(rs232_claim_test, MissingDeviceIsNotBusy) {
  rs232 port;
  port.set_wait(5000);
  capture_stderr();
  auto start = steady::now();
  EXPECT_FALSE(port.open("/dev/relka-missing"));
  EXPECT_LT(seconds_since(start), 0.5) << "nothing to wait for";
  captured_stderr();
  EXPECT_FALSE(port.was_busy());
}

}  // namespace
