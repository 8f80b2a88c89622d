// SPDX-License-Identifier: MIT
#include "relkad/connection_slots.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "relkad/answers.h"

namespace {

// Written on the socket as it is, without the HTTP library.
std::string plain_answer(int status, const char* status_line, const char* extra,
                         const std::string& error) {
  std::string body = error_answer(status, error).body;
  return std::string("HTTP/1.1 ") + status_line + "\r\n" + extra +
         "Content-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) +
         "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + body;
}

const std::string kBusy =
    plain_answer(503, "503 Service Unavailable", "Retry-After: 1\r\n",
                 "every connection is taken; try again");
const std::string kLate = plain_answer(
    408, "408 Request Timeout", "", "the request did not arrive whole in time");

constexpr int kTickMs = 100;          // the reaper's resolution
constexpr double kLingerSeconds = 1;  // a refused socket, read and dropped
constexpr size_t kMaxLingering = 64;

void send_now(int fd, const std::string& text) {
  // Best effort: a socket that cannot take it at once is closed anyway.
  (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

double seconds_between(std::chrono::steady_clock::time_point a,
                       std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

void allow_descriptors(const slot_limits& limits) {
  rlimit open_files{};
  if (getrlimit(RLIMIT_NOFILE, &open_files) != 0) return;
  rlim_t wanted = 2 * static_cast<rlim_t>(max_handed_over(limits)) +
                  kMaxLingering + 256;  // lines, lock and state files, logs
  if (open_files.rlim_cur >= wanted) return;
  open_files.rlim_cur = std::min(wanted, open_files.rlim_max);
  setrlimit(RLIMIT_NOFILE, &open_files);
}

connection_slots::connection_slots(slot_limits limits) : limits_(limits) {}

connection_slots::~connection_slots() {
  stop_accepting();
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto& [id, s] : slots_) close(s.fd);
  slots_.clear();
}

bool connection_slots::start(int listener, hand_over give) {
  listener_ = listener;
  give_ = std::move(give);
  last_log_ = clock::now();
  int flags = fcntl(listener_, F_GETFL);
  if (flags < 0 || fcntl(listener_, F_SETFL, flags | O_NONBLOCK) != 0 ||
      pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
    return false;
  acceptor_ = std::thread(&connection_slots::accept_loop, this);
  return true;
}

void connection_slots::stop_accepting() {
  if (acceptor_.joinable()) {
    // A full pipe wakes the thread as well as the byte would.
    [[maybe_unused]] ssize_t woken = write(wake_[1], "x", 1);
    acceptor_.join();
  }
  for (int* fd : {&listener_, &wake_[0], &wake_[1]})
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  for (const refused_socket& r : refused_) close(r.fd);
  refused_.clear();
}

void connection_slots::accept_loop() {
  for (;;) {
    // Out of descriptors, the listener stays readable: it rests a tick.
    bool resting = clock::now() < resume_accepting_;
    std::vector<pollfd> watched = {{wake_[0], POLLIN, 0},
                                   {resting ? -1 : listener_, POLLIN, 0}};
    for (const refused_socket& r : refused_)
      watched.push_back({r.fd, POLLIN, 0});
    if (poll(watched.data(), watched.size(), kTickMs) < 0 && errno != EINTR)
      return;
    if (watched[0].revents != 0) {
      log_counts(clock::now(), true);
      return;
    }
    std::vector<int> readable;
    for (size_t i = 2; i < watched.size(); ++i)
      if (watched[i].revents != 0) readable.push_back(watched[i].fd);
    clock::time_point now = clock::now();
    drain_refused(readable, now);
    if (watched[1].revents != 0) accept_one();
    reap(now);
    log_counts(now, false);
  }
}

void connection_slots::accept_one() {
  // Up to a capacity's worth at a time, so that the reaper still runs.
  for (int i = 0; i < limits_.capacity; ++i) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size,
                     SOCK_CLOEXEC);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
                   errno == ENOMEM))
      resume_accepting_ = clock::now() + std::chrono::milliseconds(kTickMs);
    if (fd < 0) return;
    std::uint64_t id = 0;
    if (!admit(fd, &id)) {
      refuse(fd);
      continue;
    }
    // The library closes fd whatever happens; our duplicate is ours.
    if (!give_(fd, reinterpret_cast<sockaddr*>(&peer), size)) closed(id);
  }
}

bool connection_slots::admit(int fd, std::uint64_t* id) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (finishing_) return false;
  auto count = [this](bool unauthenticated_only) {
    int n = 0;
    for (const auto& [key, s] : slots_)
      n += !s.gone && !(unauthenticated_only && s.authenticated);
    return n;
  };
  // Beyond their share, unauthenticated connections make room once they
  // have had a moment to send their request; with every slot taken, the
  // oldest that is not being answered goes, whatever its age.
  clock::time_point now = clock::now();
  if (count(true) >= limits_.capacity - limits_.reserve)
    make_room(false, now - std::chrono::duration_cast<clock::duration>(
                               std::chrono::duration<double>(grace())));
  if (count(false) >= limits_.capacity && !make_room(true, now)) return false;
  // Those let go of count until the library has closed them: it must
  // never reach its own limit (max_handed_over), which resets.
  if (slots_.size() >= static_cast<size_t>(max_handed_over(limits_)) - 1)
    return false;
  slot s;
  s.fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (s.fd < 0) return false;
  s.mhd_fd = fd;
  s.since = now;
  *id = next_id_++;
  slots_.emplace(*id, s);
  return true;
}

// Lets go of the oldest connection not being answered, accepted (or last
// answered) by `born_by`: an unauthenticated one, or with `any_kind` an
// authenticated one idle between requests.
bool connection_slots::make_room(bool any_kind, clock::time_point born_by) {
  for (bool authenticated : {false, true}) {
    if (authenticated && !any_kind) break;
    for (auto& [id, s] : slots_) {
      if (s.gone || s.state == phase::answering ||
          s.authenticated != authenticated || s.since > born_by)
        continue;
      let_go(s, s.state == phase::waiting ? &kBusy : nullptr);
      ++totals_.evicted;
      return true;
    }
  }
  return false;
}

void connection_slots::let_go(slot& s, const std::string* answer) {
  if (answer != nullptr) send_now(s.fd, *answer);
  shutdown(s.fd, SHUT_RDWR);  // the library sees the end and closes
  s.gone = true;
}

void connection_slots::reap(clock::time_point now) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto& [id, s] : slots_) {
    if (s.gone || s.state == phase::answering ||
        seconds_between(s.since, now) < limits_.request_timeout)
      continue;
    let_go(s, s.state == phase::waiting ? &kLate : nullptr);
    ++totals_.timed_out;
  }
}

void connection_slots::refuse(int fd) {
  send_now(fd, kBusy);
  shutdown(fd, SHUT_WR);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++totals_.refused;
  }
  // Closed only once the client's request is read (or a second passed):
  // a close with unread data would reset the connection, answer and all.
  if (refused_.size() >= kMaxLingering) {
    close(fd);
    return;
  }
  refused_.push_back(
      {fd, clock::now() + std::chrono::milliseconds(
                              static_cast<int>(kLingerSeconds * 1000))});
}

void connection_slots::drain_refused(const std::vector<int>& readable,
                                     clock::time_point now) {
  for (int fd : readable) {
    char scrap[4096];
    ssize_t n = recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) continue;
    for (refused_socket& r : refused_)
      if (r.fd == fd) r.until = now;  // the client is done
  }
  for (size_t i = 0; i < refused_.size();) {
    if (refused_[i].until > now) {
      ++i;
      continue;
    }
    close(refused_[i].fd);
    refused_[i] = refused_.back();
    refused_.pop_back();
  }
}

// One syslog line a second at most, with what was let go of or refused
// since the last one.
void connection_slots::log_counts(clock::time_point now, bool always) {
  counts now_counts;
  int held = 0;  // slots taken now
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!always && seconds_between(last_log_, now) < 1) return;
    now_counts = totals_;
    for (const auto& [id, s] : slots_) held += !s.gone;
  }
  int evicted = now_counts.evicted - logged_.evicted;
  int refused = now_counts.refused - logged_.refused;
  int late = now_counts.timed_out - logged_.timed_out;
  last_log_ = now;
  logged_ = now_counts;
  if (evicted == 0 && refused == 0 && late == 0) return;
  openlog("relkad", LOG_PID, LOG_USER);
  syslog(LOG_WARNING,
         "connections: %d let go of to make room, %d refused with 503, %d "
         "past the %g s request deadline (%d of %d slots taken)",
         evicted, refused, late, limits_.request_timeout, held,
         limits_.capacity);
  closelog();
}

std::uint64_t connection_slots::started(int fd) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto& [id, s] : slots_)
    if (s.mhd_fd == fd && !s.bound) {
      s.bound = true;
      return id;
    }
  return 0;
}

void connection_slots::closed(std::uint64_t id) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = slots_.find(id);
    if (found == slots_.end()) return;
    close(found->second.fd);
    slots_.erase(found);
  }
  quiet_.notify_all();
}

bool connection_slots::request_arrived(std::uint64_t id, bool authenticated) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = slots_.find(id);
  if (found == slots_.end()) return !finishing_;
  slot& s = found->second;
  if (s.gone) return false;
  s.state = phase::answering;
  s.authenticated = s.authenticated || authenticated;
  return true;
}

void connection_slots::answered(std::uint64_t id) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = slots_.find(id);
    if (found == slots_.end()) return;
    found->second.state = phase::idle;
    found->second.since = clock::now();
    if (finishing_ && !found->second.gone) let_go(found->second, nullptr);
  }
  quiet_.notify_all();
}

bool connection_slots::finish(double seconds) {
  stop_accepting();
  std::unique_lock<std::mutex> hold(mutex_);
  finishing_ = true;
  for (auto& [id, s] : slots_)
    if (!s.gone && s.state != phase::answering)
      let_go(s, s.state == phase::waiting ? &kBusy : nullptr);
  return quiet_.wait_for(hold, std::chrono::duration<double>(seconds), [this] {
    for (const auto& [id, s] : slots_)
      if (!s.gone && s.state == phase::answering) return false;
    return true;
  });
}
