// What machines read: the JSON Lines report (one object per step, then a
// summary), the JUnit XML report (one test case per board) and the
// per-board logs of kesp's own lines. All come from the same outcomes the
// people's view is drawn from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "line.h"
#include "outputs.h"
#include "plan.h"

// The report's schema version: changes only when a field changes meaning
// or goes away; new fields may be added without it.
inline constexpr int REPORT_SCHEMA = 1;

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

 private:
  void write_step(size_t board, size_t step);
  void write_junit(int64_t started_ms, double seconds);
  [[nodiscard]] std::string junit_case(size_t board) const;
  void write_line(const std::string &text);
  void note(const std::string &what, int err);

  const plan &p_;
  const line_state &state_;
  output_files files_;
  std::vector<bool> logged_;  // per board: its log was begun in this run
  std::vector<std::string> errors_;
  bool report_failed_ = false;
};

// An ISO 8601 UTC time with milliseconds from ms since the epoch.
std::string iso_time(int64_t ms);
// Text made safe for XML 1.0 character data, or for a quoted attribute:
// markup escaped, characters XML cannot carry and broken UTF-8 replaced.
std::string xml_escape(const std::string &text, bool attribute);
