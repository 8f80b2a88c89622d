// SPDX-License-Identifier: MIT
// Records every tcsetattr of this process. A pseudo-terminal keeps only part
// of what it is given (it forces CS8 and drops parity), so the settings a
// real UART would get are read here, at the request.
#ifndef RELKA_TESTS_TERMIOS_SPY_H_
#define RELKA_TESTS_TERMIOS_SPY_H_

#include <termios.h>

#include <vector>

struct termios_request {
  int fd;
  int action;  // TCSANOW, TCSADRAIN or TCSAFLUSH
  termios settings;
};

// Requests since the last clear, oldest first.
std::vector<termios_request> termios_requests();
void clear_termios_requests();

#endif  // RELKA_TESTS_TERMIOS_SPY_H_
