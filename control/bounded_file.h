// SPDX-License-Identifier: MIT
// A whole file read as a regular file only and to a bound: a FIFO or a
// device named by mistake must not hang or flood the reader. The lab file
// and relkad's users file are read so; each says in its own words what a
// file too large (or open to others) is.
#ifndef RELKA_CONTROL_BOUNDED_FILE_H_
#define RELKA_CONTROL_BOUNDED_FILE_H_

#include <stddef.h>
#include <sys/types.h>

#include <string>

enum class bounded_read {
  done,
  failed,     // `why`: the system's reason, or "not a regular file"
  too_large,  // more than `limit` bytes
  forbidden,  // its mode has a bit of `forbidden`; nothing was read
};

// All of `path` into `text`, at most `limit` bytes.
bounded_read read_bounded_text(const std::string& path, size_t limit,
                               std::string* text, std::string* why,
                               mode_t forbidden = 0);

#endif  // RELKA_CONTROL_BOUNDED_FILE_H_
