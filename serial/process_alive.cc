// SPDX-License-Identifier: MIT
#include "serial/process_alive.h"

#include <errno.h>
#include <signal.h>

bool process_alive(int pid) { return kill(pid, 0) == 0 || errno != ESRCH; }
