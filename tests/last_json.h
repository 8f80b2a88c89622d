// SPDX-License-Identifier: MIT
// The JSON object a program prints as the last line of its standard output
// (relka-sim's report).
#ifndef RELKA_TESTS_LAST_JSON_H_
#define RELKA_TESTS_LAST_JSON_H_

#include <nlohmann/json.hpp>

#include <string>

inline nlohmann::json last_json_line(std::string out) {
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return nlohmann::json::parse(out.substr(out.rfind('\n') + 1));
}

#endif  // RELKA_TESTS_LAST_JSON_H_
