// SPDX-License-Identifier: MIT
// Response files: "@path" as the first argument takes the arguments from the
// lines of that file that begin with "-", one argument per line exactly as
// written (spaces kept), line feeds and carriage returns removed.
#ifndef RELKA_FRONT_RESPONSE_FILE_H_
#define RELKA_FRONT_RESPONSE_FILE_H_

#include <string>
#include <vector>

// Removes every occurrence of `c` from the NUL-terminated `text`, in place.
void remove_char(char* text, char c);

class response_file {
 public:
  // Reading stops after this many lines (pieces of at most 1023
  // characters), about 10 MB: a device or an endless file named by mistake
  // (@/dev/zero) must not keep the run reading for ever. What was kept until
  // then is parsed.
  static constexpr int max_pieces = 10000;

  // False, after printing "Can't access file '<path>'" on standard output,
  // when the file cannot be opened. A read error or lack of memory ends the
  // reading; the lines kept until then stay.
  bool read(const char* path);

  // The kept lines, in file order; valid while this object lives.
  std::vector<const char*> arguments() const;

 private:
  std::vector<std::string> lines;
};

#endif  // RELKA_FRONT_RESPONSE_FILE_H_
