// SPDX-License-Identifier: MIT
// Names for parameterised cases that ctest -R and --gtest_filter accept:
// letters, digits and underscores only.
#ifndef RELKA_TESTS_CASE_NAME_H_
#define RELKA_TESTS_CASE_NAME_H_

#include <gtest/gtest.h>

#include <cctype>
#include <string>

// Letters and digits kept, every run of anything else one underscore.
inline std::string identifier(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c))
      out += static_cast<char>(c);
    else if (out.empty() || out.back() != '_')
      out += '_';
  }
  return out.empty() ? "_" : out;
}

// "12", or "Minus12" for a negative number.
inline std::string number_name(long long value) {
  return value < 0 ? "Minus" + std::to_string(-(value + 1) + 1ULL)
                   : std::to_string(value);
}

// For cases that carry their own name.
struct by_name {
  template <class T>
  std::string operator()(const testing::TestParamInfo<T>& info) const {
    return identifier(info.param.name);
  }
};

// For cases named by what they hold: the index keeps two cases whose text
// reads alike apart.
template <class T>
std::string indexed(const testing::TestParamInfo<T>& info,
                    const std::string& text) {
  return "Case" + std::to_string(info.index) + "_" + identifier(text);
}

#endif  // RELKA_TESTS_CASE_NAME_H_
