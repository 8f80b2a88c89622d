// SPDX-License-Identifier: MIT
// Whether this process runs inside umockdev's preload library, and where
// that library is. The testbed's device nodes exist only under it.
#ifndef RELKA_SIM_PRELOAD_H_
#define RELKA_SIM_PRELOAD_H_

#include <string>

// The preload library's file name, as umockdev installs it.
extern const char umockdev_preload_name[];

// True when the ioctl that every call reaches is the preload library's own:
// that, not what LD_PRELOAD says, is what makes the testbed work.
bool under_umockdev_preload();

// The preload library beside libumockdev, or "" when it is not there.
std::string umockdev_preload_library();

#endif  // RELKA_SIM_PRELOAD_H_
