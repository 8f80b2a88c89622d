// SPDX-License-Identifier: MIT
// Text from outside (a client's request, a process name from /proc, a
// path) made safe for where it goes. JSON must be valid UTF-8, or the
// encoder refuses the whole answer; a log line must stay one line that
// says what was sent, not what a client wanted it to look like.
//
// Both walk the text with one UTF-8 reader: a byte that does not begin a
// well-formed sequence (overlong forms, surrogates and code points above
// U+10FFFF are not well formed) is a bad byte on its own, and the next
// byte is read afresh.
#ifndef RELKA_CONTROL_CLEAN_TEXT_H_
#define RELKA_CONTROL_CLEAN_TEXT_H_

#include <string>
#include <string_view>

// `text` with each bad byte replaced by U+FFFD.
std::string valid_utf8(std::string_view text);

// `text` for a log line: control characters (C0, DEL and C1), the
// backslash and bad bytes as \xNN, everything else as it was.
std::string log_text(std::string_view text);

// `text` with the ASCII letters A-Z in lower case, every other byte as it
// was: names, schemes and hex digits compared without case.
std::string lower_case(std::string text);

#endif  // RELKA_CONTROL_CLEAN_TEXT_H_
