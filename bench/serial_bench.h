// The emulated serial line: a RELKA box on the bench without hardware.
//
// A serial_bench is one umockdev testbed. Each line added to it is a device
// node (default /dev/relka) backed by a fresh pseudo-terminal, so open,
// isatty, ttyname, termios and byte I/O are the kernel's own. Pseudo-terminals
// have no modem lines, so the bench answers TIOCMGET/TIOCMSET itself: it keeps
// the modem-control word and records every write with its time, which is the
// waveform a box would see on RTS (data) and DTR (clock). Every other request
// passes through to the pseudo-terminal.
//
// Works only in a process that runs under umockdev's preload (umockdev-wrapper
// or umockdev-run); child processes inherit the testbed.
#ifndef RELKA_BENCH_SERIAL_BENCH_H_
#define RELKA_BENCH_SERIAL_BENCH_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "frame_decoder.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

class modem_line {
 public:
  modem_line(UMockdevTestbed* testbed, std::string path, int word);
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

  std::vector<line_change> changes() const;
  int get_count() const;
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
  int gets_ = 0;
  int opens_ = 0;
  std::vector<line_change> changes_;
};

class serial_bench {
 public:
  serial_bench();
  ~serial_bench();
  serial_bench(const serial_bench&) = delete;
  serial_bench& operator=(const serial_bench&) = delete;

  // True when this process runs under umockdev's preload, without which
  // the testbed's device nodes do not exist.
  static bool available();

  // Adds a device node backed by a new pseudo-terminal. `word` presets the
  // modem-control word. Returns nullptr (with a message on stderr) when the
  // node cannot be made.
  modem_line* add_line(const std::string& path = "/dev/relka", int word = 0);

  // Where the testbed keeps its files (UMOCKDEV_DIR).
  std::string root() const;

 private:
  UMockdevTestbed* testbed_;
  std::vector<std::unique_ptr<modem_line>> lines_;
};

#endif  // RELKA_BENCH_SERIAL_BENCH_H_
