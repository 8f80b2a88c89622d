// SPDX-License-Identifier: MIT
#include "sim/serial_bench.h"

#include <stdio.h>
#include <umockdev.h>

#include <utility>

#include "sim/preload.h"

serial_bench::serial_bench() : testbed_(umockdev_testbed_new()) {}

serial_bench::~serial_bench() {
  lines_.clear();  // detach before the testbed goes
  g_object_unref(testbed_);
}

bool serial_bench::available() { return under_umockdev_preload(); }

modem_line* serial_bench::add_line(const std::string& path, int word) {
  const std::string prefix = "/dev/";
  if (path.compare(0, prefix.size(), prefix) != 0) {
    fprintf(stderr, "relka-sim: %s is not under /dev\n", path.c_str());
    return nullptr;
  }
  std::string node = path.substr(prefix.size());
  // Each node needs its own device number; ttyS numbers keep them apart.
  int minor = 64 + static_cast<int>(lines_.size());
  std::string description = "P: /devices/relka-sim/" + node + "\nN: " + node +
                            "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + path +
                            "\nA: dev=4:" + std::to_string(minor) + "\n";
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, description.c_str(),
                                        &error)) {
    fprintf(stderr, "relka-sim: cannot add %s: %s\n", path.c_str(),
            error->message);
    g_error_free(error);
    return nullptr;
  }
  auto line = std::make_unique<modem_line>(testbed_, path, word);
  if (!line->attach()) return nullptr;
  lines_.push_back(std::move(line));
  return lines_.back().get();
}

std::string serial_bench::root() const {
  gchar* dir = umockdev_testbed_get_root_dir(testbed_);
  std::string root = dir;
  g_free(dir);
  return root;
}
