// What happened to each step of each board: the one record that the live
// view, the plain lines, the JSON and JUnit reports and the logs are all
// written from.
#pragma once

#include <cstdint>
#include <string>

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
};

struct step_outcome {
  step_result result = step_result::not_run;
  failure_kind failure = failure_kind::none;
  std::string reason;          // one line: why it failed or was not run; "" when it passed
  std::string file;            // the image as this board used it; "" for a start
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
  uint32_t reply_addr = 0;    // its address (where a compare failed)
  uint32_t reply_size = 0;    // its size
  std::string kesp_lines;     // what kesp prints for every attempt, the bar once, final
};
