// What the operator and the supervisor see of a station: on a terminal a
// line per slot that never moves, the totals and the last failures below;
// elsewhere a line for each unit begun, step passed and unit ended, and
// the totals every so often.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plan.h"
#include "station.h"
#include "view.h"

// A line of the view in parts, read from a metre away: the head (the
// slot's label, its state in a word, what the operator must do) always
// shows; the details are cut first, the reason only once they are gone.
struct slot_text {
  std::string label;             // the slot's, padded to the column; "" for none
  std::string state;             // "FAILED", "FLASHING 2/3"
  const char *colour = nullptr;  // the state's and action's escape code; nullptr for none
  std::string action;            // "REMOVE BOARD"; "" for none
  std::string reason;
  std::string details;
};

// The line in fewer than width columns (a terminal wraps a full line on
// its own), unless its head alone is wider; painted if colour.
std::string fit_slot_text(const slot_text &t, size_t width, bool colour);

class station_view {
 public:
  // colour: the terminal shows colours (not with NO_COLOR set); keys: the
  // operator's keys reach the station.
  station_view(const plan &p, const station_state &state, console *out, bool quiet, bool colour,
               bool keys = false);
  void unit_started(size_t slot);
  void step_ended(size_t slot, size_t step);
  void unit_ended(size_t slot);
  // The first signal: no new unit begins, the units at work go on.
  void stopping();
  void tick(int64_t now_ms);
  // The slots and failures as they were left stay above the summary.
  void summary(double seconds);

  // The totals line: units, passed and failed, yield, and once enough
  // units ended or time ran to mean something, units per hour and the
  // median and slowest passed unit.
  [[nodiscard]] std::string totals(int64_t now_ms) const;
  // A unit's plain line: slot, unit number, result, reason, seconds.
  [[nodiscard]] std::string unit_line(const unit_record &u) const;

 private:
  [[nodiscard]] slot_text slot_parts(size_t slot, int64_t now_ms) const;
  [[nodiscard]] slot_text work_parts(size_t slot, const std::string &label,
                                     const std::string &since, int64_t now_ms) const;
  [[nodiscard]] slot_text failure_parts(const unit_record &u) const;
  [[nodiscard]] std::string at_work(bool plain) const;
  [[nodiscard]] std::string plain_name(size_t slot) const;
  [[nodiscard]] bool still_in(size_t slot, int64_t now_ms) const;
  [[nodiscard]] std::string last_unit(size_t slot, bool loud) const;
  [[nodiscard]] std::string still_in_text(size_t slot) const;  // for the plain output
  [[nodiscard]] std::vector<std::string> block(int64_t now_ms, bool final) const;
  [[nodiscard]] std::string paint(const char *colour, const std::string &text) const;
  const plan &p_;
  const station_state &state_;
  console *out_;
  bool quiet_;
  bool colour_;
  bool keys_;
  size_t label_width_ = 0;      // the column of slot labels
  int64_t last_totals_ms_ = 0;  // when the plain totals were last printed
  uint64_t last_totals_units_ = 0;
  std::vector<int64_t> said_;  // per slot: since_ms of the leaving whose board was said still in
};

// "7 s", "3m05s", "2h03m": how long a slot has been in its state.
std::string elapsed(int64_t ms);
