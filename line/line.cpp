#include "line.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "attempt.h"
#include "net.h"
#include "wakeup.h"

namespace {

class line {
 public:
  line(const plan &p, line_state *state, const line_observer &observer)
      : p_(p), state_(state), observer_(observer) {
    state_->outcomes.assign(p.boards.size(), std::vector<step_outcome>(p.steps.size()));
    state_->progress.assign(p.boards.size(), board_progress{});
    workers_.reserve(p.boards.size());
    for (size_t b = 0; b < p.boards.size(); ++b) workers_.emplace_back(p, b, state, observer);
  }

  void run();

 private:
  void start_boards(int64_t now);
  [[nodiscard]] size_t at_work() const;
  [[nodiscard]] int poll_timeout(int64_t now) const;
  void gather(std::vector<pollfd> *fds, std::vector<size_t> *owners) const;
  void dispatch(const std::vector<pollfd> &fds, const std::vector<size_t> &owners, int64_t now);

  const plan &p_;
  line_state *state_;
  const line_observer &observer_;
  std::vector<board_worker> workers_;
  size_t next_ = 0;       // the first board not started
  bool stopped_ = false;  // a second interrupt stopped the steps at work
};

size_t line::at_work() const {
  return static_cast<size_t>(std::count_if(workers_.begin(), workers_.end(),
                                           [](const board_worker &w) { return w.at_work(); }));
}

void line::start_boards(int64_t now) {
  size_t active = at_work();
  while (state_->interrupts == 0 && active < p_.opt.jobs && next_ < workers_.size()) {
    board_worker &w = workers_[next_++];
    w.begin(now);
    // A board can finish at once: its name did not resolve.
    if (w.at_work()) ++active;
  }
}

int line::poll_timeout(int64_t now) const {
  int64_t next = std::accumulate(
      workers_.begin(), workers_.end(), now + std::max(1, observer_.tick_ms),
      [now](int64_t soonest, const board_worker &w) { return w.wake_time(now, soonest); });
  return static_cast<int>(std::clamp<int64_t>(next - now, 0, LOOK_MS));
}

// The poll set: the wake-up pipe first, then every board that waits for its
// socket, *owners saying which.
void line::gather(std::vector<pollfd> *fds, std::vector<size_t> *owners) const {
  fds->clear();
  owners->clear();
  fds->push_back({wakeup_fd(), POLLIN, 0});
  for (size_t b = 0; b < workers_.size(); ++b) {
    short events = workers_[b].events();
    if (events == 0) continue;
    fds->push_back({workers_[b].sock(), events, 0});
    owners->push_back(b);
  }
}

void line::dispatch(const std::vector<pollfd> &fds, const std::vector<size_t> &owners,
                    int64_t now) {
  if ((fds[0].revents & POLLIN) != 0) drain_wakeup();
  for (size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents != 0) workers_[owners[i - 1]].on_ready(fds[i].revents, now);
  }
}

void line::run() {
  std::vector<pollfd> fds;
  std::vector<size_t> owners;
  int64_t last_tick = monotonic_ms();
  for (;;) {
    int64_t now = monotonic_ms();
    state_->interrupts = wakeup_signals_seen();
    if (state_->interrupts >= 2 && !stopped_) {
      stopped_ = true;
      for (board_worker &w : workers_) w.stop(now);
    }
    start_boards(now);
    if (at_work() == 0) break;
    gather(&fds, &owners);
    int ready = poll(fds.data(), fds.size(), poll_timeout(now));
    if (ready < 0 && errno != EINTR) {
      perror("kesp-batch: poll");
      abort();
    }
    now = monotonic_ms();
    if (ready > 0) dispatch(fds, owners, now);
    for (board_worker &w : workers_) w.look(now);
    if (observer_.tick && now - last_tick >= observer_.tick_ms) {
      last_tick = now;
      observer_.tick();
    }
  }
  // Boards that never started, after an interrupt.
  for (board_worker &w : workers_) {
    if (w.never_started()) w.skip("not run: interrupted");
  }
}

}  // namespace

void run_line(const plan &p, line_state *state, const line_observer &observer) {
  line l(p, state, observer);
  l.run();
}
