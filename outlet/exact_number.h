// SPDX-License-Identifier: MIT
// Numbers read exactly as written. A number that names an outlet, a box or
// a pause is taken only when the whole text is one, in the form asked for
// and in range: no sign, no spaces, no exponent, no wrap-around (a value
// past the range stops the reading, it never comes round to a small one).
// Text a hostile client or a slip of the keyboard sends must never become
// another outlet.
#ifndef RELKA_OUTLET_EXACT_NUMBER_H_
#define RELKA_OUTLET_EXACT_NUMBER_H_

#include <stdint.h>

#include <string_view>

enum class number_form {
  decimal,        // digits; a leading 0 is still decimal
  decimal_or_hex  // also 0x or 0X and hex digits
};

// A whole number from `low` to `high` (both at least 0), all of `text`.
bool read_whole(std::string_view text, uint64_t low, uint64_t high,
                uint64_t* value, number_form form = number_form::decimal);

// The same, into an int (`high` at most INT_MAX).
bool read_whole(std::string_view text, int low, int high, int* value,
                number_form form = number_form::decimal);

// Seconds from 0 to `high`: digits with at most one '.' ("2", "0.5",
// ".5", "5."), all of `text`.
bool read_seconds(std::string_view text, double high, double* value);

#endif  // RELKA_OUTLET_EXACT_NUMBER_H_
