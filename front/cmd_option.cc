// SPDX-License-Identifier: MIT
#include "front/cmd_option.h"

#include <ctype.h>
#include <string.h>
#include <sys/mman.h>

#include <new>
#include <type_traits>
#include <vector>

#include "front/response_file.h"

namespace {

// Copies as much of `src` as fits; true when all of it did.
template <size_t N>
bool copy_field(char (&dst)[N], const char* src) {
  size_t length = strnlen(src, N);
  bool fits = length < N;
  if (!fits) length = N - 1;
  memcpy(dst, src, length);
  dst[length] = '\0';
  return fits;
}

void set_value(cmd_option& entry, const char* text) {
  entry.cut = !copy_field(entry.value, text);
}

bool is_terminator(const cmd_option& entry) {
  return entry.long_name[0] == '\0' && entry.short_name[0] == '\0';
}

// Clears the registered entries and the terminating one; returns how many
// are registered.
int clear_table(cmd_option* table) {
  for (int i = 0; i < cmd_table_size; ++i) {
    table[i].value[0] = '\0';
    table[i].given = 0;
    table[i].cut = 0;
    if (is_terminator(table[i])) return i;
  }
  return cmd_table_size;
}

struct match {
  int index = -1;
  const char* attached = nullptr;  // text after the name, possibly empty
};

// The first registered entry whose name is a prefix of `text`. Names are
// compared over their own length only, so an empty name matches anything.
match find_option(const cmd_option* table, int registered, const char* text,
                  bool long_form) {
  for (int i = 0; i < registered; ++i) {
    const char* name = long_form ? table[i].long_name : table[i].short_name;
    size_t length = strlen(name);
    if (strncmp(name, text, length) == 0) return {i, text + length};
  }
  return {};
}

class parser {
 public:
  parser(cmd_option* options, int registered_count)
      : table(options),
        registered(registered_count),
        next_free(registered_count) {}

  // Arguments args[0] to args[count - 1], in order.
  void parse(int count, const char* const* args) {
    for (int i = 0; i < count; ++i) {
      const char* arg = args[i];
      const char* following = i + 1 < count ? args[i + 1] : nullptr;
      if (handle_option(arg, following)) ++i;
    }
    upper_case_pass();
  }

 private:
  // True when the following argument was taken as the value.
  bool handle_option(const char* arg, const char* following) {
    if (arg[0] != '-') {
      add_free(arg);
      return false;
    }
    bool long_form = arg[1] == '-';
    match m =
        find_option(table, registered, arg + (long_form ? 2 : 1), long_form);
    if (m.index < 0) {
      add_free(arg);
      return false;
    }
    cmd_option& entry = table[m.index];
    bool has_attached = m.attached[0] != '\0';
    if (has_attached && !entry.takes_value) {
      add_free(arg);
      return false;
    }
    entry.given = 1;
    if (!entry.takes_value) return false;
    if (has_attached) {
      const char* text = m.attached;
      while (*text == ' ') ++text;
      set_value(entry, text);
      return false;
    }
    if (following == nullptr) return false;
    set_value(entry, following);
    return true;
  }

  // Free arguments beyond the table's end are dropped.
  void add_free(const char* arg) {
    if (next_free >= cmd_table_size) return;
    cmd_option& entry = table[next_free++];
    entry.long_name[0] = '\0';
    entry.short_name[0] = '\0';
    entry.takes_value = 0;
    entry.upper_case = 0;
    entry.given = 1;
    set_value(entry, arg);
  }

  void upper_case_pass() {
    for (int i = 0; i < next_free; ++i) {
      cmd_option& entry = table[i];
      if (!entry.given || !entry.takes_value || !entry.upper_case) continue;
      for (char* c = entry.value; *c; ++c)
        *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
    }
  }

  cmd_option* table;
  int registered;
  int next_free;
};

}  // namespace

static_assert(std::is_trivial_v<cmd_option>,
              "a cmd_table is zeroed memory, not constructed entries");

namespace {
constexpr size_t kTableBytes = sizeof(cmd_option) * cmd_table_size;
}  // namespace

cmd_table::cmd_table() : entries(nullptr) {
  void* pages = mmap(nullptr, kTableBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages != MAP_FAILED) entries = static_cast<cmd_option*>(pages);
}

cmd_table::~cmd_table() {
  if (entries != nullptr) munmap(entries, kTableBytes);
}

void register_option(cmd_option* table, int index, const char* long_name,
                     const char* short_name, int takes_value, int upper_case) {
  cmd_option& entry = table[index];
  copy_field(entry.long_name, long_name);
  copy_field(entry.short_name, short_name);
  entry.takes_value = takes_value ? 1 : 0;
  entry.upper_case = upper_case ? 1 : 0;
}

void parse_command_line(int argc, const char* const* argv, cmd_option* table) {
  int registered = clear_table(table);
  if (argc < 2) return;
  if (argv[1][0] != '@') {
    parser(table, registered).parse(argc - 1, argv + 1);
    return;
  }
  // The file's lines replace the whole command line.
  response_file file;
  if (!file.read(argv[1] + 1)) return;
  std::vector<const char*> args;
  try {
    args = file.arguments();
  } catch (const std::bad_alloc&) {
    return;
  }
  parser(table, registered).parse(static_cast<int>(args.size()), args.data());
}
