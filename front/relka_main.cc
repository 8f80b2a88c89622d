// SPDX-License-Identifier: MIT
#include "front/relka_main.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <optional>

#include "front/cmd_option.h"
#include "front/version.h"
#include "outlet/outlet_switch.h"
#include "serial/line_guard.h"

void register_relka_options(cmd_option* table) {
  register_option(table, opt_version, "version", "v", 0, 0);
  register_option(table, opt_quiet, "quite", "q", 0, 0);
  register_option(table, opt_help, "help", "h", 0, 0);
  register_option(table, opt_device, "device", "d", 1, 0);
  register_option(table, opt_set, "set", "s", 1, 0);
  register_option(table, opt_address, "address", "a", 1, 0);
  register_option(table, opt_end, "", "", 0, 0);
}

namespace {

void print_help() {
  printf("-h, --help               This helpscreen\n");
  printf("-v, --version            Info about this program\n");
  printf(
      "-d, --device             Device, where RELKA is connected (Default: "
      "%s)\n",
      default_device);
  printf("-q, --quite              Quite mode, no output to console\n");
  printf("-s, --set <ports>        Set outlet <ports>\n");
  printf("-a, --address <adr>      Sets address to <adr> (default: 0)\n");
  printf("\n");
}

const char* value_or(const cmd_option& entry, const char* fallback) {
  return entry.value[0] != '\0' ? entry.value : fallback;
}

int to_int(const char* text) {
  return static_cast<int>(strtol(text, nullptr, 10));
}

}  // namespace

int relka_main(int argc, const char* const* argv) {
  // Declared before the box, so that it outlives it: a signal held back
  // while the line is ours takes effect only after the box has closed it.
  std::optional<held_signals> holding;
  auto box = std::make_unique<outlet_switch>();
  cmd_table table;
  if (!table) {
    fprintf(stderr, "relka: out of memory for the option table\n");
    return -1;
  }
  register_relka_options(table.data());
  parse_command_line(argc, argv, table.data());

  bool quiet = table[opt_quiet].given;
  if (!quiet) printf("relka - RELKA outlet switch, by the relka developers\n");
  if (table[opt_help].given) {
    print_help();
    return 0;
  }
  if (table[opt_version].given && !quiet) {
    printf("Version %s, 26.08.2002\n\r", RELKA_VERSION);
    return 0;
  }

  // A device path that did not fit was cut; opening the cut path could
  // switch some other device, so none is opened.
  if (table[opt_device].cut) {
    fprintf(stderr, "relka: device path longer than 255 characters, refused\n");
    return -1;
  }
  const char* device = value_or(table[opt_device], default_device);
  const char* address = value_or(table[opt_address], "0");

  box->set_device(device);
  holding.emplace();
  if (!box->open()) {
    if (!quiet) printf("RELKA not found at %s\n", device);
    return -1;
  }
  if (table[opt_set].given &&
      !box->set_outlets(to_int(address), to_int(table[opt_set].value))) {
    fprintf(stderr,
            "relka: cannot drive the control lines of %s; "
            "the outlets may not be switched\n",
            device);
    return 1;
  }
  return 0;
}
