// SPDX-License-Identifier: MIT
#include "ctl/ctl_options.h"

#include <getopt.h>
#include <stdlib.h>

#include <vector>

#include "control/lab_file.h"
#include "outlet/exact_number.h"
#include "outlet/outlet_state.h"
#include "outlet/outlet_switch.h"

const char ctl_usage[] =
    "Usage: relkactl [OPTION]... COMMAND [OUTLET...]\n"
    "Switch single outlets of a RELKA box, remembering what was set.\n"
    "\n"
    "Commands:\n"
    "  on OUTLET...      switch these outlets on, the others as they were\n"
    "  off OUTLET...     switch these off, the others as they were\n"
    "  toggle OUTLET...  switch these over\n"
    "  cycle OUTLET...   off, wait --delay seconds, on again\n"
    "  set MASK          all eight at once (decimal, or 0x hex)\n"
    "  status [NAME...]  what relkactl last set on this box, or on the\n"
    "                    named outlets and boxes\n"
    "  forget            drop the remembered state of this box\n"
    "  list              every line, box and outlet of the lab file\n"
    "OUTLET is 1 to 8, all, or the name of an outlet in the lab file. on\n"
    "all, off all and set need no earlier state.\n"
    "\n"
    "Options:\n"
    "  -d, --device=DEVICE     serial device (default /dev/relka)\n"
    "  -a, --address=ADDRESS   the box's address, 0 to 127 (default 0)\n"
    "  -b, --box=BOX           a box of the lab file by name (or an address)\n"
    "      --lab=FILE          the lab file (default $RELKA_LAB, else\n"
    "                          /etc/relka/lab.toml)\n"
    "      --state-dir=DIR     remembered state (default $RELKA_STATE_DIR,\n"
    "                          else /var/lib/relka)\n"
    "      --wait=SECONDS      wait for a busy device (default 10; 0: not)\n"
    "      --delay=SECONDS     cycle's pause between off and on (default 2)\n"
    "      --json              print the state as one JSON object\n"
    "      --break-lease       switch leased outlets anyway, ending the\n"
    "                          leases (logged)\n"
    "  -q, --quiet             print nothing on standard output\n"
    "  -h, --help              this text\n"
    "      --version           the version\n"
    "\n"
    "Exit status: 0 done; 1 the lines could not be driven (state now\n"
    "unknown); 2 usage, or the state folder cannot be written; 3 refused:\n"
    "the state is unknown, or an outlet is leased to someone;\n"
    "4 gave up waiting for the device (or for a cycle of the outlet); 255\n"
    "the device cannot be opened; 128+N signal N cut a cycle's pause short\n"
    "(the outlets were switched back on).\n";

namespace {

enum long_only {
  opt_lab = 256,
  opt_state_dir,
  opt_wait,
  opt_delay,
  opt_json,
  opt_version,
  opt_break_lease
};

const option kOptions[] = {
    {"device", required_argument, nullptr, 'd'},
    {"box", required_argument, nullptr, 'b'},
    {"address", required_argument, nullptr, 'a'},
    {"lab", required_argument, nullptr, opt_lab},
    {"state-dir", required_argument, nullptr, opt_state_dir},
    {"wait", required_argument, nullptr, opt_wait},
    {"delay", required_argument, nullptr, opt_delay},
    {"json", no_argument, nullptr, opt_json},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, opt_version},
    {"break-lease", no_argument, nullptr, opt_break_lease},
    {nullptr, 0, nullptr, 0},
};

// 0 to `highest`, decimal or hex after 0x: a leading 0 is not octal here.
bool parse_small(const std::string& text, int highest, int* result) {
  return read_whole(text, 0, highest, result, number_form::decimal_or_hex);
}

// A word that is meant as a number: digits, perhaps with a sign.
bool looks_like_number(const std::string& word) {
  size_t digits = word[0] == '+' || word[0] == '-' ? 1 : 0;
  return word.size() > digits &&
         word.find_first_not_of("0123456789", digits) == std::string::npos;
}

// "-1" looks like an option to getopt, but the user meant a number.
bool negative_number(const std::string& word) {
  return word.size() > 1 && word[0] == '-' &&
         word.find_first_not_of("0123456789", 1) == std::string::npos;
}

// A negative number where an outlet or a mask goes: getopt would call it
// an unknown option. Values of options are passed over.
bool negative_argument(int argc, char** argv, std::string& error) {
  bool set = false;
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--") break;
    if (word == "-d" || word == "-a" || word == "-b" || word == "--device" ||
        word == "--box" || word == "--address" || word == "--lab" ||
        word == "--state-dir" || word == "--wait" || word == "--delay") {
      ++i;
      continue;
    }
    if (word == "set") set = true;
    if (!negative_number(word)) continue;
    error = set ? "'" + word + "' is not a mask: 0 to 255, decimal or 0x hex"
                : "'" + word + "' is not an outlet: outlets are 1 to 8, or all";
    return true;
  }
  return false;
}

bool parse_seconds(const char* text, double* seconds) {
  return read_seconds(text, 86400, seconds);
}

struct command_name {
  const char* name;
  ctl_command command;
};

const command_name kCommands[] = {
    {"on", ctl_command::on},         {"off", ctl_command::off},
    {"toggle", ctl_command::toggle}, {"cycle", ctl_command::cycle},
    {"set", ctl_command::set},       {"status", ctl_command::status},
    {"forget", ctl_command::forget}, {"list", ctl_command::list},
};

bool takes_outlets(ctl_command c) {
  return c == ctl_command::on || c == ctl_command::off ||
         c == ctl_command::toggle || c == ctl_command::cycle;
}

// The command and what follows it.
bool parse_words(const std::vector<std::string>& words, ctl_request& request,
                 std::string& error) {
  if (words.empty()) {
    error = "no command given";
    return false;
  }
  for (const command_name& c : kCommands)
    if (words[0] == c.name) request.command = c.command;
  if (request.command == ctl_command::none) {
    std::vector<std::string> names;
    for (const command_name& c : kCommands) names.emplace_back(c.name);
    error = "unknown command '" + words[0] + "'" +
            did_you_mean(closest_words(words[0], names));
    return false;
  }
  const std::string& name = words[0];
  std::vector<std::string> rest(words.begin() + 1, words.end());
  if (takes_outlets(request.command)) {
    if (rest.empty()) {
      error = name + " needs at least one outlet (1 to 8, or all)";
      return false;
    }
    for (const std::string& word : rest) {
      int outlet = 0;
      if (word == "all") {
        request.outlets = 0xff;
      } else if (read_whole(word, 1, 8, &outlet)) {
        request.outlets |= 1 << (outlet - 1);
      } else if (looks_like_number(word)) {
        error = "'" + word + "' is not an outlet: outlets are 1 to 8, or all";
        return false;
      } else {
        request.names.push_back(word);  // a name, checked with the lab file
      }
    }
    return true;
  }
  if (request.command == ctl_command::status) {
    for (const std::string& word : rest) {
      if (looks_like_number(word) || word == "all") {
        error = "status takes names of outlets or boxes, not '" + word + "'";
        return false;
      }
      request.names.push_back(word);
    }
    return true;
  }
  if (request.command == ctl_command::set) {
    if (rest.size() != 1) {
      error = "set needs one MASK (0 to 255, decimal or 0x hex)";
      return false;
    }
    if (!parse_small(rest[0], 255, &request.mask)) {
      error = "'" + rest[0] + "' is not a mask: 0 to 255, decimal or 0x hex";
      return false;
    }
    return true;
  }
  if (!rest.empty()) {
    error = name + " takes no arguments";
    return false;
  }
  return true;
}

// The option getopt_long just refused: a short one by its letter (it may
// stand inside a group such as -qx), a long one as written.
std::string offending(char** argv, int next) {
  std::string word = argv[next - 1];
  if (word.rfind("--", 0) == 0) return word.substr(0, word.find('='));
  if (optopt != 0) return std::string("-") + static_cast<char>(optopt);
  return word;
}

}  // namespace

bool parse_ctl_args(int argc, char** argv, ctl_request& request,
                    std::string& error) {
  request = ctl_request();
  request.device = default_device;
  request.state_dir = state_dir_from_env();
  if (negative_argument(argc, argv, error)) return false;
  optind = 0;  // a fresh scan, also when called again
  opterr = 0;  // the messages are ours
  int c = 0;
  while ((c = getopt_long(argc, argv, ":d:a:b:qh", kOptions, nullptr)) != -1) {
    switch (c) {
      case 'd':
        request.device = optarg;
        request.device_given = true;
        break;
      case 'b':
        // A box of the lab file, or an address as before.
        if (!looks_like_number(optarg) &&
            !(optarg[0] == '0' && (optarg[1] == 'x' || optarg[1] == 'X'))) {
          request.box_name = optarg;
          break;
        }
        [[fallthrough]];
      case 'a':
        if (!parse_small(optarg, 127, &request.box)) {
          error = std::string("'") + optarg +
                  "' is not a box address: 0 to 127, decimal or 0x hex";
          return false;
        }
        request.address_given = true;
        break;
      case opt_lab: request.lab = optarg; break;
      case opt_state_dir: request.state_dir = optarg; break;
      case opt_wait:
        if (!parse_seconds(optarg, &request.wait)) {
          error = std::string("--wait: '") + optarg +
                  "' is not a number of seconds";
          return false;
        }
        break;
      case opt_delay:
        if (!parse_seconds(optarg, &request.delay)) {
          error = std::string("--delay: '") + optarg +
                  "' is not a number of seconds";
          return false;
        }
        request.delay_given = true;
        break;
      case opt_json: request.json = true; break;
      case 'q': request.quiet = true; break;
      case 'h': request.help = true; break;
      case opt_version: request.version = true; break;
      case opt_break_lease: request.break_lease = true; break;
      case ':':
        error = "option '" + offending(argv, optind) + "' needs a value";
        return false;
      default:
        error = "unknown option '" + offending(argv, optind) + "'";
        return false;
    }
  }
  if (request.help || request.version) return true;
  std::vector<std::string> words(argv + optind, argv + argc);
  return parse_words(words, request, error);
}
