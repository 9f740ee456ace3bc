#include "station.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "attempt.h"
#include "net.h"
#include "reach.h"
#include "wakeup.h"

namespace {

// What a slot knows of its address between units.
struct probe_state {
  int sock = -1;            // a try in flight, or -1
  int64_t began = 0;        // when it began
  int64_t deadline = 0;     // when it has found nobody
  int64_t next = 0;         // when the next try is due
  int64_t link_changes = -1;  // the interface's carrier changes at the last look; -1 unknown
};

// The next instant on the station's common grid of tries.
int64_t next_try(int64_t now) { return (now / PROBE_MS + 1) * PROBE_MS; }

// Operator's releases asked for, counted by a signal handler among others.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
std::atomic<unsigned> releases{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);

void count_release(int /*signal*/) { ask_release(); }

// A small number the kernel keeps in a file of /sys; -1 when it cannot be read
// (an interface that is down answers EINVAL for its carrier).
int64_t read_sys_number(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[32] = {};
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return -1;
  char *end = nullptr;
  long long v = strtoll(text, &end, 10);
  return end == text ? -1 : v;
}

// What the link of a slot's interface says of its board: a fixture port
// whose board is pulled loses its carrier, and a board swapped in faster
// than a try's period still leaves the link's count of changes moved.
struct link_look {
  int64_t carrier = -1;  // 1 up, 0 down, -1 unknown
  int64_t changes = -1;  // carrier changes since the interface came up; -1 unknown
};

link_look look_at_link(const std::string &iface) {
  const std::string dir = "/sys/class/net/" + iface + "/";
  return {.carrier = read_sys_number(dir + "carrier"),
          .changes = read_sys_number(dir + "carrier_changes")};
}

class station {
 public:
  station(const plan &p, station_state *state, const station_observer &observer, unit_gate *gate)
      : p_(p), state_(state), observer_(observer), gate_(gate) {
    size_t slots = p.boards.size();
    state_->line.outcomes.assign(slots, std::vector<step_outcome>(p.steps.size()));
    state_->line.progress.assign(slots, board_progress{});
    state_->slots.assign(slots, slot_status{});
    inner_.step_ended = [this](size_t slot, size_t step) {
      if (observer_.step_ended) observer_.step_ended(slot, step);
    };
    inner_.board_ended = [this](size_t slot) { unit_over(slot); };
    workers_.reserve(slots);
    for (size_t s = 0; s < slots; ++s) workers_.emplace_back(p, s, &state_->line, inner_);
    probes_.assign(slots, probe_state{});
    held_.assign(slots, -1);
    held_until_.assign(slots, 0);
    for (const passed_before &b : state_->passed) {
      if (b.slot >= slots) continue;
      slot_status &st = state_->slots[b.slot];
      st.phase = slot_phase::leaving;
      st.unit = b.unit;
      st.serial = b.serial;
      st.earlier = true;
    }
  }
  ~station() {
    for (const probe_state &pr : probes_) {
      if (pr.sock >= 0) close(pr.sock);
    }
    for (int sock : held_) {
      if (sock >= 0) close(sock);
    }
  }
  station(const station &) = delete;
  station &operator=(const station &) = delete;
  station(station &&) = delete;
  station &operator=(station &&) = delete;

  void run();

 private:
  [[nodiscard]] bool taking_units() const;
  [[nodiscard]] size_t at_work() const;
  void start_unit(size_t slot, int sock, uint64_t unit, int64_t now);
  void admit(size_t slot, int sock, int64_t now);
  void decided(const gate_decision &d, int64_t now);
  void release_held(size_t slot, int64_t now);
  uint64_t take_number();
  void stop_units(int64_t now);
  void take_signals(int64_t now);
  void ask_gate(int64_t now);
  void unit_over(size_t slot);
  void release(int64_t now);
  bool link_says_gone(size_t slot);
  void advance(size_t slot, int64_t now);
  void start_probe(size_t slot, int64_t now);
  void probe_ready(size_t slot, int64_t now);
  void probe_ended(size_t slot, bool answered, int64_t now);
  void drop_probe(size_t slot);
  [[nodiscard]] int poll_timeout(int64_t now) const;
  void gather();
  void dispatch(int64_t now);

  const plan &p_;
  station_state *state_;
  const station_observer &observer_;
  line_observer inner_;  // the workers' observer: before them, as they keep its address
  std::vector<board_worker> workers_;
  std::vector<probe_state> probes_;
  std::vector<pollfd> fds_;
  std::vector<size_t> owners_;  // per pollfd after the first: its slot
  std::vector<bool> is_probe_;  // per pollfd after the first: a try, not a unit's socket
  unit_gate *gate_;
  std::vector<int> held_;              // per slot: the arrived board's connection the gate holds
  std::vector<int64_t> held_until_;    // per slot: when that connection is let go
  std::vector<uint64_t> spare_;        // unit numbers of boards the gate refused, to be used again
  std::vector<int> gate_fds_;
  std::vector<gate_decision> decisions_;
  unsigned releases_seen_ = releases.load();
};

bool station::taking_units() const {
  if (gate_ != nullptr && !gate_->closed().empty()) return false;
  return state_->signals == 0 &&
         (p_.opt.units == 0 || state_->started - spare_.size() < p_.opt.units);
}

size_t station::at_work() const {
  auto busy = std::count_if(workers_.begin(), workers_.end(),
                            [](const board_worker &w) { return w.at_work(); });
  auto held = std::count_if(state_->slots.begin(), state_->slots.end(), [](const slot_status &st) {
    return st.phase == slot_phase::admitting;
  });
  return static_cast<size_t>(busy + held);
}

// Numbers handed to boards the gate refused are used again, so that the
// units numbered are those that began.
uint64_t station::take_number() {
  if (spare_.empty()) return ++state_->started;
  auto least = std::min_element(spare_.begin(), spare_.end());
  uint64_t unit = *least;
  spare_.erase(least);
  return unit;
}

// A board arrived: without a gate its unit starts at once; with one, its
// connection waits, unused, for the gate's word.
void station::admit(size_t slot, int sock, int64_t now) {
  uint64_t unit = take_number();
  if (gate_ == nullptr) {
    start_unit(slot, sock, unit, now);
    return;
  }
  slot_status &st = state_->slots[slot];
  st.phase = slot_phase::admitting;
  st.since_ms = now;
  st.unit = unit;
  held_[slot] = sock;
  held_until_[slot] = now + HOLD_MS;
  gate_->arrived(slot, unit, now);
}

// The gate has held the board's connection as long as a loader may be
// left idle: it is closed without a byte, and the unit connects afresh.
void station::release_held(size_t slot, int64_t now) {
  if (held_[slot] < 0 || now < held_until_[slot]) return;
  close(std::exchange(held_[slot], -1));
}

void station::decided(const gate_decision &d, int64_t now) {
  size_t slot = d.slot;
  slot_status &st = state_->slots[slot];
  if (st.phase != slot_phase::admitting) return;
  int sock = std::exchange(held_[slot], -1);
  switch (d.what) {
    case gate_decision::kind::start:
      st.held.clear();
      start_unit(slot, sock, st.unit, now);
      // A board that left meanwhile fails its unit as a one-shot run's would.
      if (sock < 0) workers_[slot].begin(now);
      return;
    case gate_decision::kind::fail:
      st.held.clear();
      start_unit(slot, -1, st.unit, now);
      workers_[slot].fail_before(sock, d.step, d.reason);
      return;
    case gate_decision::kind::refuse:
      // The board stays in its slot untouched; it is taken again once the
      // gate can take it.
      if (sock >= 0) close(sock);
      spare_.push_back(st.unit);
      st.held = d.reason;
      st.phase = slot_phase::waiting;
      st.since_ms = now;
      probes_[slot].next = next_try(now);
      return;
  }
}

// The one place a unit begins: numbered and told before a byte goes to the
// board, on the connection its loader just accepted (-1: a unit that
// fails before its board is touched, or connects afresh).
void station::start_unit(size_t slot, int sock, uint64_t unit, int64_t now) {
  slot_status &st = state_->slots[slot];
  // A unit's time runs from its board's arrival, its record and data included.
  if (st.phase != slot_phase::admitting) st.since_ms = now;
  st.phase = slot_phase::at_work;
  st.unit = unit;
  st.serial = gate_ != nullptr ? gate_->serial(slot) : "";
  workers_[slot].rearm();
  workers_[slot].set_unit_images(gate_ != nullptr ? gate_->images(slot) : nullptr);
  if (observer_.unit_started) observer_.unit_started(slot);
  if (sock >= 0) workers_[slot].begin_connected(sock, now);
}

void station::unit_over(size_t slot) {
  int64_t now = monotonic_ms();
  slot_status &st = state_->slots[slot];
  unit_record r = judge_unit(state_->line.outcomes[slot]);
  r.unit = st.unit;
  r.slot = slot;
  r.seconds = static_cast<double>(now - st.since_ms) / 1000.0;
  const std::vector<step_outcome> &outcomes = state_->line.outcomes[slot];
  r.started_ms = outcomes.empty() || outcomes.front().started_ms == 0 ? wall_clock_ms()
                                                                     : outcomes.front().started_ms;
  r.serial = st.serial;
  st.phase = slot_phase::leaving;
  st.since_ms = now;
  st.record = state_->units.size();
  st.still_in = false;
  st.gone_ms = -1;
  st.earlier = false;
  state_->units.push_back(r);
  probe_state &pr = probes_[slot];
  pr.next = next_try(now);
  // Counted from here: a link that went down during the unit took its
  // board's connection with it, and that unit failed already.
  pr.link_changes = -1;
  if (!p_.boards[slot].interface.empty()) {
    pr.link_changes = look_at_link(p_.boards[slot].interface).changes;
  }
  if (observer_.unit_ended) observer_.unit_ended(slot);
}

void station::drop_probe(size_t slot) {
  probe_state &pr = probes_[slot];
  if (pr.sock >= 0) close(pr.sock);
  pr.sock = -1;
}

// A try found the board (answered) or nobody. A board leaving is gone
// from the start of the first try that found nobody: it may have left any
// time before, never after. What answers later is another board, so it
// never makes the slot wait anew: the slot takes it once the settle time
// from then has run out.
void station::probe_ended(size_t slot, bool answered, int64_t now) {
  probe_state &pr = probes_[slot];
  slot_status &st = state_->slots[slot];
  pr.next = next_try(now);
  if (answered && st.phase == slot_phase::waiting && taking_units()) {
    int sock = pr.sock;
    pr.sock = -1;
    admit(slot, sock, now);
    return;
  }
  // A board still in its slot sees a connection that closes before any
  // byte: the loader's usual end of a client that had nothing to send.
  drop_probe(slot);
  if (st.phase != slot_phase::leaving || st.gone_ms >= 0) return;
  if (answered) {
    st.still_in = true;
  } else {
    st.gone_ms = pr.began;
  }
}

// The operator's word that the board in a slot, which never left, is a
// new one: only slots whose board a try has found still in.
void station::release(int64_t now) {
  for (size_t s = 0; s < workers_.size(); ++s) {
    slot_status &st = state_->slots[s];
    if (st.phase != slot_phase::leaving || st.gone_ms >= 0 || !st.still_in) continue;
    st.phase = slot_phase::waiting;
    st.since_ms = now;
    probes_[s].next = now;
  }
}

// Whether the slot's interface shows its board gone: no carrier, or
// (while its board should leave) a carrier that went down and came back
// since the last look, however briefly.
bool station::link_says_gone(size_t slot) {
  const std::string &iface = p_.boards[slot].interface;
  if (iface.empty()) return false;
  probe_state &pr = probes_[slot];
  link_look link = look_at_link(iface);
  bool moved = pr.link_changes >= 0 && link.changes >= 0 && link.changes != pr.link_changes;
  if (link.changes >= 0) pr.link_changes = link.changes;
  return link.carrier == 0 || (moved && state_->slots[slot].phase == slot_phase::leaving);
}

void station::start_probe(size_t slot, int64_t now) {
  probe_state &pr = probes_[slot];
  std::string why;
  pr.began = now;
  if (link_says_gone(slot)) {
    probe_ended(slot, false, now);
    return;
  }
  pr.sock = open_board_socket(p_.boards[slot], &why);
  if (pr.sock < 0) {
    // Out of descriptors for a moment: the slot tries again.
    pr.next = next_try(now);
    return;
  }
  if (start_connect(pr.sock, p_.boards[slot]) == 0) {
    probe_ended(slot, true, now);
  } else if (errno == EINPROGRESS) {
    pr.deadline = now + PROBE_TIMEOUT_MS;
  } else {
    probe_ended(slot, false, now);
  }
}

void station::probe_ready(size_t slot, int64_t now) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(probes_[slot].sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  probe_ended(slot, err == 0, now);
}

// Time has passed for a slot that is not at work: a try that found
// nobody, a board that has been gone long enough, the next try.
void station::advance(size_t slot, int64_t now) {
  slot_status &st = state_->slots[slot];
  const probe_state &pr = probes_[slot];
  if (st.phase == slot_phase::admitting) release_held(slot, now);
  if (st.phase == slot_phase::at_work || st.phase == slot_phase::admitting) return;
  if (!taking_units()) {
    drop_probe(slot);
    return;
  }
  if (pr.sock >= 0) {
    if (now < pr.deadline) return;
    // A loop that woke late (a busy machine) must not take a connect that
    // was answered meanwhile for one that never was: that would see a board
    // still in its slot gone, and flash it again as a new unit.
    pollfd answer{pr.sock, POLLOUT, 0};
    if (poll(&answer, 1, 0) == 1) {
      probe_ready(slot, now);
    } else {
      probe_ended(slot, false, now);
    }
    if (st.phase == slot_phase::at_work || st.phase == slot_phase::admitting) return;
  }
  if (st.phase == slot_phase::leaving && st.gone_ms >= 0 &&
      now - st.gone_ms >= p_.opt.settle_ms) {
    st.phase = slot_phase::waiting;
    st.since_ms = now;
    // A board put in meanwhile is taken now, not at the next try.
    probes_[slot].next = now;
  }
  if (now >= pr.next) start_probe(slot, now);
}

int station::poll_timeout(int64_t now) const {
  int64_t next = now + std::max(1, observer_.tick_ms);
  for (size_t s = 0; s < workers_.size(); ++s) {
    next = workers_[s].wake_time(now, next);
    const probe_state &pr = probes_[s];
    slot_phase phase = state_->slots[s].phase;
    if (phase == slot_phase::admitting && held_[s] >= 0) next = std::min(next, held_until_[s]);
    if (phase == slot_phase::at_work || phase == slot_phase::admitting || !taking_units()) continue;
    next = std::min(next, pr.sock >= 0 ? pr.deadline : pr.next);
    if (state_->slots[s].phase == slot_phase::leaving && state_->slots[s].gone_ms >= 0) {
      next = std::min(next, state_->slots[s].gone_ms + p_.opt.settle_ms);
    }
  }
  if (gate_ != nullptr) next = gate_->wake_time(now, next);
  return static_cast<int>(std::clamp<int64_t>(next - now, 0, LOOK_MS));
}

// The poll set: the wake-up pipe, every unit's socket that waits, every try
// in flight.
void station::gather() {
  fds_.clear();
  owners_.clear();
  is_probe_.clear();
  fds_.push_back({wakeup_fd(), POLLIN, 0});
  if (gate_ != nullptr) {
    gate_fds_.clear();
    gate_->add_fds(&gate_fds_);
    // The gate's descriptors come first, owned by no slot.
    for (int fd : gate_fds_) {
      fds_.push_back({fd, POLLIN, 0});
      owners_.push_back(0);
      is_probe_.push_back(false);
    }
  }
  for (size_t s = 0; s < workers_.size(); ++s) {
    short events = workers_[s].events();
    if (events != 0) {
      fds_.push_back({workers_[s].sock(), events, 0});
      owners_.push_back(s);
      is_probe_.push_back(false);
    }
    if (probes_[s].sock >= 0) {
      fds_.push_back({probes_[s].sock, POLLOUT, 0});
      owners_.push_back(s);
      is_probe_.push_back(true);
    }
  }
}

void station::dispatch(int64_t now) {
  if ((fds_[0].revents & POLLIN) != 0) drain_wakeup();
  for (size_t i = 1 + gate_fds_.size(); i < fds_.size(); ++i) {
    if (fds_[i].revents == 0) continue;
    size_t slot = owners_[i - 1];
    if (!is_probe_[i - 1]) {
      workers_[slot].on_ready(fds_[i].revents, now);
    } else if (probes_[slot].sock == fds_[i].fd) {
      probe_ready(slot, now);
    }
  }
}

// The second signal: units at work stop, boards the gate holds are let go.
void station::stop_units(int64_t now) {
  state_->stopped = true;
  state_->line.interrupts = state_->signals;
  for (board_worker &w : workers_) w.stop(now);
  for (size_t s = 0; s < held_.size(); ++s) {
    if (state_->slots[s].phase != slot_phase::admitting || gate_ == nullptr) continue;
    gate_->drop(s);
    if (held_[s] >= 0) close(std::exchange(held_[s], -1));
    spare_.push_back(state_->slots[s].unit);
    state_->slots[s].phase = slot_phase::waiting;
  }
}

void station::ask_gate(int64_t now) {
  if (gate_ == nullptr) return;
  decisions_.clear();
  gate_->decide(now, &decisions_);
  for (const gate_decision &d : decisions_) decided(d, now);
}

// The first signal is told at once. The workers see only the second: the
// first lets every unit at work run all its steps, not just the one at work.
void station::take_signals(int64_t now) {
  int before = std::exchange(state_->signals, wakeup_signals_seen());
  if (before == 0 && state_->signals > 0 && observer_.stopping) observer_.stopping();
  if (state_->signals >= 2 && !state_->stopped) stop_units(now);
}

void station::run() {
  int64_t last_tick = monotonic_ms();
  state_->began_ms = last_tick;
  for (size_t s = 0; s < workers_.size(); ++s) state_->slots[s].since_ms = last_tick;
  for (;;) {
    int64_t now = monotonic_ms();
    take_signals(now);
    if (unsigned r = releases.load(); r != releases_seen_) {
      releases_seen_ = r;
      release(now);
    }
    for (size_t s = 0; s < workers_.size(); ++s) advance(s, now);
    if (!taking_units() && at_work() == 0) break;
    gather();
    int ready = poll(fds_.data(), fds_.size(), poll_timeout(now));
    if (ready < 0 && errno != EINTR) {
      perror("kesp-batch: poll");
      abort();
    }
    now = monotonic_ms();
    if (ready > 0) dispatch(now);
    ask_gate(now);
    for (board_worker &w : workers_) w.look(now);
    if (observer_.tick && now - last_tick >= observer_.tick_ms) {
      last_tick = now;
      observer_.tick();
    }
  }
  for (size_t s = 0; s < workers_.size(); ++s) drop_probe(s);
}

}  // namespace

void ask_release() { releases.fetch_add(1, std::memory_order_relaxed); }

unit_record judge_unit(const std::vector<step_outcome> &outcomes) {
  unit_record r;
  r.verdict = verdict_of(outcomes);
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const step_outcome &o = outcomes[i];
    if (o.have_flash_id && !r.have_flash_id) {
      r.have_flash_id = true;
      r.flash_id = o.flash_id;
    }
    r.sent += o.sent;
    if (o.result == step_result::failed && r.failed_step == 0) {
      r.failed_step = i + 1;
      r.failure = o.failure;
      r.reason = o.reason;
    }
  }
  if (r.verdict == board_verdict::not_run && !outcomes.empty()) r.reason = outcomes.back().reason;
  return r;
}

station_totals count_units(const station_state &state) {
  station_totals t;
  std::vector<double> times;
  times.reserve(state.units.size());
  for (const unit_record &u : state.units) {
    ++t.units;
    if (u.verdict == board_verdict::passed) {
      ++t.passed;
      times.push_back(u.seconds);
    } else {
      ++t.failed;
    }
  }
  if (times.empty()) return t;
  std::sort(times.begin(), times.end());
  size_t half = times.size() / 2;
  t.median_seconds = times.size() % 2 == 1 ? times[half] : (times[half - 1] + times[half]) / 2;
  t.slowest_seconds = times.back();
  return t;
}

void run_station(const plan &p, station_state *state, const station_observer &observer,
                 unit_gate *gate) {
  struct sigaction on_release {};
  on_release.sa_handler = count_release;
  sigemptyset(&on_release.sa_mask);
  on_release.sa_flags = SA_RESTART;
  sigaction(RELEASE_SIGNAL, &on_release, nullptr);
  station s(p, state, observer, gate);
  s.run();
}
