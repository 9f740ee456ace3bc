#include "outcome.h"

#include <chrono>

#include "wire.h"

const char *result_name(step_result r) {
  switch (r) {
    case step_result::passed:
      return "passed";
    case step_result::failed:
      return "failed";
    case step_result::not_run:
      return "not run";
  }
  return "?";
}

const char *failure_name(failure_kind k) {
  switch (k) {
    case failure_kind::none:
      return "none";
    case failure_kind::unresolved:
      return "unresolved";
    case failure_kind::connect:
      return "connect";
    case failure_kind::connection:
      return "connection";
    case failure_kind::target_error:
      return "target_error";
    case failure_kind::crc_mismatch:
      return "crc_mismatch";
    case failure_kind::local:
      return "local";
    case failure_kind::timeout:
      return "timeout";
    case failure_kind::interrupted:
      return "interrupted";
    case failure_kind::flash_id:
      return "flash_id";
  }
  return "?";
}

const char *failure_class_of(const step_outcome &o) {
  if (o.result != step_result::failed) return "";
  switch (o.failure) {
    case failure_kind::connect:
    case failure_kind::connection:
      return "link";
    case failure_kind::crc_mismatch:
    case failure_kind::timeout:
      return "board";
    case failure_kind::flash_id:
      return "part";
    case failure_kind::target_error:
      // An address or a size past the device is the recipe's, not the
      // flash's: every unit would fail the same way.
      if (o.error == ERR_INVALID_ADDRESS || o.error == -ERR_INVALID_ADDRESS ||
          o.error == ERR_INVALID_SIZE || o.error == -ERR_INVALID_SIZE) {
        return "station";
      }
      return "part";
    case failure_kind::interrupted:
      return "operator";
    case failure_kind::unresolved:
    case failure_kind::local:
    case failure_kind::none:
      return "station";
  }
  return "station";
}

board_verdict verdict_of(const std::vector<step_outcome> &outcomes) {
  bool all_passed = true;
  for (const step_outcome &o : outcomes) {
    if (o.result == step_result::failed) return board_verdict::failed;
    all_passed = all_passed && o.result == step_result::passed;
  }
  return all_passed ? board_verdict::passed : board_verdict::not_run;
}

tally count_boards(const std::vector<std::vector<step_outcome>> &outcomes) {
  tally t;
  for (const auto &board : outcomes) {
    switch (verdict_of(board)) {
      case board_verdict::passed:
        ++t.passed;
        break;
      case board_verdict::failed:
        ++t.failed;
        break;
      case board_verdict::not_run:
        ++t.not_run;
        break;
    }
  }
  return t;
}

int64_t wall_clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}
