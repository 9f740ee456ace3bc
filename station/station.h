// A station: each board of the plan is a fixture slot that flashes every
// board put into it, one unit after another, until it is told to stop.
// Each slot cycles on its own: waiting for a board (its loader port tried
// every PROBE_MS; the connection it accepts carries the unit's first step),
// at work (the steps exactly as a one-shot run has them, through the same
// board worker), then waiting for the board to leave (probed with
// connections closed at once, without a byte sent: the first one refused
// or ignored, or its interface's link found down, sees it gone, and the
// slot takes the next board from the settle time after that).
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "attempt.h"
#include "outcome.h"
#include "plan.h"

// How often an empty slot, or one whose board should leave, is tried: a
// board is noticed within this, and a slot armed again within this of its
// settle time. Every slot is tried at the same instants, so that an idle
// station wakes once per period.
inline constexpr int PROBE_MS = 250;
// A try that got no answer in this long found nobody: a board that is off
// or gone drops the connection request.
inline constexpr int PROBE_TIMEOUT_MS = 200;

// The longest an arrived board's connection is held, unused, while the
// gate makes its unit's record and data: a loader drops a client that
// stays silent for its idle limit (10 s on kesp-sim), and a unit whose
// data takes longer must not lose its board to that. Past it the
// connection is closed without a byte, as a probe's, and the unit
// connects afresh when it starts.
inline constexpr int HOLD_MS = 2000;

enum class slot_phase : uint8_t {
  waiting,  // no board: tried every PROBE_MS
  admitting,  // a board arrived: its connection waits, unused, for the gate (at most HOLD_MS)
  at_work,  // a unit's steps run
  leaving,  // the unit ended: the board must leave before the next
};

// One unit: a board's way through the steps in one slot, as it ended.
struct unit_record {
  uint64_t unit = 0;      // station-wide, from 1
  size_t slot = 0;        // its index in the plan's boards
  board_verdict verdict = board_verdict::failed;
  failure_kind failure = failure_kind::none;
  size_t failed_step = 0;   // from 1; 0 when none failed
  std::string reason;       // the failed step's; "" when it passed
  bool have_flash_id = false;
  uint16_t flash_id = 0;    // from the first step that got one
  int64_t started_ms = 0;   // wall clock when the board was found
  double seconds = 0;       // from the board found to the unit's end
  uint64_t sent = 0;        // image bytes of its steps' last attempts
  std::string serial;       // its serial number; "" without one
};

struct slot_status {
  slot_phase phase = slot_phase::waiting;
  int64_t since_ms = 0;    // monotonic time the phase began
  uint64_t unit = 0;       // the unit at work, or the last one; 0 before the first
  size_t record = 0;       // the last unit's index in station_state::units
  std::string serial;      // the unit's serial number, once it has one
  std::string held;        // why the slot takes no board now ("database unreachable: ..."); "" when it does
  // While leaving: whether a try has found the board still in, and when it
  // was first seen gone (-1 before). Once seen gone it stays gone: whatever
  // answers later is a new board.
  bool still_in = false;
  int64_t gone_ms = -1;
  bool earlier = false;    // unit is an earlier run's, which passed in this slot
};

// A slot's last unit as an earlier run of this station left it in the
// unit record: that unit passed, and its board may still be in.
struct passed_before {
  size_t slot = 0;
  uint64_t unit = 0;
  std::string serial;
};

struct station_state {
  line_state line;                 // per slot: the unit at work's outcomes and progress
  std::vector<slot_status> slots;  // per slot
  std::vector<unit_record> units;  // every unit that ended, in order
  uint64_t started = 0;            // units begun
  int signals = 0;                 // SIGINT or SIGTERM received
  bool stopped = false;            // a second signal stopped the units at work
  int64_t began_ms = 0;            // monotonic time the station began
  std::string warning;             // for the operator: serial numbers running low or out; "" for none
  // Set before run_station: such a slot takes no board until its board
  // has been seen to leave, or the operator releases it.
  std::vector<passed_before> passed;
};

// The operator's release: SIGUSR1, or the view's key, makes every slot
// whose board has been found still in, never seen leaving, take that board
// as a new unit.
inline constexpr int RELEASE_SIGNAL = SIGUSR1;
inline constexpr char RELEASE_KEY = 'r';
// Asks the running station for that release; safe in a signal handler.
void ask_release();

// Called as the station goes on; any may be left empty. A unit is begun in
// one place, after unit_started has been told and before a byte is sent.
struct station_observer {
  std::function<void(size_t slot)> unit_started;           // slots[slot].unit is its number
  std::function<void(size_t slot, size_t step)> step_ended;  // passed or failed
  std::function<void(size_t slot)> unit_ended;             // units.back() is its record
  std::function<void()> tick;                              // every tick_ms or so
  std::function<void()> stopping;                          // the first signal, at once
  int tick_ms = 1000;
};

// What a gate decided for a board that arrived.
struct gate_decision {
  enum class kind : uint8_t {
    start,   // the unit starts on the board's connection, or a fresh one
    fail,    // the unit fails at step before its board is touched
    refuse,  // no unit: the connection closes without a byte; held says why
  };
  kind what = kind::start;
  size_t slot = 0;
  size_t step = 0;     // for fail
  std::string reason;  // for fail and refuse
};

// Stands between a board arriving and its unit starting: the unit record
// (its row and serial, durable, before any byte) and per-unit data. Its
// descriptors are polled for reading with the station's; decide is asked
// after every poll.
class unit_gate {
 public:
  unit_gate() = default;
  virtual ~unit_gate() = default;
  unit_gate(const unit_gate &) = delete;
  unit_gate &operator=(const unit_gate &) = delete;
  unit_gate(unit_gate &&) = delete;
  unit_gate &operator=(unit_gate &&) = delete;

  // A board arrived in slot; it would be unit number unit.
  virtual void arrived(size_t slot, uint64_t unit, int64_t now) = 0;
  virtual void add_fds(std::vector<int> *fds) const = 0;
  virtual void decide(int64_t now, std::vector<gate_decision> *out) = 0;
  // The earliest time, no later than next, decide wants calling.
  [[nodiscard]] virtual int64_t wake_time(int64_t now, int64_t next) const = 0;
  // The second signal: the slot's board is let go before its unit started.
  virtual void drop(size_t slot) = 0;
  // A started unit's own images, and its serial number ("" for none).
  [[nodiscard]] virtual const unit_images *images(size_t slot) const = 0;
  [[nodiscard]] virtual std::string serial(size_t slot) const = 0;
  // No new unit may start at all (the serial numbers ran out): why; "" while they may.
  [[nodiscard]] virtual std::string closed() const = 0;
};

// Runs the station until p.opt.units units have ended (0: no limit) or a
// signal stopped it: the first SIGINT or SIGTERM begins no new unit and
// lets those at work finish all their steps, a second stops them.
// With a gate, every board that arrives passes it before its unit starts.
void run_station(const plan &p, station_state *state, const station_observer &observer,
                 unit_gate *gate = nullptr);

// The totals of the units that ended. The times are the passed units'
// alone: a board that fails at once says nothing of the station's pace.
struct station_totals {
  uint64_t units = 0;
  uint64_t passed = 0;
  uint64_t failed = 0;
  double median_seconds = 0;   // 0 before a unit passed
  double slowest_seconds = 0;
};
station_totals count_units(const station_state &state);

// The unit's verdict, failed step and reason from its slot's outcomes.
unit_record judge_unit(const std::vector<step_outcome> &outcomes);
