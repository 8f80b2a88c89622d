// SPDX-License-Identifier: MIT
// The emulated serial line: a RELKA box on the desk without hardware.
//
// A modem_line is one device node of a umockdev testbed, backed by a
// pseudo-terminal. Pseudo-terminals have no modem lines, so the line answers
// TIOCMGET/TIOCMSET itself: it keeps the modem-control word and records every
// write with its time, which is the waveform a box would see on RTS (data)
// and DTR (clock). Every other request passes through to the pseudo-terminal.
// The record is one sequence for all processes that drive the line, so two
// writers that overlap show up as a malformed frame.
//
// Opening and closing move the lines as the kernel's serial core does: every
// open raises DTR and RTS unless the terminal's speed is B0 (non-blocking
// opens too), and the last close drops both when HUPCL is set. A fresh line
// starts with both low. Like a UART driver, the line records such a change
// only when it alters the word. umockdev reports an open on its own thread,
// a moment after it happened (a client's ioctls come after it); the last
// close is seen where the kernel shows it, as a hang-up on the
// pseudo-terminal's far end, which a watcher thread waits for while the
// line is open.
#ifndef RELKA_SIM_MODEM_LINE_H_
#define RELKA_SIM_MODEM_LINE_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <condition_variable>
#include <thread>
#include <vector>

#include "sim/line_change.h"

// umockdev's own type names, declared here so that glib stays out.
// NOLINTBEGIN(bugprone-reserved-identifier)
typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
// NOLINTEND(bugprone-reserved-identifier)

class modem_line {
 public:
  modem_line(UMockdevTestbed* testbed, std::string path, int word);
  // Attaches the ioctl handler to the device node; false, with the reason on
  // standard error, when umockdev refuses. Nothing is emulated before it.
  bool attach();
  ~modem_line();
  modem_line(const modem_line&) = delete;
  modem_line& operator=(const modem_line&) = delete;

  const std::string& path() const { return path_; }

  // The modem-control word as the port last wrote it (or as preset).
  int word() const;
  void set_word(int word);

  // Make requests fail with EIO: TIOCMGET, TIOCMSET, or every request once
  // `writes` writes have gone through (an adapter pulled mid-frame).
  void fail_get(bool fail);
  void fail_set(bool fail);
  void unplug_after(int writes);
  // Slows every write of the modem word by `microseconds`, as a USB adapter
  // would, so that a frame lasts long enough to be caught in the middle.
  void set_delay(int microseconds);

  std::vector<line_change> changes() const;
  int get_count() const;
  // Whether some process has the device node open, as far as the line has
  // seen (opens and the last close are seen a moment late): closed_after
  // waits up to `ms` milliseconds for the line to be closed, and answers
  // whether it is.
  bool is_open() const;
  bool closed_after(int ms) const;
  // How often the device node has been opened. umockdev learns of an open
  // on its own thread, a moment after it happened: open_count_after waits up
  // to `ms` milliseconds for at least `expected` opens, then answers.
  int open_count() const;
  int open_count_after(int expected, int ms) const;
  void clear_record();

  // The far end of the pseudo-terminal: what the port writes can be read
  // here, and what is written here the port reads.
  int far_end() const { return far_end_; }
  // The terminal's own name (/dev/pts/N) and the lock file that names it.
  const std::string& terminal() const { return terminal_; }
  std::string lock_path() const;

 private:
  static int on_ioctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client,
                      void* self);
  static void on_connect(UMockdevIoctlBase* handler,
                         UMockdevIoctlClient* client, void* self);
  // Waits for the last close while the line is open.
  void watch_closes();
  // The driver's own change of DTR and RTS at an open or the last close;
  // called with mutex_ held.
  void driver_sets_lines(bool up, line_change::cause_kind cause);
  bool handle(UMockdevIoctlClient* client);

  UMockdevTestbed* testbed_;
  UMockdevIoctlBase* handler_;
  std::string path_;
  std::string terminal_;
  int far_end_;

  // The handler runs on umockdev's worker thread.
  mutable std::mutex mutex_;
  int word_;
  bool fail_get_ = false;
  bool fail_set_ = false;
  int writes_left_ = -1;  // -1: never unplugged
  int delay_us_ = 0;
  int gets_ = 0;
  int opens_ = 0;
  bool open_ = false;
  bool stopping_ = false;
  std::condition_variable opened_;
  std::thread watcher_;
  std::vector<line_change> changes_;
  bool attached_ = false;
};

#endif  // RELKA_SIM_MODEM_LINE_H_
