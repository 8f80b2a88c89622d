// SPDX-License-Identifier: MIT
#include "front/relka_main.h"

#include <stdio.h>
#include <stdlib.h>

#include <memory>
#include <optional>

#include "front/cmd_option.h"
#include "front/version.h"
#include "outlet/adapter.h"
#include "outlet/outlet_state.h"
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

// relkactl's memory of the box, kept in step with the frames relka sends
// (relka sends the whole mask, so after a frame that went out the box is
// known): marked as under way before the frame, the mask after it, the
// file removed when the frame may not have reached the box. Silent, and
// nothing at all where the state folder is missing or cannot be written.
class box_memory {
 public:
  box_memory(const outlet_switch& box, int address, int mask) {
    const char* folder = state_dir_from_env();
    adapter_name adapter =
        name_open_adapter(box.get_device(), box.terminal_name());
    if (adapter.identity.empty()) return;
    const int reached = address & 0x7f;  // the box the frame reaches
    std::string path = state_path(folder, adapter.identity, reached);
    // No message is made: relka would not print it, and the advice for a
    // refused folder looks up users and groups.
    if (!change_.open(path, false, nullptr)) return;
    std::string problem;
    const outlet_state old = change_.held();
    outlet_state next = old;
    next.mask = mask & 0xff;
    next = sent_state(next, box.get_device(), adapter.terminal,
                      adapter.identity, reached);
    keeping_ = change_.begin(old, next, &problem);
  }

  void sent(bool ok) {
    std::string problem;
    if (keeping_ && ok) change_.done(false, &problem);
    if (keeping_ && !ok) change_.failed();
  }

 private:
  state_change change_;
  bool keeping_ = false;
};

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
  if (!table[opt_set].given) return 0;
  const int box_address = to_int(address);
  const int mask = to_int(table[opt_set].value);
  box_memory memory(*box, box_address, mask);
  const bool sent = box->set_outlets(box_address, mask);
  memory.sent(sent);
  if (!sent) {
    fprintf(stderr,
            "relka: cannot drive the control lines of %s; "
            "the outlets may not be switched\n",
            device);
    return 1;
  }
  return 0;
}
