// SPDX-License-Identifier: MIT
// Numbers are taken only as written: each text, the range and form asked
// for, and what is read (or that nothing is).
#include "outlet/exact_number.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct number_case {
  std::string text;
  int high;
  number_form form;
  double read;  // -1: refused
};

TEST(exact_number_test, ReadsOnlyWhatIsWritten) {
  const number_form dec = number_form::decimal;
  const number_form hex = number_form::decimal_or_hex;
  const number_case cases[] = {
      {"3", 8, dec, 3},
      {"03", 8, dec, 3},
      {"0x7f", 127, hex, 127},
      {"0X0a", 127, hex, 10},
      {"4294967299", 8, dec, -1},
      {"9223372036854775811", 8, dec, -1},
      {"18446744073709551619", 8, dec, -1},
      {"99999999999999999999999", 8, dec, -1},
      {"-5", 8, dec, -1},
      {"+5", 8, dec, -1},
      {" 5", 8, dec, -1},
      {"5 ", 8, dec, -1},
      {"0x5", 8, dec, -1},
      {"0x+7f", 127, hex, -1},
      {"0x-0", 127, hex, -1},
      {"0x", 127, hex, -1},
      {"", 8, dec, -1},
      {"3.0", 8, dec, -1},
      {"0", 8, dec, -1},  // below 1
  };
  for (const number_case& c : cases) {
    int value = -1;
    bool ok = read_whole(c.text, 1, c.high, &value, c.form);
    EXPECT_EQ(c.read, ok ? value : -1) << "'" << c.text << "'";
  }
  const std::pair<std::string, double> seconds[] = {
      {"2", 2},        {"0.5", 0.5},  {".5", 0.5}, {"5.", 5},  {"86400", 86400},
      {"86400.5", -1}, {"0x10", -1},  {"1e1", -1}, {" 1", -1}, {"-0", -1},
      {"inf", -1},     {"1.2.3", -1}, {".", -1},   {"", -1}};
  for (const auto& [text, read] : seconds) {
    double value = -1;
    bool ok = read_seconds(text, 86400, &value);
    EXPECT_EQ(read, ok ? value : -1) << "'" << text << "'";
  }
}

}  // namespace
