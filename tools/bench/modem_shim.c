// SPDX-License-Identifier: MIT
/* LD_PRELOAD shim: answers TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on any
 * terminal in-process from one remembered modem word, so that a frame on a
 * pseudo-terminal (which has no modem lines) costs only its calls. Every
 * other request goes to the kernel. It counts the writes and, when
 * RELKA_BENCH_COUNT names a file, a process that made any appends their
 * count there at exit.
 *
 * With RELKA_BENCH_CHANGE_US set, every write takes that many microseconds,
 * as a line change does on a real adapter (a USB adapter's control
 * transfer: about 2000). Each thread's writes are taken 60 to a frame, and
 * when RELKA_BENCH_FRAMES names a file, the process appends there at exit
 * each frame's time on the line (first change to last) in seconds, one a
 * line (the first 65536 frames). */
#define _GNU_SOURCE
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int modem_word;
static int writes;
static long change_us = -1;  /* -1: not read yet */
#define KEPT_FRAMES 65536
static long long frame_ns[KEPT_FRAMES];
static int frames;
static __thread int frame_writes;
static __thread long long frame_begun;

static long long now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* One line change: its time on the line, and the frame's bookkeeping. */
static void line_change(void) {
  __atomic_fetch_add(&writes, 1, __ATOMIC_RELAXED);
  if (change_us < 0) {
    const char* asked = getenv("RELKA_BENCH_CHANGE_US");
    change_us = asked != NULL ? atol(asked) : 0;
  }
  if (frame_writes == 0) frame_begun = now_ns();
  if (change_us > 0) {
    struct timespec pause = {change_us / 1000000, change_us % 1000000 * 1000};
    while (nanosleep(&pause, &pause) != 0) {
    }
  }
  if (++frame_writes == 60) {
    frame_writes = 0;
    int at = __atomic_fetch_add(&frames, 1, __ATOMIC_RELAXED);
    if (at < KEPT_FRAMES) frame_ns[at] = now_ns() - frame_begun;
  }
}

static FILE* open_report(const char* variable) {
  const char* path = getenv(variable);
  return path == NULL || *path == '\0' ? NULL : fopen(path, "a");
}

static void report(void) __attribute__((destructor));
static void report(void) {
  if (writes == 0) return;
  FILE* out = open_report("RELKA_BENCH_COUNT");
  if (out != NULL) {
    fprintf(out, "%d\n", writes);
    fclose(out);
  }
  out = open_report("RELKA_BENCH_FRAMES");
  if (out == NULL) return;
  for (int i = 0; i < frames && i < KEPT_FRAMES; ++i)
    fprintf(out, "%.9f\n", frame_ns[i] / 1e9);
  fclose(out);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int* word = (int*)arg;
  switch (request) {
    case TIOCMGET: *word = modem_word; return 0;
    case TIOCMSET: modem_word = *word; line_change(); return 0;
    case TIOCMBIS: modem_word |= *word; line_change(); return 0;
    case TIOCMBIC: modem_word &= ~*word; line_change(); return 0;
    default: return (int)syscall(SYS_ioctl, fd, request, arg);
  }
}
