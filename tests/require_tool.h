// SPDX-License-Identifier: MIT
// A test that needs an outside tool (sigrok-cli, pdudaemon, labgrid) skips
// with a message where the tool is missing, and fails instead where the
// environment variable RELKA_REQUIRE names it (CI sets it, so that a
// missing install cannot pass as a skip).
#ifndef RELKA_TESTS_REQUIRE_TOOL_H_
#define RELKA_TESTS_REQUIRE_TOOL_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <string>

inline bool tool_required(const std::string& tool) {
  const char* list = getenv("RELKA_REQUIRE");
  std::istringstream words(list != nullptr ? list : "");
  std::string word;
  while (words >> word)
    if (word == tool || word == "all") return true;
  return false;
}

// Use at the top of a test body: `present` says whether `tool` is there.
#define REQUIRE_TOOL(present, tool)                                            \
  do {                                                                         \
    if (!(present)) {                                                          \
      if (tool_required(tool)) FAIL() << (tool) << " is required but missing"; \
      GTEST_SKIP() << (tool) << " is not installed";                           \
    }                                                                          \
  } while (0)

#endif  // RELKA_TESTS_REQUIRE_TOOL_H_
