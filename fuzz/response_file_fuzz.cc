// SPDX-License-Identifier: MIT
// Response files of any content, parsed into relka's option table.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "front/cmd_option.h"
#include "front/relka_main.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("relka-fuzz.rsp", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  std::string arg = "@/proc/self/fd/" + std::to_string(fd);
  const char* argv[] = {"relka", arg.c_str()};
  std::vector<cmd_option> table(cmd_table_size);
  register_relka_options(table.data());
  parse_command_line(2, argv, table.data());
  close(fd);
  return 0;
}
