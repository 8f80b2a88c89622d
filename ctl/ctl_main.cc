// SPDX-License-Identifier: MIT
#include "ctl/ctl_main.h"

#include <errno.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "ctl/ctl_options.h"
#include "front/version.h"
#include "outlet/adapter.h"
#include "outlet/outlet_state.h"
#include "outlet/outlet_switch.h"
#include "serial/line_guard.h"

namespace {

// The last thing said on standard error: the reason a JSON caller gets.
std::string& last_complaint() {
  static std::string text;
  return text;
}

void complain(const std::string& text) {
  fprintf(stderr, "relkactl: %s\n", text.c_str());
  last_complaint() = text;
}

int milliseconds(double seconds) {
  return static_cast<int>(std::lround(seconds * 1000.0));
}

double seconds_since(const timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

timespec as_timespec(double seconds) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec =
      static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
  return t;
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

// "3" or "outlets 3 5".
std::string outlet_words(int outlets) {
  std::string list;
  int count = 0;
  for (int outlet = 1; outlet <= 8; ++outlet)
    if ((outlets >> (outlet - 1)) & 1) {
      list += (list.empty() ? "" : " ") + std::to_string(outlet);
      ++count;
    }
  return (count == 1 ? "outlet " : "outlets ") + list;
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

// The group that may use `device`, for the advice to join it.
std::string group_of(const std::string& device) {
  struct stat st {};
  if (stat(device.c_str(), &st) == 0)
    if (const group* owner = getgrgid(st.st_gid)) return owner->gr_name;
  return "dialout";
}

// Why `device` could not be opened, and what to try.
std::string open_failure(const std::string& device, int error) {
  std::string head = "cannot open " + device;
  switch (error) {
    case 0: return head;
    case ENOENT:
    case ENOTDIR:
      return head +
             ": no such device; is the adapter plugged in and the udev rule "
             "installed? 'ls " +
             serial_by_id_dir + "' lists the adapters that are plugged in";
    case EACCES:
    case EPERM: {
      std::string group = group_of(device);
      return head + ": permission denied; join the group " + group +
             " ('sudo adduser $USER " + group + "') and log in again";
    }
    case ENOTTY:
      return head + ": not a terminal; give the serial device the box hangs on";
    default: return head + ": " + strerror(error);
  }
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
      "{\"device\":%s,\"terminal\":%s,\"identity\":%s,\"box\":%d,"
      "\"known\":%s,\"mask\":%s,\"outlets\":{%s},\"set_at\":%s}\n",
      json_string(request.device).c_str(), json_string(state.terminal).c_str(),
      json_string(state.identity).c_str(), request.box,
      state.known ? "true" : "false",
      state.known ? std::to_string(state.mask).c_str() : "null",
      outlets.c_str(),
      state.known && !state.set_at.empty() ? json_string(state.set_at).c_str()
                                           : "null");
}

// With --json a failure is one object on standard output too, so that a
// script reading it never takes an empty line for a state.
void print_failure(const ctl_request& request, int status) {
  adapter_name adapter = name_adapter(request.device);
  printf(
      "{\"error\":%s,\"status\":%d,\"device\":%s,\"terminal\":%s,"
      "\"identity\":%s,\"box\":%d}\n",
      json_string(last_complaint()).c_str(), status,
      json_string(request.device).c_str(),
      json_string(adapter.terminal).c_str(),
      json_string(adapter.identity).c_str(), request.box);
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

// The state file of the adapter `adapter`, and what is known in it. A file
// whose identity is another adapter's is never applied: it counts as
// unknown, and that is said, naming both.
outlet_state read_adapter_state(const ctl_request& request,
                                const adapter_name& adapter,
                                const std::string& path) {
  std::string problem;
  outlet_state state = read_state(path, &problem);
  if (!problem.empty()) complain(problem + "; the state counts as unknown");
  if (state.known && !state.identity.empty() &&
      state.identity != adapter.identity) {
    complain("the state in " + path + " was set on adapter " + state.identity +
             ", but " + request.device + " leads to " + adapter.identity +
             " now; it counts as unknown");
    state = outlet_state();
  }
  // A file from before adapters were told apart, under the terminal's name:
  // the adapter behind that terminal may have been another.
  std::string old_path =
      state_path(request.state_dir, adapter.terminal, request.box);
  if (!state.known && adapter.by_id && !adapter.terminal.empty() &&
      old_path != path) {
    outlet_state old = read_state(old_path, &problem);
    if (old.known && old.identity != adapter.identity)
      complain("the state in " + old_path + " was set on " +
               (old.identity.empty()
                    ? "whatever adapter was " + adapter.terminal + " then"
                    : "adapter " + old.identity) +
               ", but " + adapter.terminal + " is adapter " + adapter.identity +
               " now; it counts as unknown");
  }
  state.terminal = adapter.terminal;
  state.identity = adapter.identity;
  state.box = request.box;
  return state;
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
      adapter_ = name_adapter(request_.device);
      if (adapter_.terminal.empty()) adapter_.terminal = box_.terminal_name();
      if (adapter_.identity.empty()) adapter_.identity = adapter_.terminal;
      path_ = state_path(request_.state_dir, adapter_.identity, request_.box);
      return ctl_done;
    }
    if (!box_.was_busy()) {
      complain(open_failure(request_.device, box_.open_error()));
      return ctl_cannot_open;
    }
    char waited[32];
    snprintf(waited, sizeof waited, "%g", request_.wait);
    std::string holder = describe_holder(box_.busy_holder());
    complain(request_.wait > 0
                 ? "gave up waiting for " + request_.device + " after " +
                       waited + " s: " + holder + " holds it"
                 : request_.device + " is held by " + holder);
    return ctl_gave_up;
  }

  outlet_state state() const {
    return read_adapter_state(request_, adapter_, path_);
  }

  // Sends `next.mask` and remembers `next`; `after` is the new state.
  int send(const outlet_state& next, outlet_state* after) {
    std::string problem;
    state_writer writer;
    if (!writer.prepare(path_, &problem)) {
      complain(problem + "; nothing was sent");
      return ctl_usage_error;
    }
    if (!box_.set_outlets(request_.box, next.mask)) {
      forget_state(path_, &problem);
      complain("cannot drive the control lines of " + request_.device +
               "; the outlets may not be switched, and their state is now "
               "unknown");
      *after = outlet_state();
      after->terminal = adapter_.terminal;
      after->identity = adapter_.identity;
      return ctl_lines_failed;
    }
    outlet_state state = next;
    state.known = true;
    state.device = request_.device;
    state.terminal = adapter_.terminal;
    state.identity = adapter_.identity;
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
  adapter_name adapter_;
  std::string path_;
};

int refuse_unknown(const ctl_request& r) {
  complain("the outlets of box " + std::to_string(r.box) + " on " + r.device +
           " are not known (the box cannot be read back); start with "
           "'relkactl set MASK', 'relkactl on all' or 'relkactl off all'");
  return ctl_state_unknown;
}

// Which part of a cycle a hold of the line is.
enum class phase { plain, cycle_off, cycle_on };

// The outlets a command changes: all eight for set.
int touched_outlets(const ctl_request& r) {
  return r.command == ctl_command::set ? 0xff : r.outlets;
}

bool process_alive(int pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

// The live process, other than us, whose cycle holds one of `outlets` off;
// 0 when none does.
int cycle_in_the_way(const outlet_state& state, int outlets) {
  for (int outlet = 1; outlet <= 8; ++outlet) {
    int pid = state.cycling[outlet - 1];
    if ((outlets >> (outlet - 1)) & 1 && pid > 0 && pid != getpid() &&
        process_alive(pid))
      return pid;
  }
  return 0;
}

// The cycle marks after this hold: ours set for the pause, ours cleared
// when the outlets are back on, and those of cycles that died cleared.
void mark_cycles(outlet_state* next, int outlets, phase part) {
  for (int outlet = 1; outlet <= 8; ++outlet) {
    int& pid = next->cycling[outlet - 1];
    bool ours = (outlets >> (outlet - 1)) & 1;
    if (pid > 0 && pid != getpid() && !process_alive(pid)) pid = 0;
    if (ours && part == phase::cycle_off) pid = getpid();
    if (ours && part == phase::cycle_on && pid == getpid()) pid = 0;
  }
}

// One hold of the line: read, change, send, write back. A command that
// touches an outlet another run's cycle holds off lets go of the line and
// tries again until that cycle has switched it back on, so that every
// caller's machine is off for the whole pause it asked for; -1 in
// `*blocker` with the holder's pid says so.
int switch_once(const ctl_request& r, mask_change change, phase part,
                outlet_state* after, int* blocker) {
  held_line line(r);
  int status = line.open();
  if (status != ctl_done) return status;
  outlet_state old = line.state();
  *blocker = cycle_in_the_way(old, touched_outlets(r));
  if (*blocker != 0) return ctl_gave_up;
  int mask = 0;
  if (!change(r, old, &mask)) return refuse_unknown(r);
  outlet_state next = old;
  next.mask = mask;
  mark_cycles(&next, r.outlets, part);
  return line.send(next, after);
}

int switch_when_free(const ctl_request& r, mask_change change, phase part,
                     outlet_state* after) {
  const timespec start = monotonic_now();
  for (;;) {
    int blocker = 0;
    int status = switch_once(r, change, part, after, &blocker);
    if (blocker == 0) return status;
    if (seconds_since(start) >= r.wait) {
      char waited[32];
      snprintf(waited, sizeof waited, "%g", r.wait);
      complain("gave up waiting for " + outlet_words(touched_outlets(r)) +
               " of box " + std::to_string(r.box) + " on " + r.device +
               " after " + waited + " s: " + describe_holder(blocker) +
               " is power-cycling it");
      return ctl_gave_up;
    }
    timespec pause = as_timespec(0.02);
    nanosleep(&pause, nullptr);
  }
}

// The pause of a cycle. Ends early on SIGINT, SIGTERM, SIGHUP or SIGQUIT,
// whose number it returns; they then stay blocked, so that the outlets are
// switched back on whatever else arrives, and the run ends with the status
// of that signal. 0 when the pause ran its course.
int cycle_pause(double seconds) {
  sigset_t ending, saved;
  sigemptyset(&ending);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&ending, sig);
  sigprocmask(SIG_BLOCK, &ending, &saved);
  const timespec start = monotonic_now();
  for (;;) {
    double left = seconds - seconds_since(start);
    if (left <= 0) break;
    timespec wait = as_timespec(left);
    int sig = sigtimedwait(&ending, nullptr, &wait);
    if (sig > 0) return sig;
    if (errno != EINTR) break;  // EAGAIN: the pause is over
  }
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return 0;
}

int cycle(const ctl_request& r, outlet_state* after) {
  int status = switch_when_free(r, switch_off, phase::cycle_off, after);
  if (status != ctl_done) return status;
  const timespec start = monotonic_now();
  int sig = cycle_pause(r.delay);
  double paused = seconds_since(start);
  status = switch_when_free(r, switch_on, phase::cycle_on, after);
  if (sig == 0 || status != ctl_done) return status;
  char took[32];
  snprintf(took, sizeof took, "%.1f", paused);
  complain("cycle of " + outlet_words(r.outlets) + " cut short after " + took +
           " s: back on");
  return 128 + sig;
}

// status and forget need the state, not the device: they work while the
// adapter is unplugged. A path that leads nowhere now is found by the
// state last written through it.
int look(const ctl_request& r) {
  adapter_name adapter = name_adapter(r.device);
  std::string path = !adapter.identity.empty()
                         ? state_path(r.state_dir, adapter.identity, r.box)
                         : find_state_by_device(r.state_dir, r.device, r.box);
  if (r.command == ctl_command::forget) {
    std::string problem;
    if (path.empty() || forget_state(path, &problem)) return ctl_done;
    complain(problem);
    return ctl_usage_error;
  }
  outlet_state state;
  if (!path.empty()) {
    if (adapter.identity.empty()) {
      std::string problem;
      state = read_state(path, &problem);
      adapter.identity = state.identity;
    } else {
      state = read_adapter_state(r, adapter, path);
    }
  }
  state.terminal = adapter.terminal;
  state.identity = adapter.identity;
  print_state(r, state);
  return ctl_done;
}

int run(const ctl_request& r) {
  outlet_state after;
  int status = ctl_done;
  switch (r.command) {
    case ctl_command::status:
    case ctl_command::forget: return look(r);
    case ctl_command::on:
      status = switch_when_free(r, switch_on, phase::plain, &after);
      break;
    case ctl_command::off:
      status = switch_when_free(r, switch_off, phase::plain, &after);
      break;
    case ctl_command::toggle:
      status = switch_when_free(r, switch_over, phase::plain, &after);
      break;
    case ctl_command::set:
      status = switch_when_free(r, set_all, phase::plain, &after);
      break;
    case ctl_command::cycle: status = cycle(r, &after); break;
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
  if (!parse_ctl_args(argc, argv, request, error)) {
    complain(error);
    fprintf(stderr, "Try 'relkactl --help' for more information.\n");
    if (asks_for_json(argc, argv)) print_failure(request, ctl_usage_error);
    return checked_exit(ctl_usage_error);
  }
  if (request.help) {
    fputs(ctl_usage, stdout);
    return checked_exit(ctl_done);
  }
  if (request.version) {
    printf("relkactl %s\n", RELKA_VERSION);
    return checked_exit(ctl_done);
  }
  int status = run(request);
  if (status != ctl_done && request.json) print_failure(request, status);
  return checked_exit(status);
}
