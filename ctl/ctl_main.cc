// SPDX-License-Identifier: MIT
#include "ctl/ctl_main.h"

#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/clean_text.h"
#include "control/lab_file.h"
#include "control/lease_check.h"
#include "control/switch_core.h"
#include "ctl/ctl_options.h"
#include "front/version.h"
#include "outlet/adapter.h"

namespace {

void complain(const std::string& text) {
  fprintf(stderr, "relkactl: %s\n", text.c_str());
}

// A JSON string of `text`, made valid UTF-8 first (a holder's process name
// in a message may be anything).
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : valid_utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char* outlet_word(const outlet_state& state, int outlet) {
  if (!state.known) return "unknown";
  return (state.mask >> (outlet - 1)) & 1 ? "on" : "off";
}

// The user who asked, for the log.
std::string user_name() {
  const passwd* user = getpwuid(getuid());
  return user != nullptr ? user->pw_name : "uid " + std::to_string(getuid());
}

// ", leased to alice until 2026-12-08T18:00:00Z", or "".
std::string lease_note(const std::vector<outlet_lease>& leases, int outlet) {
  const outlet_lease* l = lease_of(leases, outlet);
  return l == nullptr ? ""
                      : ", leased to " + l->holder + " until " +
                            lease_time_text(l->until);
}

// {"holder":"alice","until":"2026-12-08T18:00:00Z"}, or null.
std::string lease_json(const outlet_lease* l) {
  if (l == nullptr) return "null";
  return "{\"holder\":" + json_string(l->holder) +
         ",\"until\":" + json_string(lease_time_text(l->until)) + "}";
}

// {"3":{"holder":"alice","until":"2026-12-08T18:00:00Z"}}
std::string leases_json(const std::vector<outlet_lease>& leases) {
  std::string text;
  for (const outlet_lease& l : leases)
    text += std::string(text.empty() ? "" : ",") + "\"" +
            std::to_string(l.outlet) + "\":" + lease_json(&l);
  return "{" + text + "}";
}

// What the command line asked, with the lab file's names resolved.
struct resolved {
  switch_request request;
  lab_file lab;
  // status NAME...: only these outlets, by name, are printed.
  std::vector<std::string> shown;
};

// The lab file: the one named (it must be there and right), else the
// default where there is one.
bool load_lab(const ctl_request& r, lab_file* lab, std::string* error) {
  bool chosen = false;
  std::string path = lab_file_path(r.lab, &chosen);
  struct stat st {};
  if (!chosen && stat(path.c_str(), &st) != 0) return true;
  return load_lab_file(path, lab, error);
}

// A line's name where a box or an outlet goes: the boxes it carries.
std::string a_line(const lab_file& lab, const named_line& line) {
  std::string boxes;
  for (const named_box& box : lab.boxes)
    if (box.line == line.name) boxes += (boxes.empty() ? "" : ", ") + box.name;
  return "'" + line.name + "' is a line, not a box or an outlet: " +
         (boxes.empty() ? "the file names no box on it"
                        : "its boxes are " + boxes);
}

std::string unknown_name(const lab_file& lab, const std::string& word,
                         const char* what) {
  if (lab.path.empty())
    return "'" + word + "' is not " + what +
           ": there is no lab file to name it (" + default_lab_file +
           ", --lab FILE or RELKA_LAB)";
  if (const named_line* line = lab.line(word)) return a_line(lab, *line);
  return "'" + word + "' is not " + what + " in " + lab.path +
         did_you_mean(lab.closest_names(word));
}

std::string a_box_not_an_outlet(const std::string& name) {
  return "'" + name + "' is a box: name its outlets, or give --box " + name +
         " and outlet numbers";
}

// The target for a box of the lab file.
box_target target_of(const lab_file& lab, const named_box& box) {
  box_target t;
  t.device = lab.device_of(box);
  t.address = box.address;
  t.box_name = box.name;
  return t;
}

// The target of the same box in `targets`, made when missing.
box_target& target_for(std::vector<box_target>& targets, const box_target& t) {
  for (box_target& have : targets)
    if (have.device == t.device && have.address == t.address) return have;
  targets.push_back(t);
  return targets.back();
}

// The box -d/-a or -b name, the one numbers and "all" belong to.
bool context_box(const ctl_request& r, const lab_file& lab, box_target* t,
                 std::string* error) {
  if (!r.box_name.empty()) {
    const named_box* box = lab.box(r.box_name);
    if (box == nullptr) {
      *error = unknown_name(lab, r.box_name, "a box");
      return false;
    }
    if (r.device_given || r.address_given) {
      *error = "--box " + r.box_name +
               " names a device and an address already: leave out -d and -a";
      return false;
    }
    *t = target_of(lab, *box);
    return true;
  }
  t->device = r.device;
  t->address = r.box;
  if (const named_box* box = lab.box_at(r.device, r.box))
    t->box_name = box->name;
  return true;
}

// -d and -a with outlet numbers need no names: a lab file with a mistake
// does not stop them.
bool numbers_only(const ctl_request& r) {
  return r.device_given && r.address_given && r.box_name.empty() &&
         r.names.empty() && r.command != ctl_command::list;
}

// Numbers beside names need a box named on the command line: "on web1 3"
// would send outlet 3 to whatever box 0 of /dev/relka is.
bool numbers_have_a_box(const ctl_request& r, std::string* error) {
  if (r.names.empty() || r.outlets == 0 || !r.box_name.empty() ||
      r.device_given || r.address_given)
    return true;
  *error = "outlet " +
           (r.outlets == 0xff ? std::string("all") : outlet_numbers(r.outlets)) +
           " beside names: say which box the numbers are on with -b BOX (or "
           "-d and -a), or name every outlet";
  return false;
}

// Numbers and "all" go to the context box; names of outlets to theirs, box
// by box in the order first named.
bool resolve(const ctl_request& r, resolved* out, std::string* error) {
  if (!load_lab(r, &out->lab, error)) {
    if (!numbers_only(r)) return false;
    complain("warning: " + *error + "; -d and -a need no lab file");
  }
  const lab_file& lab = out->lab;
  switch_request& q = out->request;
  q.state_dir = r.state_dir;
  q.wait = r.wait;
  q.delay = r.delay_given ? r.delay : -1;
  q.mask = r.mask;
  box_target context;
  if (!numbers_have_a_box(r, error) || !context_box(r, lab, &context, error))
    return false;
  if (r.command == ctl_command::list) {
    if (lab.path.empty()) {
      *error = std::string("there is no lab file to list (") +
               default_lab_file + ", --lab FILE or RELKA_LAB)";
      return false;
    }
    for (const named_box& box : lab.boxes) {
      box_target t = target_of(lab, box);
      t.outlets = 0xff;
      q.targets.push_back(t);
    }
    return true;
  }
  if (r.names.empty() || r.outlets != 0) {
    context.outlets = r.command == ctl_command::status ? 0xff : r.outlets;
    q.targets.push_back(context);
  }
  for (const std::string& name : r.names) {
    const named_outlet* outlet = lab.outlet(name);
    const named_box* box = r.command == ctl_command::status && outlet == nullptr
                               ? lab.box(name)
                               : nullptr;
    if (box != nullptr) {  // status of a whole box
      box_target t = target_of(lab, *box);
      target_for(q.targets, t).outlets = 0xff;
      continue;
    }
    if (outlet == nullptr) {
      *error = lab.box(name) != nullptr ? a_box_not_an_outlet(name)
                                        : unknown_name(lab, name, "an outlet");
      return false;
    }
    box_target& t =
        target_for(q.targets, target_of(lab, *lab.box(outlet->box)));
    t.outlets |= 1 << (outlet->outlet - 1);
    t.names += (t.names.empty() ? "" : " ") + name;
    out->shown.push_back(name);
  }
  // A cycle's pause: each outlet's own, else its box's, however named.
  for (box_target& t : q.targets)
    if (const named_box* box = lab.box(t.box_name))
      t.cycle_delay = lab.cycle_delay(*box, t.outlets);
  return true;
}

// "outlet 3 (web1): on": the outlet's name where the lab file has one.
std::string outlet_label(const lab_file& lab, const box_target& t, int n) {
  std::string name = t.box_name.empty() ? "" : lab.outlet_name(t.box_name, n);
  return "outlet " + std::to_string(n) +
         (name.empty() ? "" : " (" + name + ")");
}

std::string state_json(const ctl_request& r, const lab_file& lab,
                       const std::vector<outlet_lease>& leases,
                       const box_outcome& b) {
  const outlet_state& state = b.state;
  std::string outlets, names;
  for (int outlet = 1; outlet <= 8; ++outlet) {
    outlets += std::string(outlet > 1 ? "," : "") + "\"" +
               std::to_string(outlet) + "\":\"" + outlet_word(state, outlet) +
               "\"";
    std::string name = b.target.box_name.empty()
                           ? ""
                           : lab.outlet_name(b.target.box_name, outlet);
    if (!name.empty())
      names += std::string(names.empty() ? "" : ",") + "\"" +
               std::to_string(outlet) + "\":" + json_string(name);
  }
  (void)r;
  return "{\"device\":" + json_string(b.target.device) +
         ",\"leases\":" + leases_json(leases) +
         ",\"terminal\":" + json_string(state.terminal) +
         ",\"identity\":" + json_string(state.identity) +
         ",\"box\":" + std::to_string(b.target.address) + ",\"box_name\":" +
         (b.target.box_name.empty() ? "null" : json_string(b.target.box_name)) +
         ",\"known\":" + (state.known ? "true" : "false") +
         ",\"mask\":" + (state.known ? std::to_string(state.mask) : "null") +
         ",\"outlets\":{" + outlets + "},\"names\":{" + names +
         "},\"set_at\":" +
         (state.known && !state.set_at.empty() ? json_string(state.set_at)
                                               : "null") +
         ",\"under_way\":" +
         (state.under_way.pid > 0 ? json_string(under_way_words(state))
                                  : "null") +
         "}";
}

// One JSON object per box (one line each); as text, one line per outlet,
// or per named outlet for status NAME.
void print_states(const ctl_request& r, const resolved& what,
                  const switch_outcome& outcome) {
  if (r.quiet) return;
  const lab_file& lab = what.lab;
  for (const box_outcome& b : outcome.boxes) {
    std::vector<outlet_lease> leases =
        leases_of(what.request.state_dir, b.target.device, b.target.address);
    if (r.json) {
      printf("%s\n", state_json(r, lab, leases, b).c_str());
      continue;
    }
    bool several = outcome.boxes.size() > 1;
    for (int outlet = 1; outlet <= 8; ++outlet) {
      std::string name = b.target.box_name.empty()
                             ? ""
                             : lab.outlet_name(b.target.box_name, outlet);
      if (!(b.target.outlets >> (outlet - 1) & 1) && !what.shown.empty())
        continue;
      if (!what.shown.empty() && !name.empty())
        printf("%s (%s outlet %d): %s%s\n", name.c_str(),
               b.target.box_name.c_str(), outlet, outlet_word(b.state, outlet),
               lease_note(leases, outlet).c_str());
      else
        printf("%s%s: %s%s\n", several ? (b.target.box_name + " ").c_str() : "",
               outlet_label(lab, b.target, outlet).c_str(),
               outlet_word(b.state, outlet),
               lease_note(leases, outlet).c_str());
    }
  }
}

// relkactl list: the lab file's lines, boxes and outlets, with what is
// remembered of each box.
void print_list(const ctl_request& r, const resolved& what,
                const switch_outcome& outcome) {
  const lab_file& lab = what.lab;
  auto state_of = [&](const std::string& box) -> const outlet_state* {
    for (const box_outcome& b : outcome.boxes)
      if (b.target.box_name == box) return &b.state;
    return nullptr;
  };
  // Each box's leases, read once.
  std::vector<std::vector<outlet_lease>> leases;
  for (const box_outcome& b : outcome.boxes)
    leases.push_back(
        leases_of(what.request.state_dir, b.target.device, b.target.address));
  auto lease_text = [&](const named_outlet& o, bool json) {
    for (size_t i = 0; i < outcome.boxes.size(); ++i) {
      if (outcome.boxes[i].target.box_name != o.box) continue;
      if (!json) return lease_note(leases[i], o.outlet);
      return lease_json(lease_of(leases[i], o.outlet));
    }
    return std::string(json ? "null" : "");
  };
  if (r.json) {
    std::string lines, boxes, outlets;
    for (const named_line& l : lab.lines)
      lines += std::string(lines.empty() ? "" : ",") +
               "{\"name\":" + json_string(l.name) +
               ",\"device\":" + json_string(l.device) + "}";
    for (size_t i = 0; i < outcome.boxes.size(); ++i)
      boxes += std::string(boxes.empty() ? "" : ",") +
               state_json(r, lab, leases[i], outcome.boxes[i]);
    for (const named_outlet& o : lab.outlets) {
      const outlet_state* s = state_of(o.box);
      outlets += std::string(outlets.empty() ? "" : ",") +
                 "{\"name\":" + json_string(o.name) +
                 ",\"box_name\":" + json_string(o.box) +
                 ",\"outlet\":" + std::to_string(o.outlet) + ",\"state\":\"" +
                 (s != nullptr ? outlet_word(*s, o.outlet) : "unknown") +
                 "\",\"lease\":" + lease_text(o, true) + "}";
    }
    printf("{\"lab\":%s,\"lines\":[%s],\"boxes\":[%s],\"outlets\":[%s]}\n",
           json_string(lab.path).c_str(), lines.c_str(), boxes.c_str(),
           outlets.c_str());
    return;
  }
  if (lab.lines.empty() && lab.boxes.empty() && lab.outlets.empty())
    complain(lab.path + " names no line, box or outlet: see man 5 relka-lab.toml");
  for (const named_line& l : lab.lines)
    printf("line    %-16s %s\n", l.name.c_str(), l.device.c_str());
  for (const named_box& b : lab.boxes) {
    const outlet_state* s = state_of(b.name);
    const std::string mask =
        s != nullptr && s->known ? mask_hex(s->mask) : "unknown";
    printf("box     %-16s line %s, address %d: %s\n", b.name.c_str(),
           b.line.c_str(), b.address, mask.c_str());
  }
  for (const named_outlet& o : lab.outlets) {
    const outlet_state* s = state_of(o.box);
    printf("outlet  %-16s %s outlet %d: %s%s\n", o.name.c_str(), o.box.c_str(),
           o.outlet, s != nullptr ? outlet_word(*s, o.outlet) : "unknown",
           lease_text(o, false).c_str());
  }
}

// With --json a failure is one object on standard output too, so that a
// script reading it never takes an empty line for a state.
void print_failure(const ctl_request& r, int status, const std::string& error,
                   const switch_request* request) {
  std::string device = r.device;
  int box = r.box;
  if (request != nullptr && !request->targets.empty()) {
    device = request->targets.front().device;
    box = request->targets.front().address;
  }
  adapter_name adapter = name_adapter(device);
  printf(
      "{\"error\":%s,\"status\":%d,\"device\":%s,\"terminal\":%s,"
      "\"identity\":%s,\"box\":%d}\n",
      json_string(error).c_str(), status, json_string(device).c_str(),
      json_string(adapter.terminal).c_str(),
      json_string(adapter.identity).c_str(), box);
}

switch_command command_of(ctl_command c) {
  switch (c) {
    case ctl_command::on: return switch_command::on;
    case ctl_command::off: return switch_command::off;
    case ctl_command::toggle: return switch_command::toggle;
    case ctl_command::cycle: return switch_command::cycle;
    case ctl_command::set: return switch_command::set;
    case ctl_command::forget: return switch_command::forget;
    case ctl_command::status:
    case ctl_command::list:
    case ctl_command::none: break;
  }
  return switch_command::status;
}

int usage_failure(const ctl_request& r, const std::string& error, bool json) {
  complain(error);
  fprintf(stderr, "Try 'relkactl --help' for more information.\n");
  if (json) print_failure(r, switch_usage_error, error, nullptr);
  return switch_usage_error;
}

int run(const ctl_request& r) {
  resolved what;
  std::string error;
  if (!resolve(r, &what, &error)) return usage_failure(r, error, r.json);
  switch_request& q = what.request;
  q.command = command_of(r.command);
  q.who = user_name();
  q.client = "relkactl";
  q.say = complain;
  q.break_lease = r.break_lease;
  q.lease_hint = " (--break-lease switches it anyway)";
  switch_outcome outcome = run_switch(q);
  if (outcome.status != switch_done) {
    if (r.json) print_failure(r, outcome.status, outcome.error, &q);
    return outcome.status;
  }
  if (r.command == ctl_command::list)
    print_list(r, what, outcome);
  else if (r.command == ctl_command::status || r.json)
    print_states(r, what, outcome);
  return switch_done;
}

// What was printed must have reached standard output.
int checked_exit(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    complain(std::string("cannot write standard output: ") + strerror(errno));
    return status == switch_done ? switch_usage_error : status;
  }
  return status;
}

bool asks_for_json(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) break;
    if (strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace

int relkactl_main(int argc, char** argv) {
  ctl_request request;
  std::string error;
  if (!parse_ctl_args(argc, argv, request, error))
    return checked_exit(
        usage_failure(request, error, asks_for_json(argc, argv)));
  if (request.help) {
    fputs(ctl_usage, stdout);
    return checked_exit(switch_done);
  }
  if (request.version) {
    printf("relkactl %s\n", RELKA_VERSION);
    return checked_exit(switch_done);
  }
  return checked_exit(run(request));
}
