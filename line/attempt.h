// One board's way through its steps: each attempt at a step a connection
// of its own, the protocol left to the shared transaction engine. The poll
// loop of line.cpp drives every board through the calls below and never
// looks inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine.h"
#include "net.h"
#include "outcome.h"
#include "plan.h"

// Called as the run goes on; any may be left empty.
struct line_observer {
  std::function<void(size_t board, size_t step)> step_ended;  // passed or failed
  std::function<void(size_t board)> board_ended;              // its outcomes are final
  std::function<void()> tick;                                 // every tick_ms or so
  int tick_ms = 1000;
};

// A station unit's own images (per-unit data): per step, the snapshot and
// the name the reports give it, or nullptr for the plan's image.
struct unit_images {
  std::vector<const snapshot *> images;
  std::vector<std::string> files;
};

// A board waited on this long is asked whether it vanished; the poll loop
// never sleeps longer, so that the looks come on time.
inline constexpr int LOOK_MS = 1000;

class board_worker {
 public:
  // The worker of board number board of p; it writes that board's outcomes
  // and progress into *state and tells observer as steps and the board end.
  board_worker(const plan &p, size_t board, line_state *state, const line_observer &observer);

  // Starts the board's first step.
  void begin(int64_t now);
  // Starts the board's first step over sock, a connection to it already
  // made, which the worker now owns.
  void begin_connected(int sock, int64_t now);
  // Back to not started, its outcomes and progress empty, for the next
  // board in a station's slot.
  void rearm();
  // The next unit's own images; nullptr for the plan's alone. Kept until
  // the next call: the caller holds them while the unit is at work.
  void set_unit_images(const unit_images *images) { unit_images_ = images; }
  // A unit that fails before its board is touched (its data could not be
  // made): sock is closed without a byte, step fails for reason, the
  // others are not run.
  void fail_before(int sock, size_t step, const std::string &reason);
  // A board that never started, after an interrupt: every step not run.
  void skip(const std::string &reason);
  // The second interrupt: the step at work ends now, as failed.
  void stop(int64_t now);

  [[nodiscard]] bool never_started() const;
  [[nodiscard]] bool at_work() const;  // started and not yet finished
  // The socket to poll and the events to poll it for; 0 when the board
  // waits on no socket now.
  [[nodiscard]] int sock() const { return sock_; }
  [[nodiscard]] short events() const;
  // The earliest time, no later than next, at which look wants calling.
  [[nodiscard]] int64_t wake_time(int64_t now, int64_t next) const;

  // The poll saw revents on sock().
  void on_ready(short revents, int64_t now);
  // Time has passed: deadlines, the pause before a new attempt, the next
  // step, a peer that may have vanished.
  void look(int64_t now);

 private:
  enum class phase : uint8_t {
    waiting,     // not started
    connecting,  // connect in progress
    talking,     // the transaction runs
    pausing,     // before a new attempt
    next,        // the step after step_ is due; started from the loop, not from the last one's end
    finished,
  };
  // Whether kesp, in the board's log, would print the reason as its line.
  enum class logged : bool { no, yes };

  void prepare_attempt(int64_t now);
  void start_attempt(int64_t now);
  void connected(int64_t now);
  void connect_failed(int err, int64_t now);
  bool refill(int64_t now);
  bool send_once(int64_t now);
  void send_some(int64_t now);
  void receive_some(int64_t now);
  void end_attempt(int64_t now);
  void fail_attempt(failure_kind kind, const std::string &reason, logged log, bool retry,
                    int64_t now);
  void end_step(int64_t now);
  void finish(const std::string &reason);
  void close_socket();
  step_outcome &outcome() { return state_->outcomes[board_][step_]; }
  [[nodiscard]] const snapshot &image_of(size_t step) const;
  void note_image(size_t step, step_outcome *o) const;
  void note_digest(size_t step, step_outcome *o) const;

  const plan &p_;
  size_t board_;
  line_state *state_;
  const line_observer *observer_;
  const unit_images *unit_images_ = nullptr;
  phase at_ = phase::waiting;
  bool started_ = false;  // counted among the boards at work
  size_t step_ = 0;       // the step at work, or the last one over
  int sock_ = -1;
  transaction txn_;
  peer_watch watch_;
  std::unique_ptr<uint8_t[]> piece_;  // held only while the board is at work
  size_t piece_room_ = 0;             // bytes it holds room for: what the image needs, at most
  size_t piece_size_ = 0;             // bytes of the piece read from the snapshot
  size_t piece_sent_ = 0;             // of them gone out
  bool awaiting_copy_ = false;        // every byte copied so far is sent; more are coming
  int64_t connect_deadline_ = 0;
  int64_t step_deadline_ = 0;  // 0 for none
  int64_t resume_at_ = 0;      // when pausing ends
  int64_t last_io_ = 0;        // when bytes last moved either way
  int64_t last_look_ = 0;      // when peer_vanished was last asked
  int64_t step_began_ = 0;     // when the step's first attempt began
};
