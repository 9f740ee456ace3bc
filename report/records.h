// What machines read of a one-shot run: the JSON Lines report (one object
// per step, then a summary), the JUnit XML report (one test case per
// board) and the per-board logs of kesp's own lines. All come from the
// same outcomes the people's view is drawn from. A station's report is
// written through the same file (station_report.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "outcome.h"
#include "outputs.h"
#include "plan.h"
#include "text.h"

// The report's schema version: changes only when a field changes meaning
// or goes away; new fields may be added without it.
inline constexpr int REPORT_SCHEMA = 2;

class records {
 public:
  records(const plan &p, const line_state &state) : p_(p), state_(state) {}
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
  // Every failure to write, one line each; empty when all went well.
  [[nodiscard]] const std::vector<std::string> &errors() const { return errors_; }

  // What a station's report writes through: the same report file, lines
  // and failures, with objects of its own.
  [[nodiscard]] bool reporting() const { return files_.report >= 0; }
  void write_object(const nlohmann::ordered_json &j);
  // Writes text to an open log and closes it; a failure is noted.
  void write_log(int log, const std::string &path, const std::string &text);
  void add_error(std::string error) { errors_.push_back(std::move(error)); }
  // The last object is written: the report is closed.
  void close_report();

 private:
  void write_step(size_t board, size_t step);
  void write_junit(int64_t started_ms, double seconds);
  [[nodiscard]] std::string junit_case(size_t board) const;
  void write_board_log(size_t board, size_t step);
  void note(const std::string &what, int err);

  const plan &p_;
  const line_state &state_;
  output_files files_;
  std::vector<bool> logged_;  // per board: its log was begun in this run
  std::vector<std::string> errors_;
  bool report_failed_ = false;
};

// A step object's fields from "board" to "seconds", in the report's order;
// the caller writes those before and after.
void add_step_fields(nlohmann::ordered_json *out, const plan &p, size_t board, size_t step,
                     const step_outcome &o);
// The flash id a step expected, or null.
void add_expect_id(nlohmann::ordered_json *j, const step &s);

// A number in the report's hexadecimal words: lower case, digits wide.
std::string hex_word(uint32_t value, int digits);

// Text made safe for XML 1.0 character data, or for a quoted attribute:
// markup escaped, characters XML cannot carry and broken UTF-8 replaced.
std::string xml_escape(const std::string &text, bool attribute);
