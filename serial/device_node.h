// SPDX-License-Identifier: MIT
// Where a device path leads, found without opening it: opening a serial
// port raises DTR and RTS, so a port is named (for its lock file, for the
// adapter behind it) before anyone opens it.
#ifndef RELKA_SERIAL_DEVICE_NODE_H_
#define RELKA_SERIAL_DEVICE_NODE_H_

#include <stddef.h>
#include <sys/stat.h>

// Follows `path`'s symbolic links one at a time (readlink, then lstat of
// the node they end on; at most 8 hops), or asks realpath when the walk
// cannot finish. True when the path leads to a character device: `out`
// then holds the path of that node (its last entry is the name ttyname
// gives once the device is open) and `node` its lstat.
bool find_device_node(const char* path, char* out, size_t size,
                      struct stat* node);

#endif  // RELKA_SERIAL_DEVICE_NODE_H_
