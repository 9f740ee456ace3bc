// What the operator and the supervisor see of a station: on a terminal a
// line per slot that never moves, the totals and the last failures below;
// elsewhere a line per unit as it ends and the totals every so often.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plan.h"
#include "station.h"
#include "view.h"

class station_view {
 public:
  // colour: the terminal shows colours (not with NO_COLOR set); keys: the
  // operator's keys reach the station.
  station_view(const plan &p, const station_state &state, console *out, bool quiet, bool colour,
               bool keys = false)
      : p_(p), state_(state), out_(out), quiet_(quiet), colour_(colour), keys_(keys) {}
  void unit_started(size_t slot);
  void unit_ended(size_t slot);
  void tick(int64_t now_ms);
  void summary(double seconds);

  // The totals line: units, passed and failed, yield, units per hour,
  // median and slowest unit.
  [[nodiscard]] std::string totals(int64_t now_ms) const;
  // A unit's plain line: slot, unit number, result, reason, seconds.
  [[nodiscard]] std::string unit_line(const unit_record &u) const;

 private:
  [[nodiscard]] std::string slot_line(size_t slot, int64_t now_ms) const;
  [[nodiscard]] bool still_in(size_t slot, int64_t now_ms) const;
  [[nodiscard]] std::string last_unit(size_t slot, bool loud) const;
  [[nodiscard]] std::string still_in_text(size_t slot) const;  // for the plain output
  [[nodiscard]] std::vector<std::string> block(int64_t now_ms) const;
  [[nodiscard]] std::string paint(const char *colour, const std::string &text) const;
  const plan &p_;
  const station_state &state_;
  console *out_;
  bool quiet_;
  bool colour_;
  bool keys_;
  int64_t last_totals_ms_ = 0;  // when the plain totals were last printed
  uint64_t last_totals_units_ = 0;
  std::vector<int64_t> said_;  // per slot: since_ms of the leaving whose board was said still in
};

// "7 s", "3m05s", "2h03m": how long a slot has been in its state.
std::string elapsed(int64_t ms);
