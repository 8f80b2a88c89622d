// SPDX-License-Identifier: MIT
// Compares the levels a line carried with the ones wanted, change by change,
// and names the first change that differs.
#ifndef RELKA_TESTS_FRAME_MATCH_H_
#define RELKA_TESTS_FRAME_MATCH_H_

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "sim/modem_line.h"

using line_levels =
    std::vector<std::pair<bool, bool>>;  // (RTS, DTR) after each change

inline line_levels levels_of(const std::vector<line_change>& changes) {
  line_levels out;
  for (const line_change& c : changes) out.push_back({c.rts(), c.dtr()});
  return out;
}

// The port's own writes, without the driver's changes at open and close.
inline std::vector<line_change> port_writes(
    const std::vector<line_change>& changes) {
  std::vector<line_change> out;
  for (const line_change& c : changes)
    if (c.cause == line_change::port_write) out.push_back(c);
  return out;
}

// A line's changes told briefly: "open 60 writes close" for a switching
// run on a line that starts low; "" when nothing moved.
inline std::string line_story(const std::vector<line_change>& changes) {
  std::string story;
  size_t writes = 0;
  auto flush = [&] {
    if (writes == 0) return;
    story += (story.empty() ? "" : " ") + std::to_string(writes) + " writes";
    writes = 0;
  };
  for (const line_change& c : changes) {
    if (c.cause == line_change::port_write) {
      ++writes;
      continue;
    }
    flush();
    story += (story.empty() ? "" : " ") + std::string(cause_name(c.cause));
  }
  flush();
  return story;
}

inline testing::AssertionResult same_levels(const line_levels& wanted,
                                            const line_levels& seen) {
  for (size_t i = 0; i < wanted.size() && i < seen.size(); ++i) {
    const char* line = nullptr;
    bool want = false, got = false;
    if (wanted[i].first != seen[i].first) {
      line = "RTS";
      want = wanted[i].first;
      got = seen[i].first;
    } else if (wanted[i].second != seen[i].second) {
      line = "DTR";
      want = wanted[i].second;
      got = seen[i].second;
    }
    if (line != nullptr)
      return testing::AssertionFailure()
             << "change " << i << " differs: " << line << " wanted " << want
             << ", seen " << got;
  }
  if (wanted.size() != seen.size())
    return testing::AssertionFailure()
           << wanted.size() << " changes wanted, " << seen.size()
           << " seen; the first " << std::min(wanted.size(), seen.size())
           << " agree";
  return testing::AssertionSuccess();
}

#endif  // RELKA_TESTS_FRAME_MATCH_H_
