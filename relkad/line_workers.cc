// SPDX-License-Identifier: MIT
#include "relkad/line_workers.h"

#include <chrono>

line_workers::~line_workers() {
  stop();
  std::map<std::string, std::unique_ptr<worker>> lines;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& [device, line] : lines_) line->closing = true;
    lines.swap(lines_);
  }
  changed_.notify_all();
  for (auto& [device, line] : lines)
    if (line->thread.joinable()) line->thread.join();
}

namespace {

// A request of one box that changes outlets: one that may share a frame.
bool joins_others(const switch_request& r) {
  return r.targets.size() == 1 && r.command != switch_command::status &&
         r.command != switch_command::forget &&
         r.command != switch_command::cycle;
}

bool same_box(const switch_request& a, const switch_request& b) {
  return joins_others(a) && joins_others(b) &&
         a.targets[0].device == b.targets[0].device &&
         a.targets[0].address == b.targets[0].address;
}

}  // namespace

void line_workers::run_together(std::vector<std::unique_ptr<job>>& jobs) {
  // By box, in the order each box first came; the requests of a box keep
  // theirs.
  std::vector<std::vector<job*>> boxes;
  for (std::unique_ptr<job>& j : jobs) {
    std::vector<job*>* same = nullptr;
    for (std::vector<job*>& box : boxes)
      if (same_box(box.front()->request, j->request)) same = &box;
    if (same != nullptr)
      same->push_back(j.get());
    else
      boxes.push_back({j.get()});
  }
  for (std::vector<job*>& box : boxes) {
    try {
      run_box(box);
    } catch (...) {
      // The callers get the exception (their request fails with 500); the
      // worker, and the line, go on.
      for (job* j : box) {
        try {
          j->done.set_exception(std::current_exception());
        } catch (const std::future_error&) {  // answered already
        }
      }
    }
  }
}

void line_workers::run_box(const std::vector<job*>& box) {
  if (box.size() == 1) {
    box.front()->done.set_value(run_switch(box.front()->request));
    return;
  }
  std::vector<switch_request> requests;
  requests.reserve(box.size());
  for (job* j : box) requests.push_back(j->request);
  std::vector<switch_outcome> outcomes = run_switch_batch(requests);
  for (size_t i = 0; i < box.size(); ++i)
    box[i]->done.set_value(std::move(outcomes[i]));
}

void line_workers::serve(worker* line) {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    changed_.wait(hold,
                  [line] { return line->closing || !line->jobs.empty(); });
    if (line->jobs.empty()) return;  // closing, and nothing left
    std::vector<std::unique_ptr<job>> jobs;
    while (!line->jobs.empty()) {
      jobs.push_back(std::move(line->jobs.front()));
      line->jobs.pop_front();
    }
    hold.unlock();
    run_together(jobs);
    hold.lock();
  }
}

switch_outcome line_workers::run(const switch_request& request) {
  const std::string device =
      request.targets.empty() ? "" : request.targets.front().device;
  auto pending = std::make_unique<job>();
  pending->request = request;
  std::future<switch_outcome> done = pending->done.get_future();
  {
    std::lock_guard<std::mutex> hold(mutex_);
    std::unique_ptr<worker>& line = lines_[device];
    if (!line) {  // a thread that cannot be made leaves no worker behind
      auto made = std::make_unique<worker>();
      made->thread = std::thread(&line_workers::serve, this, made.get());
      line = std::move(made);
    }
    line->jobs.push_back(std::move(pending));
  }
  changed_.notify_all();
  return done.get();
}

bool line_workers::wait_for_cycles(const box_target& target, int outlets,
                                   double wait) {
  std::unique_lock<std::mutex> hold(mutex_);
  return free_of_cycles(hold, target, outlets, wait);
}

bool line_workers::free_of_cycles(std::unique_lock<std::mutex>& hold,
                                  const box_target& target, int outlets,
                                  double wait) {
  const box_key box{target.device, target.address};
  return changed_.wait_for(hold, std::chrono::duration<double>(wait), [&] {
    auto held = cycling_.find(box);
    return held == cycling_.end() || (held->second & outlets) == 0;
  });
}

void line_workers::release_cycle(const box_key& box, int outlets) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    int& held = cycling_[box];
    held &= ~outlets;
    if (held == 0) cycling_.erase(box);
  }
  changed_.notify_all();
}

switch_outcome line_workers::cycle(const switch_request& request,
                                   double delay) {
  const box_target& target = request.targets.front();
  const box_key box{target.device, target.address};
  {
    std::unique_lock<std::mutex> hold(mutex_);
    if (!free_of_cycles(hold, target, target.outlets, request.wait)) {
      switch_outcome busy;
      busy.status = switch_gave_up;
      busy.error =
          "gave up waiting: another cycle of these outlets is under "
          "way";
      return busy;
    }
    cycling_[box] |= target.outlets;
  }
  // The mark goes on every path, an exception's too: left behind, it would
  // keep these outlets from every later request.
  struct mark_release {
    line_workers* self;
    box_key box;
    int outlets;
    ~mark_release() { self->release_cycle(box, outlets); }
  } release{this, box, target.outlets};
  switch_request off = request;
  off.command = switch_command::cycle_off;
  off.log = false;
  switch_outcome outcome = run(off);
  if (outcome.status != switch_done) return outcome;
  {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait_for(hold, std::chrono::duration<double>(delay),
                      [this] { return stopping_; });
  }
  switch_request on = request;
  on.command = switch_command::cycle_on;
  on.log = false;
  switch_outcome back = run(on);
  // One outcome for the whole cycle: both masks, the last word.
  for (size_t i = 0; i < back.boxes.size() && i < outcome.boxes.size(); ++i)
    back.boxes[i].sent.insert(back.boxes[i].sent.begin(),
                              outcome.boxes[i].sent.begin(),
                              outcome.boxes[i].sent.end());
  return back;
}

void line_workers::stop() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}
