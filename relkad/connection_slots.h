// SPDX-License-Identifier: MIT
// Who may hold relkad's connections. relkad accepts every connection
// itself (one thread), keeps a slot for each, and only then hands it to
// the HTTP library; so a limit is never a lock-out:
//
// - A request must arrive whole within `request_timeout` of the accept (or
//   of the answer before it, on a kept-alive connection), however slowly
//   its bytes trickle in; past that it is closed (408 when it had not yet
//   been answered at all).
// - A connection is authenticated once a whole request on it showed the
//   token (any whole request, when the service asks for none). The others
//   may hold at most `capacity - reserve` slots: beyond that a newcomer
//   takes the slot of the oldest one not being answered (once it has had
//   a quarter of a second to send its request, so that a burst of quick
//   clients does not push itself out), and the last `reserve` slots stay
//   for clients that show the token.
// - When every slot is taken, a newcomer takes the place of the oldest
//   connection not being answered, unauthenticated first, then one idle
//   between requests. One whose request had not arrived whole gets
//   "503 Service Unavailable" with "Retry-After: 1" on its way out.
// - When every slot is being answered, the newcomer itself gets that 503
//   and is closed once it has sent its request or a second has passed:
//   an answer, never a reset.
//
// A slot keeps its own duplicate of the socket: the HTTP library closes
// its descriptor when it likes, and a shutdown through ours can never
// reach a later connection that reused the number.
#ifndef RELKA_RELKAD_CONNECTION_SLOTS_H_
#define RELKA_RELKAD_CONNECTION_SLOTS_H_

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct slot_limits {
  int capacity = 64;
  int reserve = 16;            // slots kept for authenticated clients
  double request_timeout = 5;  // seconds for a whole request
};

// The most connections ever handed to the HTTP library at once (those let
// go of but not yet closed by it included): its own limit must be above.
inline int max_handed_over(const slot_limits& limits) {
  return 2 * limits.capacity;
}

// Raises the soft limit of open descriptors (towards the hard one) to what
// `limits` can need: two a connection handed over, and those refused.
void allow_descriptors(const slot_limits& limits);

class connection_slots {
 public:
  // Hands an accepted socket to the HTTP library (which then owns and
  // closes it); false when it could not take it.
  using hand_over =
      std::function<bool(int fd, const sockaddr* peer, socklen_t size)>;

  explicit connection_slots(slot_limits limits);
  // Stops accepting; closes every descriptor of ours.
  ~connection_slots();
  connection_slots(const connection_slots&) = delete;
  connection_slots& operator=(const connection_slots&) = delete;

  // Accepts on `listener` (which this object then owns) in a thread of its
  // own, which also closes connections past their deadline.
  bool start(int listener, hand_over give);
  // Stops accepting and closes the listening socket.
  void stop_accepting();

  // The HTTP library's view. `started` binds its connection on `fd` to a
  // slot (the id goes into the connection's socket context); `closed`
  // frees it.
  std::uint64_t started(int fd);
  void closed(std::uint64_t id);
  // A whole request arrived: false when the connection was let go of (or
  // relkad is stopping) and must not be answered.
  bool request_arrived(std::uint64_t id, bool authenticated);
  // Its answer has gone out: the connection is idle until the next one.
  void answered(std::uint64_t id);

  // For the stop: closes every connection that is not being answered,
  // refuses new requests, and waits up to `seconds` for the answers under
  // way. False when some were still under way.
  bool finish(double seconds);

 private:
  struct counts {
    int evicted = 0;  // connections let go of to make room
    int refused = 0;  // newcomers answered 503
    int timed_out = 0;
  };
  using clock = std::chrono::steady_clock;
  enum class phase { waiting, answering, idle };
  struct slot {
    int fd = -1;  // our duplicate
    int mhd_fd = -1;
    bool bound = false;  // the HTTP library has started it
    bool authenticated = false;
    bool gone = false;  // let go of: shut down, no longer counted
    phase state = phase::waiting;
    clock::time_point since;
  };
  struct refused_socket {
    int fd;
    clock::time_point until;
  };

  void accept_loop();
  void accept_one();
  bool admit(int fd, std::uint64_t* id);
  bool make_room(bool any_kind, clock::time_point born_by);
  // How long a newcomer has before it counts against its share.
  double grace() const { return std::min(0.25, limits_.request_timeout / 4); }
  void let_go(slot& s, const std::string* answer);
  void reap(clock::time_point now);
  void refuse(int fd);
  void drain_refused(const std::vector<int>& readable, clock::time_point now);
  void log_counts(clock::time_point now, bool always);

  slot_limits limits_;
  hand_over give_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable quiet_;
  std::map<std::uint64_t, slot> slots_;  // by id, oldest first
  std::uint64_t next_id_ = 1;
  bool finishing_ = false;
  std::vector<refused_socket> refused_;  // the accept thread's alone
  clock::time_point resume_accepting_;   // the accept thread's alone
  counts totals_;
  counts logged_;
  clock::time_point last_log_;
};

#endif  // RELKA_RELKAD_CONNECTION_SLOTS_H_
