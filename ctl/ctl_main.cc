#include "ctl/ctl_main.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <cmath>
#include <string>

#include "ctl/ctl_options.h"
#include "front/version.h"
#include "outlet/outlet_state.h"
#include "outlet/outlet_switch.h"
#include "serial/line_guard.h"

namespace {

void complain(const std::string& text) {
  fprintf(stderr, "relkactl: %s\n", text.c_str());
}

int milliseconds(double seconds) {
  return static_cast<int>(std::lround(seconds * 1000.0));
}

void sleep_seconds(double seconds) {
  timespec pause{};
  pause.tv_sec = static_cast<time_t>(seconds);
  pause.tv_nsec =
      static_cast<long>((seconds - static_cast<double>(pause.tv_sec)) * 1e9);
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
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

void print_state(const ctl_request& request, const outlet_state& state) {
  if (request.quiet) return;
  if (!request.json) {
    for (int outlet = 1; outlet <= 8; ++outlet)
      printf("outlet %d: %s\n", outlet, outlet_word(state, outlet));
    return;
  }
  std::string outlets;
  for (int outlet = 1; outlet <= 8; ++outlet)
    outlets += std::string(outlet > 1 ? "," : "") + "\"" +
               std::to_string(outlet) + "\":\"" + outlet_word(state, outlet) +
               "\"";
  printf(
      "{\"device\":%s,\"terminal\":%s,\"box\":%d,\"known\":%s,\"mask\":%s,"
      "\"outlets\":{%s},\"set_at\":%s}\n",
      json_string(request.device).c_str(), json_string(state.terminal).c_str(),
      request.box, state.known ? "true" : "false",
      state.known ? std::to_string(state.mask).c_str() : "null",
      outlets.c_str(),
      state.known && !state.set_at.empty() ? json_string(state.set_at).c_str()
                                           : "null");
}

// "process 4711 (relkactl)" for the process a lock file names (its name as
// /proc tells it, where it does), "another program (flock)" for a holder
// known only by the device's flock.
std::string describe_holder(int pid) {
  if (pid <= 0) return "another program (flock)";
  std::string text = "process " + std::to_string(pid);
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/comm", pid);
  FILE* comm = fopen(path, "re");
  if (comm == nullptr) return text;
  char name[64] = "";
  if (fgets(name, sizeof name, comm) != nullptr) {
    name[strcspn(name, "\n")] = '\0';
    if (name[0] != '\0') text += std::string(" (") + name + ")";
  }
  fclose(comm);
  return text;
}

// How a command changes the mask: false when it cannot be worked out from
// what is remembered.
using mask_change = bool (*)(const ctl_request&, const outlet_state&, int*);

bool switch_on(const ctl_request& r, const outlet_state& old, int* mask) {
  if (r.outlets == 0xff) return *mask = 0xff, true;
  if (!old.known) return false;
  *mask = old.mask | r.outlets;
  return true;
}

bool switch_off(const ctl_request& r, const outlet_state& old, int* mask) {
  if (r.outlets == 0xff) return *mask = 0, true;
  if (!old.known) return false;
  *mask = old.mask & ~r.outlets;
  return true;
}

bool switch_over(const ctl_request& r, const outlet_state& old, int* mask) {
  if (!old.known) return false;
  *mask = old.mask ^ r.outlets;
  return true;
}

bool set_all(const ctl_request& r, const outlet_state&, int* mask) {
  *mask = r.mask;
  return true;
}

// The device, held for the life of this object: signals that would end the
// run are held back from the open to the close, but a wait for a busy
// device lets them through (rs232 sleeps with them unblocked).
class held_line {
 public:
  explicit held_line(const ctl_request& request) : request_(request) {
    box_.set_device(request.device.c_str());
    box_.set_wait(milliseconds(request.wait));
  }

  // ctl_done, or the status of the failure, which has been reported.
  int open() {
    if (box_.open()) {
      path_ =
          state_path(request_.state_dir, box_.terminal_name(), request_.box);
      return ctl_done;
    }
    if (!box_.was_busy()) {
      complain("cannot open " + request_.device);
      return ctl_cannot_open;
    }
    char waited[32];
    snprintf(waited, sizeof waited, "%g", request_.wait);
    std::string holder = describe_holder(box_.busy_holder());
    complain(request_.wait > 0 ? "gave up waiting for " + request_.device +
                                     " after " + waited + " s: " + holder +
                                     " holds it"
                               : request_.device + " is held by " + holder);
    return ctl_gave_up;
  }

  // The remembered state; an unreadable one is unknown, and said so.
  outlet_state state() const {
    std::string problem;
    outlet_state state = read_state(path_, &problem);
    if (!problem.empty()) complain(problem + "; the state counts as unknown");
    state.terminal = box_.terminal_name();
    state.box = request_.box;
    return state;
  }

  int forget() {
    std::string problem;
    if (forget_state(path_, &problem)) return ctl_done;
    complain(problem);
    return ctl_usage_error;
  }

  // Sends `mask` and remembers it; `after` is the new state.
  int send(int mask, outlet_state* after) {
    std::string problem;
    state_writer writer;
    if (!writer.prepare(path_, &problem)) {
      complain(problem + "; nothing was sent");
      return ctl_usage_error;
    }
    if (!box_.set_outlets(request_.box, mask)) {
      forget_state(path_, &problem);
      complain("cannot drive the control lines of " + request_.device +
               "; the outlets may not be switched, and their state is now "
               "unknown");
      *after = outlet_state();
      after->terminal = box_.terminal_name();
      return ctl_lines_failed;
    }
    outlet_state state;
    state.known = true;
    state.mask = mask;
    state.device = request_.device;
    state.terminal = box_.terminal_name();
    state.box = request_.box;
    state.set_at = utc_now();
    if (!writer.commit(state, &problem)) {
      forget_state(path_, &problem);
      complain(problem +
               "; the outlets were switched, but their state is "
               "now unknown");
      state.known = false;
      *after = state;
      return ctl_usage_error;
    }
    *after = state;
    return ctl_done;
  }

 private:
  const ctl_request& request_;
  held_signals holding_;  // first, so that it outlives the box
  outlet_switch box_;
  std::string path_;
};

int refuse_unknown(const ctl_request& r) {
  complain("the outlets of box " + std::to_string(r.box) + " on " + r.device +
           " are not known (the box cannot be read back); start with "
           "'relkactl set MASK', 'relkactl on all' or 'relkactl off all'");
  return ctl_state_unknown;
}

// One hold of the line: read, change, send, write back.
int switch_once(const ctl_request& r, mask_change change, outlet_state* after) {
  held_line line(r);
  int status = line.open();
  if (status != ctl_done) return status;
  outlet_state old = line.state();
  int mask = 0;
  if (!change(r, old, &mask)) return refuse_unknown(r);
  return line.send(mask, after);
}

int look(const ctl_request& r) {
  held_line line(r);
  int status = line.open();
  if (status != ctl_done) return status;
  if (r.command == ctl_command::forget) return line.forget();
  print_state(r, line.state());
  return ctl_done;
}

int run(const ctl_request& r) {
  outlet_state after;
  int status = ctl_done;
  switch (r.command) {
    case ctl_command::status:
    case ctl_command::forget: return look(r);
    case ctl_command::on: status = switch_once(r, switch_on, &after); break;
    case ctl_command::off: status = switch_once(r, switch_off, &after); break;
    case ctl_command::toggle:
      status = switch_once(r, switch_over, &after);
      break;
    case ctl_command::set: status = switch_once(r, set_all, &after); break;
    case ctl_command::cycle:
      // The line is not held during the pause: other runs may switch other
      // outlets meanwhile, and the second hold reads their change back.
      status = switch_once(r, switch_off, &after);
      if (status != ctl_done) break;
      sleep_seconds(r.delay);
      status = switch_once(r, switch_on, &after);
      break;
    case ctl_command::none: return ctl_usage_error;
  }
  if (status == ctl_done && r.json) print_state(r, after);
  return status;
}

// What was printed must have reached standard output.
int checked_exit(int status) {
  if (fflush(stdout) != 0 || ferror(stdout)) {
    complain(std::string("cannot write standard output: ") + strerror(errno));
    return status == ctl_done ? ctl_usage_error : status;
  }
  return status;
}

}  // namespace

int relkactl_main(int argc, char** argv) {
  ctl_request request;
  std::string error;
  if (!parse_ctl_args(argc, argv, request, error)) {
    complain(error);
    fprintf(stderr, "Try 'relkactl --help' for more information.\n");
    return ctl_usage_error;
  }
  if (request.help) {
    fputs(ctl_usage, stdout);
    return checked_exit(ctl_done);
  }
  if (request.version) {
    printf("relkactl %s\n", RELKA_VERSION);
    return checked_exit(ctl_done);
  }
  return checked_exit(run(request));
}
