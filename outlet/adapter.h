// SPDX-License-Identifier: MIT
// The adapter behind a device path, named without opening it.
//
// USB serial adapters get their ttyUSB/ttyACM number in plug order, so the
// terminal's name says nothing about which adapter, and which box, is
// behind it after a reboot or a replug. udev names each adapter under
// /dev/serial/by-id from its USB vendor, product and serial number; that
// name is the adapter's identity where there is one, the terminal's own
// name where there is not.
#ifndef RELKA_OUTLET_ADAPTER_H_
#define RELKA_OUTLET_ADAPTER_H_

#include <string>

// Where udev puts the stable names of serial adapters.
constexpr char serial_by_id_dir[] = "/dev/serial/by-id";

struct adapter_name {
  std::string terminal;  // "ttyUSB0"; "" when the path leads to no device
  std::string identity;  // "usb-FTDI_FT232R_A1B2C3D4-if00-port0", or terminal
  bool by_id = false;    // identity is a /dev/serial/by-id name
};

// An unplugged adapter leaves a by-id path that leads nowhere: its identity
// is still the name in the path, and its terminal "".
adapter_name name_adapter(const std::string& device);

// The same for a path that has been opened: where the path could not be
// followed, `terminal` (the open terminal's own name) stands in.
adapter_name name_open_adapter(const std::string& device,
                               const std::string& terminal);

#endif  // RELKA_OUTLET_ADAPTER_H_
