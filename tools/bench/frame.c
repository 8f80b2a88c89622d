// SPDX-License-Identifier: MIT
/* The bare switching frame: open the line, 60 read-modify-writes of the
 * modem-control word (RTS data, DTR clock) with the same 24 pauses as
 * relka's frame, close. What relka costs beyond this is its own overhead.
 *
 * Built with -DLOCKED it is the locked frame: the same frame inside the
 * least that any holder keeping the UUCP lock file and putting the line's
 * settings back must do (flock, lock file created with the pid and removed,
 * settings read, made raw and restored), so that what relka costs beyond
 * the lock itself can be told apart. It names the lock after the path's
 * last component: the bench hands it the terminal's own path.
 *
 *   frame LINE [ADDRESS MASK]      (defaults: 2 5)
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static int fd;

static void line_bit(int bit, int on) {
  int bits = 0;
  ioctl(fd, TIOCMGET, &bits);
  if (on)
    bits |= bit;
  else
    bits &= ~bit;
  ioctl(fd, TIOCMSET, &bits);
}

static void data(int on) { line_bit(TIOCM_RTS, on); }
static void clock_line(int on) { line_bit(TIOCM_DTR, on); }
static void pause_line(void) { usleep(1); }

static void pulse(void) {
  clock_line(1);
  pause_line();
  clock_line(0);
}

#ifdef LOCKED
static char lock_path[320];
static struct termios saved;

static int take_line(const char* line) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return -1;
  const char* slash = strrchr(line, '/');
  snprintf(lock_path, sizeof lock_path, "/var/lock/LCK..%s",
           slash ? slash + 1 : line);
  int lock = open(lock_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (lock < 0) return -1;
  char text[16];
  int length = snprintf(text, sizeof text, "%10d\n", (int)getpid());
  struct stat st;
  if (write(lock, text, (size_t)length) != length || fstat(lock, &st) != 0) {
    close(lock);
    unlink(lock_path);
    return -1;
  }
  close(lock);
  struct termios raw;
  tcgetattr(fd, &saved);
  raw = saved;
  cfmakeraw(&raw);
  tcsetattr(fd, TCSADRAIN, &raw);
  return 0;
}

static void release_line(void) {
  tcsetattr(fd, TCSANOW, &saved);
  close(fd);
  struct stat st;
  if (lstat(lock_path, &st) == 0) unlink(lock_path);
}
#else
static int take_line(const char* line) {
  (void)line;
  return 0;
}
static void release_line(void) { close(fd); }
#endif

static void bits(unsigned value, int top) {
  for (int i = top; i >= 0; --i) {
    data((value >> i) & 1u);
    pulse();
  }
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: frame LINE [ADDRESS MASK]\n");
    return 2;
  }
  unsigned address = argc > 2 ? (unsigned)atoi(argv[2]) : 2u;
  unsigned mask = argc > 3 ? (unsigned)atoi(argv[3]) : 5u;
  fd = open(argv[1], O_RDWR | O_NONBLOCK);
  if (fd < 0 || take_line(argv[1]) != 0) {
    perror(argv[1]);
    return 255;
  }
  /* start: data falls while the clock is high */
  data(1);
  clock_line(1);
  pause_line();
  data(0);
  pause_line();
  clock_line(0);
  pause_line();
  bits((address + 32u) & 0x7fu, 6);
  data(0); /* write */
  pulse();
  pulse(); /* acknowledge slot */
  bits(mask & 0xffu, 7);
  pulse(); /* acknowledge slot */
  /* stop: data rises while the clock is high */
  data(0);
  clock_line(1);
  pause_line();
  data(1);
  pause_line();
  clock_line(0);
  pause_line();
  release_line();
  return 0;
}
