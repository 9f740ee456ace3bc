// What happened to each step of each board, and where each board is now:
// the one record that the live view, the plain lines, the JSON and JUnit
// reports and the logs are all written from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class step_result : uint8_t {
  not_run,  // never started: an earlier step failed, or the run was interrupted
  passed,
  failed,
};

// Why a step failed, in the words the reports use for its kind.
enum class failure_kind : uint8_t {
  none,
  unresolved,    // the board's name did not resolve
  connect,       // no connection could be made
  connection,    // the connection ended before a verdict
  target_error,  // the target's verdict carries an error code
  crc_mismatch,  // error 0, but the target's CRC is not ours
  local,         // the image could not be read here
  timeout,       // --step-timeout ran out
  interrupted,   // stopped by a second interrupt
  flash_id,      // the first reply named another flash than --expect-id
};

struct step_outcome {
  step_result result = step_result::not_run;
  failure_kind failure = failure_kind::none;
  std::string reason;          // one line: why it failed or was not run; "" when it passed
  std::string file;            // its image's name as the reports give it; "" for a start
  uint32_t size = 0;           // its length
  std::string sha256;          // its SHA-256 in hexadecimal, as snapshotted; "" for a start
  int attempts = 0;            // connections tried for the step
  int64_t started_ms = 0;      // wall clock (ms since the epoch) when the first attempt began
  double seconds = 0;          // from the first attempt's start to the end
  uint32_t sent = 0;           // image bytes sent in the last attempt
  uint32_t crc = 0;            // CRC-32 of those bytes, ours
  bool have_flash_id = false;  // the first reply arrived
  uint16_t flash_id = 0;
  bool have_verdict = false;  // the final reply arrived
  int32_t error = 0;          // its error code
  uint32_t target_crc = 0;    // its CRC-32
  std::string kesp_lines;     // what kesp prints for every attempt, the bar once, final
};

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

// The words of a result and a failure kind, as the report and the unit
// record both write them.
const char *result_name(step_result r);
const char *failure_name(failure_kind k);
// Whose failure a failed step is, as the reports and the unit record class
// it, so that yield counts what the units did apart from what was done to
// them: "board", "part" or "link" (the unit's own), "operator" or
// "station" (an interrupt, a set-up mistake); "" unless it failed.
const char *failure_class_of(const step_outcome &o);

// Milliseconds since the epoch, for the reports' times of day.
int64_t wall_clock_ms();

// A board's verdict over all its steps.
enum class board_verdict : uint8_t { passed, failed, not_run };
board_verdict verdict_of(const std::vector<step_outcome> &outcomes);

// The counts of the summary, from every board's outcomes.
struct tally {
  size_t passed = 0;
  size_t failed = 0;
  size_t not_run = 0;
};
tally count_boards(const std::vector<std::vector<step_outcome>> &outcomes);
