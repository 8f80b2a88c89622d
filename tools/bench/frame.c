/* The bare switching frame: open the line, 60 read-modify-writes of the
 * modem-control word (RTS data, DTR clock) with the same 24 pauses as
 * relka's frame, close. What relka costs beyond this is its own overhead.
 *
 *   frame LINE [ADDRESS MASK]      (defaults: 2 5)
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
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
  if (fd < 0) {
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
  close(fd);
  return 0;
}
