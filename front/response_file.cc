// SPDX-License-Identifier: MIT
#include "front/response_file.h"

#include <stdio.h>

#include <new>

void remove_char(char* text, char c) {
  char* out = text;
  for (const char* in = text; *in; ++in)
    if (*in != c) *out++ = *in;
  *out = '\0';
}

bool response_file::read(const char* path) {
  FILE* file = fopen(path, "r");
  if (file == nullptr) {
    printf("Can't access file '%s'\n", path);
    return false;
  }
  // fgets takes at most 1023 characters; the rest of a longer line comes as
  // a line of its own and counts only if it too begins with "-".
  char line[1024];
  int pieces = 0;
  while (!feof(file) && !ferror(file) && pieces < max_pieces) {
    if (fgets(line, sizeof line, file) == nullptr) continue;
    ++pieces;
    remove_char(line, '\n');
    remove_char(line, '\r');
    if (line[0] != '-') continue;
    try {
      lines.emplace_back(line);
    } catch (const std::bad_alloc&) {
      break;  // parse what was kept
    }
  }
  fclose(file);
  return true;
}

std::vector<const char*> response_file::arguments() const {
  std::vector<const char*> out;
  out.reserve(lines.size());
  for (const std::string& line : lines) out.push_back(line.c_str());
  return out;
}
