// SPDX-License-Identifier: MIT
// relkactl: single outlets of a RELKA box, with the state remembered; a
// command line over the switching core (control/switch_core.h), whose
// statuses (switch_status) are its exit statuses.
//
// The box cannot be read back, so relkactl keeps the mask it last sent to
// each box (outlet/outlet_state.h) and changes only the outlets it is asked
// to. Reading the state, sending the frame and writing the new state happen
// while the device is held (lock file and flock, through the same rs232 and
// outlet_switch as relka), so that two runs for two outlets of one box never
// lose each other's change. A busy device is waited for (--wait); ending
// signals are held back only while the line is held, so Ctrl-C during a
// wait ends the run at once and sends nothing.
#ifndef RELKA_CTL_CTL_MAIN_H_
#define RELKA_CTL_CTL_MAIN_H_

int relkactl_main(int argc, char** argv);

#endif  // RELKA_CTL_CTL_MAIN_H_
