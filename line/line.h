// The production line at work: one poll loop over the non-blocking sockets
// of all boards at work, each board's attempts left to its worker
// (attempt.h).
#pragma once

#include "attempt.h"
#include "outcome.h"
#include "plan.h"

// Runs every board of p through its steps, with at most p.opt.jobs at work
// at once, and fills *state. Returns once every board has finished or,
// after an interrupt, every running step has ended. Once
// install_wakeup_signals has run, the first SIGINT or SIGTERM starts
// nothing new and the second stops the steps at work.
void run_line(const plan &p, line_state *state, const line_observer &observer);
