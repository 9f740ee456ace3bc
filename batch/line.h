// The production line at work: one poll loop over the non-blocking sockets
// of all boards at work, each board's attempts left to its worker
// (attempt.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "outcome.h"
#include "plan.h"

// What the live view shows of a board.
struct board_progress {
  bool active = false;    // at work now (connecting, sending, waiting or pausing)
  bool finished = false;  // all its steps are over, or it stopped at a failed one
  size_t step = 0;        // the step at work, from 0
  uint32_t sent = 0;      // image bytes of the step gone out in this attempt
  uint32_t size = 0;      // the step's image size; 0 for a start
  int64_t step_ms = 0;    // monotonic time when the attempt began
  bool retrying = false;  // waiting before a new attempt
};

struct line_state {
  std::vector<std::vector<step_outcome>> outcomes;  // per board, per step
  std::vector<board_progress> progress;             // per board
  int interrupts = 0;                               // SIGINT or SIGTERM received
  uint64_t bytes_sent = 0;  // image bytes sent in all, every attempt counted
};

// Called as the run goes on; any may be left empty.
struct line_observer {
  std::function<void(size_t board, size_t step)> step_ended;  // passed or failed
  std::function<void(size_t board)> board_ended;              // its outcomes are final
  std::function<void()> tick;                                 // every tick_ms or so
  int tick_ms = 1000;
};

// Milliseconds since the epoch, for the reports' times of day.
int64_t wall_clock_ms();

// Runs every board of p through its steps, with at most p.opt.jobs at work
// at once, and fills *state. Returns once every board has finished or,
// after an interrupt, every running step has ended. Once
// install_wakeup_signals has run, the first SIGINT or SIGTERM starts
// nothing new and the second stops the steps at work.
void run_line(const plan &p, line_state *state, const line_observer &observer);
