#ifndef RELKA_FRONT_RELKA_MAIN_H_
#define RELKA_FRONT_RELKA_MAIN_H_

// The whole run: parse, print, open, switch, close. Returns the exit status:
// 0, 1 when the outlets could not be switched on an open device, -1 (255)
// when the device cannot be opened.
int relka_main(int argc, const char* const* argv);

#endif  // RELKA_FRONT_RELKA_MAIN_H_
