// What machines read: the JSON Lines report (one object per step, then a
// summary), the JUnit XML report (one test case per board) and the
// per-board logs of kesp's own lines. All come from the same outcomes the
// people's view is drawn from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "outcome.h"
#include "outputs.h"
#include "plan.h"
#include "station.h"

// The report's schema version: changes only when a field changes meaning
// or goes away; new fields may be added without it.
inline constexpr int REPORT_SCHEMA = 2;

class records {
 public:
  records(const plan &p, const line_state &state) : p_(p), state_(&state) {}
  ~records();
  records(const records &) = delete;
  records &operator=(const records &) = delete;
  records(records &&) = delete;
  records &operator=(records &&) = delete;

  // Claims the report files before anything is sent, so that a path that
  // cannot be written stops the run before it starts; the last check
  // before the run, as it empties the report. False with *error.
  bool open(std::string *error);
  // A step passed or failed: its report object and its lines in the log.
  void step_ended(size_t board, size_t step);
  // A board is over: objects for its steps that did not run.
  void board_ended(size_t board);
  // The summary object and the JUnit file; closes everything.
  void finish(int64_t started_ms, double seconds);
  // A station's records: every step object names its unit and slot, each
  // unit gets an object as it ends and, with --log-dir, a log of its own.
  void set_station(const station_state *station, int64_t started_ms) {
    station_ = station;
    state_ = &station->line;
    station_started_ms_ = started_ms;
  }
  // Called with every step object as it is made, whether or not a report
  // is written: the unit record keeps the same fields.
  void set_step_hook(std::function<void(size_t board, const nlohmann::ordered_json &)> hook) {
    step_hook_ = std::move(hook);
  }
  // A station's unit ended: its object.
  void unit_ended(size_t slot);
  // Every failure to write, one line each; empty when all went well.
  [[nodiscard]] const std::vector<std::string> &errors() const { return errors_; }

 private:
  void write_step(size_t board, size_t step);
  void write_junit(int64_t started_ms, double seconds);
  [[nodiscard]] std::string junit_case(size_t board) const;
  void write_line(const std::string &text);
  void add_unit_fields(nlohmann::ordered_json *j, size_t board) const;
  void add_expect_id(nlohmann::ordered_json *j, const step &s) const;
  void write_log(size_t board, size_t step);
  void finish_station(int64_t started_ms, double seconds);
  [[nodiscard]] std::string unit_log_name(size_t slot) const;
  void note(const std::string &what, int err);
  void write_log(int log, const std::string &path, const std::string &text);

  const plan &p_;
  const line_state *state_;  // the run's, or the station's units at work
  output_files files_;
  std::vector<bool> logged_;  // per board: its log was begun in this run
  std::vector<std::string> errors_;
  bool report_failed_ = false;
  const station_state *station_ = nullptr;  // set in a station
  int64_t station_started_ms_ = 0;
  std::vector<std::string> unit_logs_;      // per slot: the log of its unit at work, once begun
  std::function<void(size_t board, const nlohmann::ordered_json &)> step_hook_;
};

// The JSON word of a result, a failure kind and a verdict, as the report
// writes them.
const char *failure_name(failure_kind k);

// An ISO 8601 UTC time with milliseconds from ms since the epoch.
std::string iso_time(int64_t ms);
// Text made safe for XML 1.0 character data, or for a quoted attribute:
// markup escaped, characters XML cannot carry and broken UTF-8 replaced.
std::string xml_escape(const std::string &text, bool attribute);
