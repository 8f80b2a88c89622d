// SPDX-License-Identifier: MIT
#include "control/switch_core.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "control/clean_text.h"
#include "control/lease_check.h"
#include "outlet/access_advice.h"
#include "outlet/adapter.h"
#include "outlet/outlet_switch.h"
#include "serial/line_guard.h"
#include "serial/process_alive.h"

namespace {

// Says each message through the request's `say` and keeps the last: the
// reason a caller reports.
class voice {
 public:
  // `heard` false: keeps the last message and tells no one.
  explicit voice(const switch_request& request, bool heard = true)
      : request_(request), heard_(heard) {}
  void operator()(const std::string& text) {
    last_ = text;
    if (heard_ && request_.say) request_.say(text);
  }
  const std::string& last() const { return last_; }

 private:
  const switch_request& request_;
  bool heard_;
  std::string last_;
};

// Whole milliseconds, rounded up: a wait is never shorter than asked (and
// no libm for one lround).
int milliseconds(double seconds) {
  double ms = seconds * 1000.0;
  int whole = static_cast<int>(ms);
  return whole < ms ? whole + 1 : whole;
}

timespec monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

double seconds_since(const timespec& start) {
  timespec now = monotonic_now();
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

timespec as_timespec(double seconds) {
  timespec t{};
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec =
      static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
  return t;
}

std::string seconds_text(double seconds) {
  char text[32];
  snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// "outlet 3" or "outlets 3 5".
std::string outlet_words(int outlets) {
  bool one = outlets != 0 && (outlets & (outlets - 1)) == 0;
  return (one ? "outlet " : "outlets ") + outlet_numbers(outlets);
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
    case EPERM:
      return head + ": permission denied; " +
             access_advice(read_access_facts(device, access_kind::device));
    case ENOTTY:
      return head + ": not a terminal; give the serial device the box hangs on";
    default: return head + ": " + strerror(error);
  }
}

// How a command changes a box's mask: false when it cannot be worked out
// from what is remembered.
bool new_mask(switch_command command, bool back_on, int outlets, int set_mask,
              const outlet_state& old, int* mask) {
  if (command == switch_command::set) return *mask = set_mask, true;
  bool on = command == switch_command::on || back_on;
  bool off = command == switch_command::off ||
             command == switch_command::cycle_off ||
             (command == switch_command::cycle && !back_on);
  if (on && outlets == 0xff) return *mask = 0xff, true;
  if (off && outlets == 0xff) return *mask = 0, true;
  if (!old.known) return false;
  if (on) *mask = old.mask | outlets;
  if (off) *mask = old.mask & ~outlets;
  if (command == switch_command::toggle) *mask = old.mask ^ outlets;
  return true;
}

// The state file of `adapter`, and what is known in it. A file whose
// identity is another adapter's is never applied: it counts as unknown,
// and that is said, naming both.
outlet_state read_adapter_state(const switch_request& request,
                                const box_target& target,
                                const adapter_name& adapter,
                                const std::string& path, voice& say) {
  std::string problem;
  outlet_state state = read_state(path, &problem);
  if (!problem.empty()) say(problem + "; the state counts as unknown");
  if (state.under_way.pid > 0 && !switching_now(state))
    say(under_way_words(state) +
        "; the outlets count as unknown until the whole box is set");
  if (state.known && !state.identity.empty() &&
      state.identity != adapter.identity) {
    say("the state in " + path + " was set on adapter " + state.identity +
        ", but " + target.device + " leads to " + adapter.identity +
        " now; it counts as unknown");
    state = outlet_state();
  }
  // A file from before adapters were told apart, under the terminal's name:
  // the adapter behind that terminal may have been another.
  std::string old_path =
      state_path(request.state_dir, adapter.terminal, target.address);
  if (!state.known && adapter.by_id && !adapter.terminal.empty() &&
      old_path != path) {
    outlet_state old = read_state(old_path, &problem);
    if (old.known && old.identity != adapter.identity)
      say("the state in " + old_path + " was set on " +
          (old.identity.empty()
               ? "whatever adapter was " + adapter.terminal + " then"
               : "adapter " + old.identity) +
          ", but " + adapter.terminal + " is adapter " + adapter.identity +
          " now; it counts as unknown");
  }
  state.terminal = adapter.terminal;
  state.identity = adapter.identity;
  state.box = target.address;
  return state;
}

// Which part of a cycle a hold of the line is.
enum class phase { plain, cycle_off, cycle_on };

phase phase_of(switch_command command) {
  return command == switch_command::cycle_off  ? phase::cycle_off
         : command == switch_command::cycle_on ? phase::cycle_on
                                               : phase::plain;
}

// The outlets a command changes on a box: all eight for set.
int touched_outlets(const switch_request& r, const box_target& t) {
  return r.command == switch_command::set ? 0xff : t.outlets;
}

// A USB adapter pulled out: its terminal is hung up (EIO), its node gone
// from /dev or left without a device behind it (ENODEV, ENXIO), and a
// transfer under way ends in a USB error. At the open of a cycle's second
// half the path led to the adapter a moment ago, so a missing node means
// the same.
bool adapter_gone(int error, phase part) {
  switch (error) {
    case EIO:
    case ENODEV:
    case ENXIO:
    case EPROTO:
    case ESHUTDOWN: return true;
    case ENOENT: return part == phase::cycle_on;
    default: return false;
  }
}

// "outlet 3 stays off", "outlets 1 2 stay on, outlet 3 stays off": what the
// remembered state says `outlets` hold.
std::string what_stays(const outlet_state& state, int outlets) {
  if (!state.known) return "what the outlets hold is not known";
  std::string text;
  for (bool on : {true, false}) {
    int these = outlets & (on ? state.mask : ~state.mask) & 0xff;
    if (these == 0) continue;
    bool one = (these & (these - 1)) == 0;
    text += (text.empty() ? "" : ", ") + outlet_words(these) +
            (one ? " stays " : " stay ") + (on ? "on" : "off");
  }
  return text;
}

// Where the state of `t`'s box is kept, found without the device: by the
// adapter's identity, or, for a path that leads nowhere now, by the state
// last written through it. "" when there is none.
std::string remembered_path(const switch_request& r, const box_target& t,
                            const adapter_name& adapter) {
  return !adapter.identity.empty()
             ? state_path(r.state_dir, adapter.identity, t.address)
             : find_state_by_device(r.state_dir, t.device, t.address);
}

// The state of `t`'s box as last written, read without opening the device.
outlet_state remembered_state(const switch_request& r, const box_target& t,
                              voice& say) {
  adapter_name adapter = name_adapter(t.device);
  std::string path = remembered_path(r, t, adapter);
  outlet_state state;
  if (!path.empty()) {
    if (adapter.identity.empty()) {
      std::string problem;
      state = read_state(path, &problem);
      adapter.identity = state.identity;
    } else {
      state = read_adapter_state(r, t, adapter, path, say);
    }
  }
  state.terminal = adapter.terminal;
  state.identity = adapter.identity;
  state.box = t.address;
  return state;
}

// One box's line and state. The state is found and read without the
// device, so that whatever refuses a request does so before the line is
// touched (every open of a serial port moves DTR and RTS); the device is
// held from open() to the end of this object's life: signals that would
// end the run are held back from the open to the close, but a wait for a
// busy device lets them through (rs232 sleeps with them unblocked).
class held_line {
 public:
  held_line(const switch_request& request, const box_target& target, voice& say)
      : request_(request), target_(target), say_(say) {
    box_.set_device(target.device.c_str());
    box_.set_wait(milliseconds(request.wait));
    box_.keep_modem_word(true);  // a frame in 61 requests, not 120
    name(name_adapter(target.device));
  }

  // Whether the state can be read before the device is open (the path
  // leads to a terminal, or names an adapter).
  bool knows_state() const { return !adapter_.identity.empty(); }

  // switch_done, or the status of the failure, which has been said.
  int open(phase part) {
    if (box_.open()) {
      name(name_open_adapter(target_.device, box_.terminal_name()));
      return switch_done;
    }
    if (!box_.was_busy()) {
      int error = box_.open_error();
      say_(adapter_gone(error, part) ? gone_at_open(error, part)
                                     : open_failure(target_.device, error));
      return switch_cannot_open;
    }
    std::string holder = describe_holder(box_.busy_holder());
    say_(request_.wait > 0
             ? "gave up waiting for " + target_.device + " after " +
                   seconds_text(request_.wait) + " s: " + holder + " holds it"
             : target_.device + " is held by " + holder);
    return switch_gave_up;
  }

  // The state, what is wrong with it said through `say`.
  outlet_state state(voice& say) {
    return read_adapter_state(request_, target_, adapter_, path_, say);
  }

  // Sends `next.mask` and remembers `next`; `after` is the new state.
  // `sent` tells whether the frame went to the line. The state file marks
  // the switch as under way before the first change reaches the line.
  int send(const outlet_state& old, const outlet_state& next,
           outlet_state* after, bool* sent) {
    *sent = false;
    outlet_state state =
        sent_state(next, target_.device, adapter_.terminal,
                   adapter_.identity, target_.address);
    std::string problem;
    state_change change;
    if (!change.open(path_, true, &problem) ||
        !change.begin(old, state, &problem)) {
      say_(problem + "; nothing was sent");
      return switch_usage_error;
    }
    *sent = true;
    if (!box_.set_outlets(target_.address, next.mask)) {
      change.failed();
      int error = box_.line_error();
      say_((adapter_gone(error, phase::plain)
                ? "the adapter of " + target_.device +
                      " went away in the middle of the frame (" +
                      strerror(error) + ")"
                : "cannot drive the control lines of " + target_.device) +
           "; the outlets may not be switched, and their state is now "
           "unknown");
      *after = outlet_state();
      after->terminal = adapter_.terminal;
      after->identity = adapter_.identity;
      return switch_lines_failed;
    }
    if (!change.done(true, &problem)) {
      change.failed();
      say_(problem +
           "; the outlets were switched, but their state is now "
           "unknown");
      state.known = false;
      *after = state;
      return switch_usage_error;
    }
    *after = state;
    return switch_done;
  }

 private:
  // Nothing was sent: the box holds what the state last written says.
  std::string gone_at_open(int error, phase part) {
    outlet_state held = remembered_state(request_, target_, say_);
    return "the adapter of " + target_.device + " went away" +
           (part == phase::cycle_on ? " during the cycle's pause" : "") +
           " (cannot open it: " + strerror(error) + "); nothing was sent, " +
           what_stays(held, touched_outlets(request_, target_));
  }

  void name(const adapter_name& adapter) {
    adapter_ = adapter;
    if (!adapter_.identity.empty())
      path_ =
          state_path(request_.state_dir, adapter_.identity, target_.address);
  }

  const switch_request& request_;
  const box_target& target_;
  voice& say_;
  held_signals holding_;  // first, so that it outlives the box
  outlet_switch box_;
  adapter_name adapter_;
  std::string path_;
};

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

int refuse_unknown(const box_target& t, voice& say) {
  say("the outlets of " + box_words(t) +
      " are not known (the box cannot be read back); start with 'relkactl "
      "set MASK', 'relkactl on all' or 'relkactl off all'");
  return switch_state_unknown;
}

// Whether `t` can be switched from `old`: 0 and the new mask in `*mask`,
// else why not (a live cycle in `*blocker`, or an unknown state, said).
int decide(const switch_request& r, const box_target& t, phase part,
           const outlet_state& old, voice& say, int* mask, int* blocker) {
  *blocker = cycle_in_the_way(old, touched_outlets(r, t));
  if (*blocker != 0) return switch_gave_up;
  if (!new_mask(r.command, part == phase::cycle_on, t.outlets, r.mask, old,
                mask))
    return refuse_unknown(t, say);
  return switch_done;
}

// One hold of one box's line: read, change, send, write back. What refuses
// the change is decided on the state before the device is opened, and once
// more under the line (another run may have switched in between). A
// command that touches an outlet another run's cycle holds off reports
// that run in `*blocker`.
int switch_once(const switch_request& r, const box_target& t, phase part,
                voice& say, box_outcome* result, int* blocker) {
  int leased = lease_refusal(
      r, t, touched_outlets(r, t), part == phase::cycle_on,
      [&say](const std::string& text) { say(text); }, &result->leased);
  if (leased != switch_done) return leased;
  held_line line(r, t, say);
  int mask = 0;
  const bool looked = line.knows_state();
  if (looked) result->state = line.state(say);
  // A switch under way now is waited for at the line, and decided after.
  if (looked && !switching_now(result->state)) {
    int status = decide(r, t, part, result->state, say, &mask, blocker);
    if (status != switch_done) return status;
  }
  int status = line.open(part);
  if (status != switch_done) return status;
  voice quiet(r, false);  // what was wrong with the state has been said
  outlet_state old = line.state(looked ? quiet : say);
  result->state = old;
  status = decide(r, t, part, old, say, &mask, blocker);
  if (status != switch_done) return status;
  outlet_state next = old;
  next.mask = mask;
  mark_cycles(&next, t.outlets, part);
  bool sent = false;
  status = line.send(old, next, &result->state, &sent);
  if (sent) result->sent.push_back(mask);
  return status;
}

// Wakes a wait when anything in the state folder changes (a cycle's
// outlets coming back on rewrite its file). A folder that cannot be
// watched leaves the slow poll alone.
class state_watch {
 public:
  explicit state_watch(const std::string& folder)
      : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0 &&
        inotify_add_watch(fd_, folder.c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE |
                              IN_DELETE | IN_ONLYDIR) < 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~state_watch() {
    if (fd_ >= 0) close(fd_);
  }
  state_watch(const state_watch&) = delete;
  state_watch& operator=(const state_watch&) = delete;

  // Forgets the changes seen so far: a check of the state follows.
  void drain() {
    char events[4096];
    while (fd_ >= 0 && read(fd_, events, sizeof events) > 0) {
    }
  }

  // Until a change or `seconds`, whichever comes first.
  void wait(double seconds) {
    if (fd_ < 0) {
      timespec pause = as_timespec(seconds);
      nanosleep(&pause, nullptr);
      return;
    }
    pollfd watched = {fd_, POLLIN, 0};
    poll(&watched, 1, milliseconds(seconds));
  }

 private:
  int fd_;
};

// Every caller's machine is off for the whole pause it asked for: while a
// cycle holds an outlet off, a command touching it waits on the state (a
// change in the state folder, or every quarter second for a cycle whose
// process died) and opens the device only once the frame can go.
int switch_when_free(const switch_request& r, const box_target& t, phase part,
                     voice& say, box_outcome* result) {
  const timespec start = monotonic_now();
  state_watch watch(r.state_dir);
  voice quiet(r, false);
  for (int tries = 0;; ++tries) {
    int blocker = 0;
    watch.drain();
    // What is wrong with the state is said once, not at every look.
    int status =
        switch_once(r, t, part, tries == 0 ? say : quiet, result, &blocker);
    if (tries > 0 && blocker == 0 && status != switch_done) say(quiet.last());
    if (blocker == 0) return status;
    double left = r.wait - seconds_since(start);
    if (left <= 0) {
      say("gave up waiting for " + outlet_words(touched_outlets(r, t)) +
          " of " + box_words(t) + " after " + seconds_text(r.wait) +
          " s: " + describe_holder(blocker) + " is power-cycling it");
      return switch_gave_up;
    }
    watch.wait(std::min(left, 0.25));
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

// Off on every box, one pause, on again on every box that went off; a box
// that could not be switched off ends the cycle, and the boxes already off
// are switched back on.
int cycle(const switch_request& r, voice& say, switch_outcome* outcome) {
  int status = switch_done;
  size_t off = 0;
  for (; off < r.targets.size(); ++off) {
    status = switch_when_free(r, r.targets[off], phase::cycle_off, say,
                              &outcome->boxes[off]);
    if (status != switch_done) break;
  }
  int sig = 0;
  double paused = 0;
  if (status == switch_done) {
    const timespec start = monotonic_now();
    sig = cycle_pause(cycle_delay_of(r));
    paused = seconds_since(start);
  }
  for (size_t i = 0; i < off; ++i) {
    int back = switch_when_free(r, r.targets[i], phase::cycle_on, say,
                                &outcome->boxes[i]);
    if (status == switch_done) status = back;
  }
  if (sig == 0 || status != switch_done) return status;
  std::string outlets;
  for (const box_target& t : r.targets)
    outlets += (outlets.empty() ? "" : ", ") +
               (t.names.empty() ? outlet_words(t.outlets) : t.names);
  char took[32];
  snprintf(took, sizeof took, "%.1f", paused);
  say("cycle of " + outlets + " cut short after " + took + " s: back on");
  return 128 + sig;
}

// status and forget need the state, not the device: they work while the
// adapter is unplugged. A path that leads nowhere now is found by the
// state last written through it.
int look(const switch_request& r, const box_target& t, voice& say,
         box_outcome* result) {
  if (r.command == switch_command::forget) {
    std::string path = remembered_path(r, t, name_adapter(t.device));
    std::string problem;
    if (path.empty() || forget_state(path, &problem)) return switch_done;
    say(problem);
    return switch_usage_error;
  }
  result->state = remembered_state(r, t, say);
  return switch_done;
}

}  // namespace

std::string outlet_numbers(int outlets) {
  std::string list;
  for (int outlet = 1; outlet <= 8; ++outlet)
    if ((outlets >> (outlet - 1)) & 1)
      list += (list.empty() ? "" : " ") + std::to_string(outlet);
  return list;
}

std::string box_words(const box_target& t) {
  return t.box_name.empty()
             ? "box " + std::to_string(t.address) + " on " + t.device
             : "box " + t.box_name;
}

void log_request(const switch_request& r, int priority,
                 const std::string& line) {
  openlog(r.client.empty() ? "relka" : r.client.c_str(), LOG_PID, LOG_USER);
  syslog(priority, "%s", log_text(line).c_str());
  closelog();
}

void log_switch(const switch_request& r, const switch_outcome& outcome) {
  log_request(r, outcome.status == switch_done ? LOG_NOTICE : LOG_WARNING,
              switch_log_line(r, outcome));
}

const char* command_name(switch_command command) {
  switch (command) {
    case switch_command::on: return "on";
    case switch_command::off: return "off";
    case switch_command::toggle: return "toggle";
    case switch_command::cycle:
    case switch_command::cycle_off:
    case switch_command::cycle_on: return "cycle";
    case switch_command::set: return "set";
    case switch_command::status: return "status";
    case switch_command::forget: return "forget";
  }
  return "";
}

double cycle_delay_of(const switch_request& r) {
  if (r.delay >= 0) return r.delay;
  double longest = -1;
  for (const box_target& t : r.targets)
    longest = std::max(longest, t.cycle_delay);
  return longest >= 0 ? longest : 2;
}

std::string switch_log_line(const switch_request& r,
                            const switch_outcome& outcome) {
  std::string what = command_name(r.command);
  std::string where, masks;
  for (size_t i = 0; i < r.targets.size(); ++i) {
    const box_target& t = r.targets[i];
    if (r.command == switch_command::set)
      what += " " + mask_hex(r.mask);
    else
      what += " " + (t.names.empty() ? outlet_numbers(t.outlets) : t.names);
    where +=
        (i > 0 ? "; " : "") +
        (t.box_name.empty() ? "box " + std::to_string(t.address) : t.box_name) +
        (r.command == switch_command::set ? ""
                                          : " " + outlet_words(t.outlets)) +
        ", " + t.device;
    std::string sent;
    if (i < outcome.boxes.size()) {
      const std::vector<int>& s = outcome.boxes[i].sent;
      for (size_t k = 0; k < s.size(); ++k) {
        const char* label = "sent ";
        if (r.command == switch_command::cycle_off ||
            (r.command == switch_command::cycle && k == 0))
          label = "off ";
        if (r.command == switch_command::cycle_on ||
            (r.command == switch_command::cycle && k > 0))
          label = "on ";
        sent += (k > 0 ? ", " : "") + std::string(label) + mask_hex(s[k]);
      }
    }
    masks += (i > 0 ? "; " : "") + (sent.empty() ? "nothing sent" : sent);
  }
  std::string result = outcome.status == switch_done
                           ? "done"
                           : "failed with status " +
                                 std::to_string(outcome.status) + ": " +
                                 outcome.error;
  return (r.who.empty() ? "?" : r.who) + ": " + what + " (" + where +
         "): " + masks + ": " + result;
}

switch_outcome run_switch(const switch_request& r) {
  voice say(r);
  switch_outcome outcome;
  for (const box_target& t : r.targets) {
    box_outcome result;
    result.target = t;
    outcome.boxes.push_back(result);
  }
  bool changes = r.command != switch_command::status &&
                 r.command != switch_command::forget;
  phase part = phase_of(r.command);
  if (r.command == switch_command::cycle) {
    outcome.status = cycle(r, say, &outcome);
  } else {
    for (size_t i = 0; i < r.targets.size(); ++i) {
      outcome.status = changes ? switch_when_free(r, r.targets[i], part, say,
                                                  &outcome.boxes[i])
                               : look(r, r.targets[i], say, &outcome.boxes[i]);
      if (outcome.status != switch_done) break;
    }
  }
  outcome.error = say.last();
  if (changes && r.log) log_switch(r, outcome);
  return outcome;
}

namespace {

// What one frame for a batch carries, worked out from `state`: the
// requests taken in order (each from the mask the ones before left), those
// refused (state unknown; those `leased` were refused already), or, where
// another process's cycle is in the way of one, none: they then run one
// by one.
struct batch_plan {
  bool one_by_one = false;
  std::vector<size_t> taken, refused;
  outlet_state state;
};

batch_plan plan_batch(const std::vector<switch_request>& requests,
                      const std::vector<bool>& leased, outlet_state state) {
  batch_plan plan;
  for (const switch_request& r : requests)
    plan.one_by_one |=
        cycle_in_the_way(state, touched_outlets(r, r.targets[0])) != 0;
  for (size_t i = 0; i < requests.size() && !plan.one_by_one; ++i) {
    if (leased[i]) continue;
    const switch_request& r = requests[i];
    const box_target& t = r.targets.front();
    int mask = 0;
    phase part = phase_of(r.command);
    if (!new_mask(r.command, part == phase::cycle_on, t.outlets, r.mask, state,
                  &mask)) {
      plan.refused.push_back(i);
      continue;
    }
    state.known = true;
    state.mask = mask;
    mark_cycles(&state, t.outlets, part);
    plan.taken.push_back(i);
  }
  plan.state = state;
  return plan;
}

// The one frame of a batch's plan, and what it left for each request
// taken.
void send_batch(held_line& line, const outlet_state& old,
                const batch_plan& plan, voice& say,
                std::vector<switch_outcome>* outcomes) {
  outlet_state after;
  bool sent = false;
  int status = line.send(old, plan.state, &after, &sent);
  for (size_t i : plan.taken) {
    switch_outcome& o = (*outcomes)[i];
    o.status = status;
    o.boxes.front().state = after;
    if (sent) o.boxes.front().sent.push_back(plan.state.mask);
    if (status != switch_done) o.error = say.last();
  }
}

}  // namespace

std::vector<switch_outcome> run_switch_batch(
    const std::vector<switch_request>& requests) {
  std::vector<switch_outcome> outcomes(requests.size());
  if (requests.empty()) return outcomes;
  const switch_request& first = requests.front();
  const box_target& target = first.targets.front();
  std::vector<std::unique_ptr<voice>> voices;
  for (const switch_request& r : requests) {
    voices.push_back(std::make_unique<voice>(r));
    box_outcome result;
    result.target = r.targets.front();
    outcomes[voices.size() - 1].boxes.push_back(result);
  }
  std::vector<bool> leased(requests.size());
  for (size_t i = 0; i < requests.size(); ++i) {
    voice& say = *voices[i];
    outcomes[i].status = lease_refusal(
        requests[i], requests[i].targets.front(),
        touched_outlets(requests[i], requests[i].targets.front()),
        phase_of(requests[i].command) == phase::cycle_on,
        [&say](const std::string& text) { say(text); },
        &outcomes[i].boxes.front().leased);
    leased[i] = outcomes[i].status != switch_done;
  }
  batch_plan plan;
  // A line is never opened for requests that are all refused.
  if (std::find(leased.begin(), leased.end(), false) != leased.end()) {
    held_line line(first, target, *voices.front());
    voice quiet(first, false);
    // Decided on the state first: nothing to send opens nothing.
    bool worth_opening = true;
    outlet_state old;
    const bool looked = line.knows_state();
    if (looked) {
      old = line.state(*voices.front());
      // A switch under way now is waited for at the line, and planned after.
      if (!switching_now(old)) {
        plan = plan_batch(requests, leased, old);
        worth_opening = !plan.one_by_one && !plan.taken.empty();
      }
    }
    int status =
        worth_opening ? line.open(phase_of(first.command)) : switch_done;
    if (status != switch_done) {
      plan = batch_plan();
      for (size_t i = 0; i < requests.size(); ++i) {
        if (leased[i]) continue;
        outcomes[i].status = status;
        outcomes[i].error = voices.front()->last();
      }
    } else if (worth_opening) {
      old = line.state(looked ? quiet : *voices.front());
      plan = plan_batch(requests, leased, old);
    }
    for (size_t i : plan.refused)
      outcomes[i].status = refuse_unknown(requests[i].targets[0], *voices[i]);
    if (!plan.taken.empty() && !plan.one_by_one)
      send_batch(line, old, plan, *voices[plan.taken.front()], &outcomes);
  }
  for (size_t i = 0; i < requests.size(); ++i) {
    // Those refused for a lease keep that outcome; the others run alone.
    if (plan.one_by_one && !leased[i]) {
      outcomes[i] = run_switch(requests[i]);
      continue;
    }
    if (outcomes[i].error.empty()) outcomes[i].error = voices[i]->last();
    if (requests[i].log) log_switch(requests[i], outcomes[i]);
  }
  return outcomes;
}
