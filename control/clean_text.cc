// SPDX-License-Identifier: MIT
#include "control/clean_text.h"

#include <stdio.h>

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0 when the byte
// there is a bad one (RFC 3629's table of well-formed byte sequences).
size_t sequence_at(std::string_view text, size_t at) {
  auto byte = [&](size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  unsigned first = byte(0);
  if (first < 0x80) return 1;
  size_t length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : 2;
  unsigned low = 0x80, high = 0xbf;  // the second byte's range
  if (first < 0xc2 || first > 0xf4) return 0;
  if (first == 0xe0) low = 0xa0;
  if (first == 0xed) high = 0x9f;
  if (first == 0xf0) low = 0x90;
  if (first == 0xf4) high = 0x8f;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
  return length;
}

// Calls `good(sequence)` for each well-formed sequence of `text` and
// `bad(byte)` for each bad byte, in order.
template <class Good, class Bad>
void walk_utf8(std::string_view text, Good good, Bad bad) {
  for (size_t at = 0; at < text.size();) {
    size_t length = sequence_at(text, at);
    if (length == 0) {
      bad(static_cast<unsigned char>(text[at]));
      ++at;
      continue;
    }
    good(text.substr(at, length));
    at += length;
  }
}

void append_hex(std::string* out, unsigned byte) {
  char escaped[8];
  snprintf(escaped, sizeof escaped, "\\x%02x", byte);
  out->append(escaped);
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  walk_utf8(
      text, [&](std::string_view s) { out.append(s); },
      [&](unsigned) { out.append("\xef\xbf\xbd"); });
  return out;
}

std::string log_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  walk_utf8(
      text,
      [&](std::string_view s) {
        unsigned c = static_cast<unsigned char>(s[0]);
        bool control = s.size() == 1
                           ? c < 0x20 || c == 0x7f || c == '\\'
                           : c == 0xc2 && (static_cast<unsigned char>(s[1]) &
                                           0xe0) == 0x80;
        if (!control) {
          out.append(s);
          return;
        }
        for (char b : s) append_hex(&out, static_cast<unsigned char>(b));
      },
      [&](unsigned byte) { append_hex(&out, byte); });
  return out;
}

std::string lower_case(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}
