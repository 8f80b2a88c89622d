// SPDX-License-Identifier: MIT
// relka's option table, filled by the parser from a list of arguments.
#ifndef RELKA_TESTS_RELKA_TABLE_H_
#define RELKA_TESTS_RELKA_TABLE_H_

#include <string>
#include <vector>

#include "front/cmd_option.h"
#include "front/relka_main.h"

struct parsed {
  std::vector<cmd_option> table = std::vector<cmd_option>(cmd_table_size);

  explicit parsed(const std::vector<std::string>& args) {
    register_relka_options(table.data());
    std::vector<const char*> argv = {"relka"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    parse_command_line(static_cast<int>(argv.size()), argv.data(),
                       table.data());
  }

  std::vector<std::string> free_args() const {
    std::vector<std::string> out;
    for (int i = opt_end; i < cmd_table_size && table[i].given; ++i)
      out.push_back(table[i].value);
    return out;
  }

  // Which options were given, as their short names: "d s".
  std::string given() const {
    std::string out;
    for (int i = 0; i < opt_end; ++i)
      if (table[i].given)
        out += std::string(out.empty() ? "" : " ") + table[i].short_name;
    return out;
  }
};

#endif  // RELKA_TESTS_RELKA_TABLE_H_
