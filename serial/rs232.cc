// SPDX-License-Identifier: MIT
#include "serial/rs232.h"

#include "serial/device_node.h"
#include "serial/process_alive.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
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
// such a descriptor is moved up (a copy shares the open file, so a terminal
// is not hung up by closing 0 again). -1 on failure, errno kept.
int open_above_zero(const char* path, int flags, mode_t mode = 0) {
  int fd = ::open(path, flags, mode);
  if (fd != 0) return fd;
  int moved = fcntl(fd, (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 1);
  int error = errno;
  ::close(fd);
  errno = error;
  return moved;
}

// What a look at the lock path found.
struct lock_probe {
  enum kind { none, regular, not_regular, unreadable } what = none;
  int pid = 0;    // the owner it names; text that is no number reads as 0
  dev_t dev = 0;  // the file that was read, to recognise it again
  ino_t ino = 0;
};

// The lock path is in a folder any local user may write to, so whatever is
// there is only ever read as a regular file: no symbolic link is followed,
// a FIFO cannot block the open, and a device is not opened as our terminal.
lock_probe probe_lock_file(const char* path) {
  lock_probe probe;
  int fd = open_above_zero(
      path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd <= 0) {
    if (errno == ENOENT)
      probe.what = lock_probe::none;
    else if (errno == ELOOP)
      probe.what = lock_probe::not_regular;
    else
      probe.what = lock_probe::unreadable;
    return probe;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    probe.what = lock_probe::not_regular;
    return probe;
  }
  char text[21];
  ssize_t n = ::read(fd, text, 20);
  text[n > 0 ? n : 0] = '\0';
  ::close(fd);
  probe.what = lock_probe::regular;
  probe.pid = static_cast<int>(strtol(text, nullptr, 10));
  probe.dev = st.st_dev;
  probe.ino = st.st_ino;
  return probe;
}

// True when `path` still names the file described by (dev, ino).
bool same_file(const char* path, dev_t dev, ino_t ino) {
  struct stat st {};
  return lstat(path, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

int create_lock_file(const char* path) {
  return open_above_zero(
      path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
      0644);
}

// A caller may hold ending signals back while it holds the line; a wait
// for the line holds nothing, so Ctrl-C or SIGTERM then end it at once.
void sleep_letting_signals_through(int ms) {
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigdelset(&mask, sig);
  timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  ppoll(nullptr, 0, &pause, &mask);
}

// The file a taker holds the flock of still names a dead process. The
// inode alone does not say it is the file that was probed: once removed,
// its inode number may come straight back for the lock file a faster taker
// has just made (empty for a moment, which reads as process 0, alive).
bool still_stale(int fd) {
  char text[21];
  ssize_t n = pread(fd, text, 20, 0);
  text[n > 0 ? n : 0] = '\0';
  return !process_alive(static_cast<int>(strtol(text, nullptr, 10)));
}

// Removes the stale lock file `probe` read, holding that file's flock so
// that no other taker removes it, or the fresh one made in its place, at
// the same time. False when someone else is at it or the path no longer
// names that file: the caller probes again.
bool remove_stale_lock(const char* path, const lock_probe& probe) {
  int fd = open_above_zero(
      path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd <= 0) return false;
  struct stat st {};
  bool removed = false;
  if (fstat(fd, &st) == 0 && st.st_dev == probe.dev &&
      st.st_ino == probe.ino && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      same_file(path, probe.dev, probe.ino) && still_stale(fd))
    removed = unlink(path) == 0;
  ::close(fd);  // drops the flock
  if (!removed) sleep_letting_signals_through(1);
  return removed;
}

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
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
      lock_held(false),
      lock_dev(0),
      lock_ino(0),
      busy(false),
      holder(0),
      open_error(0),
      wait_ms(0) {}

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
  busy = false;
  holder = 0;
  open_error = 0;

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

  // Opening a terminal raises DTR and RTS, in the middle of whatever frame
  // its holder is sending: the lock comes first, and a held device is
  // refused or waited for without ever being opened.
  const long long deadline = now_ms() + wait_ms;
  const bool quiet = wait_ms > 0;
  for (;;) {
    claim_outcome outcome = claim(quiet);
    if (outcome != claim_busy) return outcome == claim_taken;
    if (now_ms() >= deadline) return false;
    sleep_letting_signals_through(
        static_cast<int>(std::min<long long>(20, deadline - now_ms())));
  }
}

// One try: the lock file, then the device, then its flock (which keeps
// picocom, tio and pyserial's exclusive ports off, and them off us). A
// path that leads to no character device cannot be a terminal and needs no
// lock: its open fails, or it is refused as "not a tty device".
rs232::claim_outcome rs232::claim(bool quiet) {
  busy = false;
  struct stat node {};
  char terminal[PATH_MAX];
  const bool named = find_device_node(device, terminal, sizeof terminal, &node);
  if (named) {
    if (!make_lock_name(terminal)) return claim_failed;
    if (!lock(quiet)) {
      if (!busy) return claim_failed;
      if (!quiet) unllock();  // says whose lock file it is
      return claim_busy;
    }
  }

  fd = open_above_zero(device, O_RDWR | O_APPEND | O_NONBLOCK);
  if (fd <= 0) {
    open_error = errno;
    fd = 0;
    unllock();
    fprintf(stderr, "rs232::open: cannot open device [%s]\n", device);
    return claim_failed;
  }
  if (!isatty(fd)) {
    open_error = ENOTTY;
    abandon_open();
    fprintf(stderr, "rs232::open: requested device [%s] is not a tty device.\n",
            device);
    return claim_failed;
  }
  // The lock must name the terminal that was opened: a link changed in
  // between, or a path that could not be followed, would leave this one
  // unlocked.
  struct stat opened {};
  if (!named || fstat(fd, &opened) != 0 || opened.st_dev != node.st_dev ||
      opened.st_ino != node.st_ino) {
    abandon_open();
    fprintf(stderr,
            named ? "rs232::open: device [%s] changed while it was locked\n"
                  : "rs232::lock: cannot get terminal name of device [%s]\n",
            device);
    return claim_failed;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    abandon_open();
    if (error != EWOULDBLOCK) {
      fprintf(stderr, "rs232::open: cannot lock device [%s]: %s\n", device,
              strerror(error));
      return claim_failed;
    }
    busy = true;
    if (!quiet)
      fprintf(stderr, "rs232::open: device [%s] is in use by another program\n",
              device);
    return claim_busy;
  }
  tcgetattr(fd, &saved_settings);
  apply_settings();
  return claim_taken;
}

void rs232::set_wait(int milliseconds) {
  wait_ms = milliseconds > 0 ? milliseconds : 0;
}

// Undoes a half-done open: nothing was read from the line, so nothing is
// put back. Closing the descriptor drops its flock.
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

// lock_file from the terminal's own name, the last entry of the path its
// links lead to: a device reached through a symbolic link is locked under
// the name every other program uses.
bool rs232::make_lock_name(const char* terminal) {
  lock_file[0] = '\0';
  const char* slash = strrchr(terminal, '/');
  if (slash == nullptr || slash[1] == '\0') {
    fprintf(stderr, "rs232::lock: cannot generate lock file name [%s]\n",
            slash ? slash : terminal);
    return false;
  }
  if (sizeof uucp_lock_prefix - 1 + strlen(slash + 1) >= sizeof lock_file) {
    fprintf(stderr, "rs232::lock: lock file name too long [%s]\n", slash + 1);
    return false;
  }
  snprintf(lock_file, sizeof lock_file, "%s%s", uucp_lock_prefix, slash + 1);
  return true;
}

bool rs232::lock() { return lock_file[0] != '\0' && lock(false); }

// Probe, take over if stale, create. The device is not open yet, so its
// flock cannot keep two of us apart; the stale file's own flock does: only
// the one that holds it removes that file, and only while the path still
// names it. Whoever comes second finds the path changed and probes again,
// and a creation that finds a new file in place (EEXIST) probes again too.
bool rs232::lock(bool quiet) {
  bool stale = false;
  for (int look = 0; look < 100; ++look) {
    lock_probe probe = probe_lock_file(lock_file);
    if (probe.what == lock_probe::not_regular) {
      fprintf(stderr, "rs232::lock: lock file [%s] is not a regular file\n",
              lock_file);
      return false;
    }
    if (probe.what == lock_probe::regular) {
      if (process_alive(probe.pid)) {
        busy = true;
        holder = probe.pid;
        if (!quiet)
          fprintf(stderr,
                  "rs232::lock: device [%s] used by another process [%i]\n",
                  device, probe.pid);
        return false;
      }
      if (!remove_stale_lock(lock_file, probe)) continue;
      stale = true;
    }
    switch (create_lock(stale)) {
      case lock_made: return true;
      case lock_taken_meanwhile: continue;
      case lock_impossible: return false;
    }
  }
  fprintf(stderr, "rs232::lock: lock file [%s] keeps changing\n", lock_file);
  return false;
}

// Creates the lock file and writes our pid in one checked write; a lock
// file that does not name us would be read by everyone after us as
// "process 0" and never be taken over.
rs232::lock_creation rs232::create_lock(bool stale) {
  int lock_fd = create_lock_file(lock_file);
  if (lock_fd <= 0) {
    if (errno == EEXIST) return lock_taken_meanwhile;
    fprintf(stderr,
            stale ? "rs232::lock: unable to create lock file [%s]\n"
                  : "rs232::lock: cannot create lock file [%s]\n",
            lock_file);
    return lock_impossible;
  }
  char text[32];
  int length =
      snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  ssize_t written = ::write(lock_fd, text, static_cast<size_t>(length));
  int write_error = errno;
  struct stat st {};
  bool known = fstat(lock_fd, &st) == 0;
  ::close(lock_fd);
  if (written != length || !known) {
    unlink(lock_file);
    fprintf(stderr, "rs232::lock: cannot write lock file [%s]: %s\n", lock_file,
            written < 0 ? strerror(write_error) : "short write");
    return lock_impossible;
  }
  lock_dev = st.st_dev;
  lock_ino = st.st_ino;
  lock_held = true;
  return lock_made;
}

void rs232::unllock() {
  bool mine = lock_held;
  lock_held = false;
  lock_probe probe = probe_lock_file(lock_file);
  if (probe.what != lock_probe::regular) return;
  if (probe.pid == getpid()) {
    // Only the file we made: not one another object of ours made, nor one
    // put in its place.
    if (mine && probe.dev == lock_dev && probe.ino == lock_ino &&
        same_file(lock_file, lock_dev, lock_ino))
      unlink(lock_file);
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

bool rs232::read_modem_word(int* word) {
  return ioctl(fd, TIOCMGET, word) != -1;
}

bool rs232::write_modem_word(int word) {
  return ioctl(fd, TIOCMSET, &word) != -1;
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
