// SPDX-License-Identifier: MIT
// A small table-driven command-line parser.
//
// The caller registers its options in a table of cmd_option entries; the
// parser records which of them occurred, with their values, and keeps every
// other argument, in order, as a free argument in the entries after the
// registered ones. Nothing is ever reported: a misspelt option is just a free
// argument. A first argument "@file" takes the arguments from a response file.
#ifndef RELKA_FRONT_CMD_OPTION_H_
#define RELKA_FRONT_CMD_OPTION_H_

// Entries in an option table, registered options and free arguments together.
constexpr int cmd_table_size = 255;

struct cmd_option {
  char long_name[64];  // after "--"; empty in the terminating entry
  char short_name[8];  // after "-"
  char value[256];     // the option's value, or a free argument whole
  int takes_value;
  int given;
  int upper_case;  // value converted to upper case after parsing
  int cut;         // value was longer than the field holds
};

// A table of cmd_table_size entries, all zero, for the duration of one
// parse. The entries are fresh anonymous pages, which the system faults in
// only when first touched, so a run pays only for the entries it uses:
// zeroing the 88 KB by hand (a value-initialised vector) faults in all 22
// pages, and those faults were much of what a short run cost. Test with
// `if (table)`: the pages may not be had.
class cmd_table {
 public:
  cmd_table();
  ~cmd_table();
  cmd_table(const cmd_table&) = delete;
  cmd_table& operator=(const cmd_table&) = delete;

  explicit operator bool() const { return entries != nullptr; }
  cmd_option* data() const { return entries; }
  cmd_option& operator[](int index) const { return entries[index]; }

 private:
  cmd_option* entries;
};

void register_option(cmd_option* table, int index, const char* long_name,
                     const char* short_name, int takes_value, int upper_case);

// argv[0] is the program's name and is never looked at. `table` holds
// cmd_table_size entries, the registered ones ended by an entry with both
// names empty.
void parse_command_line(int argc, const char* const* argv, cmd_option* table);

#endif  // RELKA_FRONT_CMD_OPTION_H_
