// SPDX-License-Identifier: MIT
#include "outlet/outlet_switch.h"

#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <new>

outlet_switch::outlet_switch() : device_path(new char[1]()), port() {}

bool outlet_switch::set_device(const char* path) {
  size_t size = strlen(path) + 1;
  char* copy = new (std::nothrow) char[size];
  if (copy == nullptr) return false;
  memcpy(copy, path, size);
  device_path.reset(copy);
  return true;
}

bool outlet_switch::open() {
  word_known = false;
  if (device_path[0] == '\0') return false;
  if (!port.open(device_path.get())) return false;
  // A word that cannot be read leaves the frame to the read-modify-writes,
  // which then fail or not on their own.
  if (keep_word) word_known = port.read_modem_word(&word);
  return true;
}

const char* outlet_switch::terminal_name() const {
  const char* lock = port.get_lock_file();
  size_t prefix = sizeof uucp_lock_prefix - 1;
  return strncmp(lock, uucp_lock_prefix, prefix) == 0 ? lock + prefix : "";
}

bool outlet_switch::close() {
  if (device_path[0] == '\0') return false;
  port.close();
  return true;
}

namespace {

// Drives the two lines of one frame and remembers whether every change
// reached the port, and why the first one that failed did not. With a kept
// word (`word` not null) each change writes it whole; otherwise each is the
// port's own read-modify-write.
class frame_writer {
 public:
  frame_writer(rs232& line, int* kept_word) : port(line), word(kept_word) {}

  void data(bool level) { change(TIOCM_RTS, level); }
  void clock(bool level) { change(TIOCM_DTR, level); }
  static void pause() { usleep(1); }

  void clock_pulse() {
    clock(true);
    pause();
    clock(false);
  }

  // Most significant bit first, one clock pulse per bit.
  void bits(unsigned value, int top_bit) {
    for (int i = top_bit; i >= 0; --i) {
      data((value >> i) & 1u);
      clock_pulse();
    }
  }

  // Data falls while the clock is high.
  void start() {
    data(true);
    clock(true);
    pause();
    data(false);
    pause();
    clock(false);
    pause();
  }

  // Data rises while the clock is high.
  void stop() {
    data(false);
    clock(true);
    pause();
    data(true);
    pause();
    clock(false);
    pause();
  }

  bool all_ok() const { return ok; }
  int first_error() const { return error; }

 private:
  void change(int bit, bool level) {
    bool done = false;
    errno = 0;
    if (word == nullptr) {
      done = bit == TIOCM_RTS ? port.set_rts(level) : port.set_dtr(level);
    } else {
      *word = level ? *word | bit : *word & ~bit;
      done = port.write_modem_word(*word);
    }
    if (!done && ok) error = errno;
    ok &= done;
  }

  rs232& port;
  int* word;
  bool ok = true;
  int error = 0;
};

}  // namespace

bool outlet_switch::set_outlets(int address, int mask) {
  // Unsigned, so that any int wraps to its two's-complement low bits.
  unsigned address_byte = (static_cast<unsigned>(address) + 32u) & 0x7fu;
  unsigned data_byte = static_cast<unsigned>(mask) & 0xffu;

  frame_writer frame(port, word_known ? &word : nullptr);
  frame.start();
  frame.bits(address_byte, 6);
  frame.data(false);  // write
  frame.clock_pulse();
  frame.clock_pulse();  // acknowledge slot, never read
  frame.bits(data_byte, 7);
  frame.clock_pulse();  // acknowledge slot, never read
  frame.stop();
  first_error = frame.first_error();
  return frame.all_ok();
}
