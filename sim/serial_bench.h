// SPDX-License-Identifier: MIT
// The virtual box's test bed: one umockdev testbed holding emulated lines.
//
// Each line added to it is a device node (default /dev/relka) backed by a
// fresh pseudo-terminal, so open, isatty, ttyname, termios, flock and byte
// I/O are the kernel's own; modem_line keeps the modem-control word that a
// pseudo-terminal lacks.
//
// Works only in a process that runs under umockdev's preload (umockdev-wrapper
// or umockdev-run, see sim/preload.h); child processes inherit the testbed.
#ifndef RELKA_SIM_SERIAL_BENCH_H_
#define RELKA_SIM_SERIAL_BENCH_H_

#include <memory>
#include <string>
#include <vector>

#include "outlet/outlet_switch.h"
#include "sim/modem_line.h"

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
  modem_line* add_line(const std::string& path = default_device, int word = 0);

  // Where the testbed keeps its files (UMOCKDEV_DIR).
  std::string root() const;

 private:
  UMockdevTestbed* testbed_;
  std::vector<std::unique_ptr<modem_line>> lines_;
};

#endif  // RELKA_SIM_SERIAL_BENCH_H_
