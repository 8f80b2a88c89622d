// SPDX-License-Identifier: MIT
// One worker thread per serial line: the switching requests for one line go
// out one after the other, in the order they came, and different lines are
// switched at the same time. What has queued up for one box while its line
// was busy goes out together: one hold of the line, each request's change
// in its order, one frame (a box is set whole, so one frame carries them
// all), and each caller gets the state that frame left.
//
// A cycle's pause is kept by the caller, not by the worker, so a line is
// busy only for its frames. While a cycle of this service holds an outlet
// off, other requests for that outlet wait for it here (the state file's
// cycle marks name this process, so they cannot tell our own cycles apart).
#ifndef RELKA_RELKAD_LINE_WORKERS_H_
#define RELKA_RELKAD_LINE_WORKERS_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control/switch_core.h"

class line_workers {
 public:
  line_workers() = default;
  // Finishes what is queued, then joins every worker.
  ~line_workers();
  line_workers(const line_workers&) = delete;
  line_workers& operator=(const line_workers&) = delete;

  // Runs `request` (all its targets on one line) on that line's worker and
  // waits for its outcome.
  switch_outcome run(const switch_request& request);

  // A whole cycle of one box's outlets: off, the pause (`delay` seconds,
  // ended early by stop()), on. Waits first, up to the request's wait, for
  // cycles of this service that hold any of those outlets; takes them for
  // its own pause.
  switch_outcome cycle(const switch_request& request, double delay);

  // For any request that touches outlets: false when a cycle of this
  // service still held one of them after `wait` seconds.
  bool wait_for_cycles(const box_target& target, int outlets, double wait);

  // Ends the pauses under way (their outlets go back on at once) and makes
  // new ones end at once.
  void stop();

 private:
  struct job {
    switch_request request;
    std::promise<switch_outcome> done;
  };
  struct worker {
    std::thread thread;
    std::deque<std::unique_ptr<job>> jobs;
    bool closing = false;
  };
  using box_key = std::pair<std::string, int>;

  void serve(worker* line);
  // What `jobs` ask, box by box; an exception fails its box's callers
  // (their `done` rethrows it), never the worker.
  static void run_together(std::vector<std::unique_ptr<job>>& jobs);
  static void run_box(const std::vector<job*>& box);
  void release_cycle(const box_key& box, int outlets);
  // Waits, holding `hold` on mutex_, up to `wait` seconds until no cycle of
  // this service holds any of `outlets` of `target`.
  bool free_of_cycles(std::unique_lock<std::mutex>& hold,
                      const box_target& target, int outlets, double wait);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::unique_ptr<worker>> lines_;
  std::map<box_key, int> cycling_;  // outlets held off by our cycles
  bool stopping_ = false;
};

#endif  // RELKA_RELKAD_LINE_WORKERS_H_
