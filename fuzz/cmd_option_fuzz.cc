// SPDX-License-Identifier: MIT
// The option parser on any argument vector: the input is split at NUL bytes
// into arguments after the program's name.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "front/cmd_option.h"
#include "front/relka_main.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args(1, "relka");
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  // A response file would be read from the machine; that has a target of
  // its own.
  if (args.size() > 1 && !args[1].empty() && args[1][0] == '@') return 0;

  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::vector<cmd_option> table(cmd_table_size);
  register_relka_options(table.data());
  parse_command_line(static_cast<int>(argv.size()), argv.data(), table.data());
  return 0;
}
