#include "serial/rs232.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

struct speed_entry {
  int baud;
  speed_t code;
};

const speed_entry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},
};

// Rates that are not in the table get B0, which hangs the line up: a wrong
// speed must not silently become a neighbouring one.
speed_t speed_code(int baud) {
  for (const speed_entry& e : kSpeeds)
    if (e.baud == baud) return e.code;
  return B0;
}

// open(2) that never leaves its result on descriptor 0. With standard input
// closed the system hands out 0, which this class reads as "no descriptor";
// /dev/null holds 0 for the moment of the open, so the device keeps the
// descriptor it was opened on. -1 on failure.
int open_above_zero(const char* path, int flags, mode_t mode = 0) {
  int placeholder = -1;
  if (fcntl(0, F_GETFD) == -1 && errno == EBADF)
    placeholder = ::open("/dev/null", O_RDONLY);
  int fd = ::open(path, flags, mode);
  if (placeholder >= 0) ::close(placeholder);
  if (fd == 0) {  // nothing could hold 0: move the descriptor up instead
    int moved = fcntl(fd, F_DUPFD, 1);
    ::close(fd);
    fd = moved;
  }
  return fd;
}

// Reads the pid in a lock file. False when there is no readable file; text
// that is not a number reads as 0, as strtol gives it.
bool read_lock_owner(const char* path, int* pid) {
  int fd = open_above_zero(path, O_RDONLY);
  if (fd <= 0) return false;
  char text[21];
  ssize_t n = ::read(fd, text, 20);
  text[n > 0 ? n : 0] = '\0';
  ::close(fd);
  *pid = static_cast<int>(strtol(text, nullptr, 10));
  return true;
}

// A holder we may not signal (EPERM) is alive all the same; only a process
// that no longer exists leaves a stale lock.
bool process_alive(int pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

int create_lock_file(const char* path) {
  return open_above_zero(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
}

void copy_text(char* dst, size_t size, const char* src) {
  snprintf(dst, size, "%s", src);
}

}  // namespace

rs232::rs232()
    : baud(9600),
      data_bits(8),
      parity('N'),
      stop_bits(1),
      device(),
      flow('N'),
      lock_file(),
      fd(0),
      new_settings(),
      saved_settings(),
      async_handler(nullptr),
      lock_held(false) {}

rs232::~rs232() { close(); }

void rs232::set_baud(int value) {
  baud = value;
  apply_settings();
}

void rs232::set_data_bits(char value) {
  data_bits = value;
  apply_settings();
}

void rs232::set_parity(char value) {
  parity = value;
  apply_settings();
}

void rs232::set_stop_bits(char value) {
  stop_bits = value;
  apply_settings();
}

void rs232::set_flow(char value) {
  flow = value;
  apply_settings();
}

void rs232::apply_settings() {
  // Built from nothing each time so no earlier flag survives; the control
  // characters we do not set stay 0 (disabled) except the XON/XOFF pair.
  new_settings = termios();
  new_settings.c_cflag = CREAD | CLOCAL;
  switch (data_bits) {
    case 6: new_settings.c_cflag |= CS6; break;
    case 7: new_settings.c_cflag |= CS7; break;
    case 8: new_settings.c_cflag |= CS8; break;
    default: new_settings.c_cflag |= CS5; break;
  }
  if (stop_bits == 2) new_settings.c_cflag |= CSTOPB;
  if (parity != 'N') new_settings.c_cflag |= PARENB;
  if (parity == 'O') new_settings.c_cflag |= PARODD;
  if (flow == 'H') new_settings.c_cflag |= CRTSCTS;
  if (flow == 'S') new_settings.c_iflag = IXON | IXANY | IXOFF;
  new_settings.c_cc[VSTART] = 0x11;
  new_settings.c_cc[VSTOP] = 0x13;
  new_settings.c_cc[VMIN] = 0;
  new_settings.c_cc[VTIME] = 5;
  speed_t code = speed_code(baud);
  cfsetospeed(&new_settings, code);
  cfsetispeed(&new_settings, code);
  if (fd > 0) tcsetattr(fd, TCSADRAIN, &new_settings);
}

bool rs232::open(const char* path) {
  close();
  // A lock file name left from an earlier device must not be released by
  // this open's clean-up.
  lock_file[0] = '\0';

  if (strcmp(path, ctermid(nullptr)) == 0) {
    fprintf(stderr,
            "rs232::open: requested device [%s] is the controlling terminal.\n",
            path);
    return false;
  }
  // A cut path would name another file; refuse it whole.
  if (strlen(path) >= sizeof device) {
    fprintf(stderr, "rs232::open: device path too long [%s]\n", path);
    return false;
  }
  copy_text(device, sizeof device, path);

  fd = open_above_zero(device, O_RDWR | O_APPEND | O_NONBLOCK);
  if (fd <= 0) {
    fd = 0;
    fprintf(stderr, "rs232::open: cannot open device [%s]\n", device);
    return false;
  }
  if (!isatty(fd)) {
    abandon_open();
    fprintf(stderr, "rs232::open: requested device [%s] is not a tty device.\n",
            device);
    return false;
  }
  if (!lock()) {
    abandon_open();
    return false;
  }
  tcgetattr(fd, &saved_settings);
  apply_settings();
  return true;
}

// Undoes a half-done open: nothing was read from the line, so nothing is
// put back.
void rs232::abandon_open() {
  ::close(fd);
  fd = 0;
  unllock();
}

void rs232::close() {
  if (fd <= 0) return;
  tcsetattr(fd, TCSANOW, &saved_settings);
  ::close(fd);
  fd = 0;
  unllock();
}

bool rs232::lock() {
  lock_file[0] = '\0';
  // ttyname gives the terminal's own path, so a device reached through a
  // symbolic link is locked under the name every other program uses.
  const char* name = ttyname(fd);
  if (name == nullptr) {
    fprintf(stderr, "rs232::lock: cannot get terminal name of device [%s]\n",
            device);
    return false;
  }
  const char* slash = strrchr(name, '/');
  if (slash == nullptr || slash[1] == '\0') {
    fprintf(stderr, "rs232::lock: cannot generate lock file name [%s]\n",
            slash ? slash : name);
    return false;
  }
  if (sizeof uucp_lock_prefix - 1 + strlen(slash + 1) >= sizeof lock_file) {
    fprintf(stderr, "rs232::lock: lock file name too long [%s]\n", slash + 1);
    return false;
  }
  snprintf(lock_file, sizeof lock_file, "%s%s", uucp_lock_prefix, slash + 1);

  int owner = 0;
  bool stale = read_lock_owner(lock_file, &owner);
  if (stale && process_alive(owner)) {
    fprintf(stderr, "rs232::lock: device [%s] used by another process [%i]\n",
            device, owner);
    return false;
  }
  if (stale) unlink(lock_file);
  int lock_fd = create_lock_file(lock_file);
  if (lock_fd <= 0) {
    fprintf(stderr,
            stale ? "rs232::lock: unable to create lock file [%s]\n"
                  : "rs232::lock: cannot create lock file [%s]\n",
            lock_file);
    return false;
  }
  char text[32];
  int length =
      snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  ssize_t written = ::write(lock_fd, text, length);
  (void)written;
  ::close(lock_fd);
  lock_held = true;
  return true;
}

void rs232::unllock() {
  int owner = 0;
  bool mine = lock_held;
  lock_held = false;
  if (!read_lock_owner(lock_file, &owner)) return;
  if (owner == getpid()) {
    if (mine) unlink(lock_file);
  } else {
    fprintf(stderr, "rs232::unllock: unable to remove lock file [%s]\n",
            lock_file);
  }
}

bool rs232::set_rts(bool on) { return set_modem_bit(TIOCM_RTS, on); }

bool rs232::set_dtr(bool on) { return set_modem_bit(TIOCM_DTR, on); }

// One read-modify-write of the modem bits, also when the line already has
// the level asked for: every call is one change on the wire.
bool rs232::set_modem_bit(int bit, bool on) {
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) == -1) return false;
  if (on)
    bits |= bit;
  else
    bits &= ~bit;
  return ioctl(fd, TIOCMSET, &bits) != -1;
}

bool rs232::cts() { return modem_status(TIOCM_CTS, "cts"); }
bool rs232::dsr() { return modem_status(TIOCM_DSR, "dsr"); }
bool rs232::cd() { return modem_status(TIOCM_CAR, "cd"); }
bool rs232::ri() { return modem_status(TIOCM_RNG, "ri"); }

bool rs232::modem_status(int bit, const char* query) {
  int bits = 0;
  if (ioctl(fd, TIOCMGET, &bits) == -1) {
    fprintf(stderr, "rs232::%s: error ioctl\n", query);
    return false;
  }
  return (bits & bit) != 0;
}

int rs232::write_byte(char byte) {
  if (fd <= 0) return -1;
  return static_cast<int>(::write(fd, &byte, 1));
}

int rs232::write_buffer(const char* data, int length) {
  if (fd <= 0 || length < -1) return -1;
  size_t size = length == -1 ? strlen(data) : static_cast<size_t>(length);
  int written = static_cast<int>(::write(fd, data, size));
  tcdrain(fd);
  return written;
}

char rs232::read_byte() {
  char byte = 0;
  if (fd <= 0 || ::read(fd, &byte, 1) != 1) return 0;
  return byte;
}

int rs232::read_buffer(char* buffer, int size) {
  if (fd <= 0) return -1;
  return static_cast<int>(::read(fd, buffer, size < 0 ? 0 : size));
}

void rs232::flush() {
  if (fd > 0) tcflush(fd, TCIOFLUSH);
}

namespace {

// The process's SIGIO action, with an empty mask and no flags. Without
// SA_RESTART a blocking read that the signal interrupts fails with EINTR
// instead of waiting on.
bool set_sigio_action(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(SIGIO, &action, nullptr) == 0;
}

}  // namespace

bool rs232::enable_sigio(void (*handler)(int)) {
  if (fd <= 0) return false;
  async_handler = handler;
  if (!set_sigio_action(handler)) return false;
  fcntl(fd, F_SETOWN, getpid());
  // Replaces the status flags: O_ASYNC on, O_NONBLOCK and O_APPEND off.
  fcntl(fd, F_SETFL, O_ASYNC);
  return true;
}

bool rs232::ignore_sigio() { return set_sigio_action(SIG_IGN); }

namespace {

using wait_clock = std::chrono::steady_clock;

// Sleeps until input is pending on `fd` or `deadline` has come. With `fd`
// of -1 it only sleeps.
void sleep_for_input(int fd, wait_clock::time_point deadline) {
  wait_clock::duration left = deadline - wait_clock::now();
  if (left <= wait_clock::duration::zero()) return;
  // Rounded up: waking early would only cost another empty read.
  long long ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  int timeout = static_cast<int>(std::min<long long>(ms, INT_MAX));
  pollfd line = {fd, POLLIN, 0};
  int ready = poll(&line, fd >= 0 ? 1 : 0, timeout);
  // A hung-up line stays "ready" without ever giving a byte; pause rather
  // than spin on it.
  if (ready > 0 && (line.revents & POLLIN) == 0)
    poll(nullptr, 0, std::min(timeout, 100));
}

}  // namespace

bool rs232::wait_for(const char* pattern, int seconds, char* received,
                     int* count) {
  constexpr int kCapacity = 1024;
  const wait_clock::time_point start = wait_clock::now();
  const wait_clock::time_point deadline = start + std::chrono::seconds(seconds);
  char buffer[kCapacity + 1];
  int n = 0;
  buffer[0] = '\0';
  for (;;) {
    // The limit is real time in whole seconds, tested before every read.
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        wait_clock::now() - start);
    if (elapsed.count() >= seconds) return false;

    int got = read_buffer(buffer + n, kCapacity - n);
    if (got <= 0) {
      // Sleep instead of spinning; a full buffer or a closed port has
      // nothing to wait for but the limit.
      sleep_for_input(fd > 0 && n < kCapacity ? fd : -1, deadline);
      continue;
    }
    n += got;
    buffer[n] = '\0';
    // A zero byte ends the text searched, as it ends any C string.
    if (strstr(buffer, pattern) == nullptr) continue;
    if (received != nullptr) {
      *count = n;
      memcpy(received, buffer, n);
    }
    return true;
  }
}
