// SPDX-License-Identifier: MIT
#include "outlet/exact_number.h"

#include <stdlib.h>

#include <string>

namespace {

int digit_value(char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (base == 16 && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool read_whole(std::string_view text, uint64_t low, uint64_t high,
                uint64_t* value, number_form form) {
  unsigned base = 10;
  if (form == number_form::decimal_or_hex && text.size() > 2 &&
      text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t number = 0;
  for (char c : text) {
    int d = digit_value(c, base);
    if (d < 0) return false;
    // Past `high` already: no further digit brings it back.
    auto digit = static_cast<uint64_t>(d);
    if (digit > high || number > (high - digit) / base) return false;
    number = number * base + digit;
  }
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

bool read_whole(std::string_view text, int low, int high, int* value,
                number_form form) {
  uint64_t number = 0;
  if (low < 0 || high < low ||
      !read_whole(text, static_cast<uint64_t>(low), static_cast<uint64_t>(high),
                  &number, form))
    return false;
  *value = static_cast<int>(number);
  return true;
}

bool read_seconds(std::string_view text, double high, double* value) {
  size_t digits = 0, points = 0;
  for (char c : text) {
    if (c == '.')
      ++points;
    else if (c >= '0' && c <= '9')
      ++digits;
    else
      return false;
  }
  if (digits == 0 || points > 1 || digits > 32) return false;
  // Only digits and one point are left: strtod reads them all, in any
  // locale this process keeps (the C one; a ',' locale is never set).
  double seconds = strtod(std::string(text).c_str(), nullptr);
  if (!(seconds >= 0) || seconds > high) return false;
  *value = seconds;
  return true;
}
