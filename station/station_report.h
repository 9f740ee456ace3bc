// What machines read of a station: the report's step objects name their
// unit and slot, each unit gets an object as it ends and, with --log-dir,
// a log of its own, and the summary counts units. Written through the
// one-shot run's report file, so that both kinds of report are claimed,
// written whole and their failures said the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "outcome.h"
#include "plan.h"
#include "records.h"
#include "station.h"

class station_report {
 public:
  station_report(const plan &p, const station_state &station)
      : p_(p), station_(station), lines_(p, station.line) {}

  // As records::open.
  bool open(std::string *error) { return lines_.open(error); }
  // The station began at started_ms: its unit logs are named by it.
  void begin(int64_t started_ms) { started_ms_ = started_ms; }
  // Called with every step of every unit as its object is made, those
  // that did not run included, whether or not a report is written: the
  // unit record keeps the same step.
  void set_step_hook(std::function<void(size_t slot, size_t step, const step_outcome &)> hook) {
    step_hook_ = std::move(hook);
  }
  // What the unit record keeps of a step's per-unit data (--keep), so that
  // the step object holds the same under kept; null without.
  void set_kept(std::function<std::optional<std::string>(size_t slot, size_t step)> kept) {
    kept_ = std::move(kept);
  }
  // A step of a unit at work passed or failed.
  void step_ended(size_t slot, size_t step);
  // The slot's unit ended (the station's last unit record): objects for
  // its steps that did not run, then its own.
  void unit_ended(size_t slot);
  // The summary; closes the report.
  void finish(int64_t started_ms, double seconds);
  [[nodiscard]] const std::vector<std::string> &errors() const { return lines_.errors(); }

 private:
  void write_step(size_t slot, size_t step);
  void write_log(size_t slot, size_t step);
  [[nodiscard]] std::string unit_log_name(size_t slot) const;

  const plan &p_;
  const station_state &station_;
  records lines_;
  int64_t started_ms_ = 0;
  std::vector<std::string> unit_logs_;  // per slot: the log of its unit at work, once begun
  std::function<void(size_t slot, size_t step, const step_outcome &)> step_hook_;
  std::function<std::optional<std::string>(size_t slot, size_t step)> kept_;
};
