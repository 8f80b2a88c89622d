// SPDX-License-Identifier: MIT
// GoogleTest fixtures on the emulated line. Every test gets a fresh testbed
// with /dev/relka on a fresh pseudo-terminal, and leaves no lock file behind,
// even when an assertion fails half-way.
#ifndef RELKA_TESTS_LINE_FIXTURE_H_
#define RELKA_TESTS_LINE_FIXTURE_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "outlet/outlet_switch.h"
#include "sim/frame_decoder.h"
#include "sim/serial_bench.h"
#include "tests/capture.h"
#include "tests/frame_match.h"

// Status inputs a box holds asserted; they must survive every write of RTS
// and DTR untouched.
constexpr int kStatusBits = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
// The same once a port has opened the line: the driver raised DTR and RTS.
constexpr int kOpenedWord = kStatusBits | TIOCM_DTR | TIOCM_RTS;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Seconds of real time since `start`.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

// A process id that is certainly not running: a child that has been reaped.
inline int dead_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

inline bool file_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A file that is removed when the scope ends.
class scoped_file {
 public:
  scoped_file(std::string path, const std::string& text)
      : path_(std::move(path)) {
    write_file(path_, text);
  }
  ~scoped_file() { unlink(path_.c_str()); }
  scoped_file(const scoped_file&) = delete;
  scoped_file& operator=(const scoped_file&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A private folder for files a test makes, removed with all it holds.
class scoped_folder {
 public:
  // Without a folder the test cannot go on: the exception ends it, and
  // gtest reports it as a failure.
  scoped_folder() {
    char pattern[] = "/tmp/relka-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
      throw std::runtime_error(std::string("mkdtemp: ") + strerror(errno));
    path_ = pattern;
  }
  ~scoped_folder() {
    // Best effort: a folder left behind in /tmp fails no test.
    int status = std::system(("rm -rf '" + path_ + "'").c_str());
    (void)status;
  }
  scoped_folder(const scoped_folder&) = delete;
  scoped_folder& operator=(const scoped_folder&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string lock_text(int pid) {
  char text[32];
  snprintf(text, sizeof text, "%10d\n", pid);
  return text;
}

class line_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(serial_bench::available())
        << "run the tests under umockdev-wrapper";
    // relka records its frames in the state folder: a private one, so
    // that no test writes into the machine's.
    state_home_ = std::make_unique<scoped_folder>();
    setenv("RELKA_STATE_DIR", state_home_->path().c_str(), 1);
    bench_ = std::make_unique<serial_bench>();
    line = add_line(default_device, kStatusBits);
    ASSERT_NE(nullptr, line);
  }

  void TearDown() override {
    unsetenv("RELKA_STATE_DIR");
    state_home_.reset();
    stderr_.reset();
    for (const std::string& lock : locks_) unlink(lock.c_str());
    bench_.reset();
  }

  // Standard error from here until captured_stderr().
  void capture_stderr() { stderr_ = std::make_unique<fd_capture>(2); }
  std::string captured_stderr() {
    std::string text = stderr_ ? stderr_->text() : "";
    stderr_.reset();
    return text;
  }

  modem_line* add_line(const std::string& path, int word = kStatusBits) {
    modem_line* added = bench_->add_line(path, word);
    if (added != nullptr) locks_.push_back(added->lock_path());
    return added;
  }

  // The changes of `which` (the first line by default) once every open of
  // it has been closed, told briefly (see line_story): umockdev reports a
  // close a moment after it happened. An open it has not reported yet is
  // not waited for: wait for it first (open_count_after).
  std::string settled_story(modem_line* which = nullptr) {
    if (which == nullptr) which = line;
    EXPECT_TRUE(which->closed_after(2000)) << "the line is still open";
    return line_story(which->changes());
  }

  // After an open in this process: waits until the line has seen it, then
  // forgets what it recorded so far.
  void settle_open(int opens = 1) {
    EXPECT_GE(line->open_count_after(opens, 2000), opens);
    line->clear_record();
  }

  // The masks of the frames `which` (the first line by default) carried,
  // from a line that started low.
  std::vector<int> frame_masks(modem_line* which = nullptr) {
    std::vector<int> out;
    for (const decoded_frame& f :
         decode_frames((which ? which : line)->changes(), kStatusBits).frames)
      out.push_back(f.data);
    return out;
  }

  // After runs of other programs: waits until the line has seen every open
  // closed, then forgets what it recorded so far.
  void settle_closed() {
    EXPECT_TRUE(line->closed_after(2000)) << "the line is still open";
    line->clear_record();
  }

  // The settings the pseudo-terminal holds now, read through a second open.
  termios line_settings(const modem_line& which) {
    termios settings{};
    int fd = open(which.terminal().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    tcgetattr(fd, &settings);
    close(fd);
    return settings;
  }

  // Gives the line settings a port would not choose (slow, cooked, echoing)
  // so that putting them back can be told from leaving ours.
  void preset_cooked(const modem_line& which) {
    termios settings = line_settings(which);
    settings.c_lflag |= ICANON | ECHO | ISIG;
    cfsetispeed(&settings, B2400);
    cfsetospeed(&settings, B2400);
    set_line_settings(which, settings);
  }

  // Puts `settings` on the pseudo-terminal, through a second open.
  void set_line_settings(const modem_line& which, const termios& settings) {
    int fd = open(which.terminal().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    tcsetattr(fd, TCSANOW, &settings);
    close(fd);
  }

  std::unique_ptr<serial_bench> bench_;
  modem_line* line = nullptr;

 private:
  std::vector<std::string> locks_;
  std::unique_ptr<fd_capture> stderr_;
  std::unique_ptr<scoped_folder> state_home_;
};

inline bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag &&
         a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

#endif  // RELKA_TESTS_LINE_FIXTURE_H_
