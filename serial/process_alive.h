// SPDX-License-Identifier: MIT
// Whether a process named in a lock or state file still runs.
#ifndef RELKA_SERIAL_PROCESS_ALIVE_H_
#define RELKA_SERIAL_PROCESS_ALIVE_H_

// A process we may not signal (EPERM) is alive all the same; only one that
// no longer exists (ESRCH) is gone.
bool process_alive(int pid);

#endif  // RELKA_SERIAL_PROCESS_ALIVE_H_
