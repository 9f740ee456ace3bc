// The station's gate to the unit record and per-unit data: a board that
// arrives gets its row and serial number, durably, then its data made,
// and only then is its first byte sent. Everything here runs on the
// station's poll loop; the database's waits are the recorder's thread's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plan.h"
#include "station.h"
#include "unit_data.h"
#include "unit_recorder.h"
#include "unit_store.h"

// How long an arrived board's connection waits for the database to write
// its unit's row; past it the board is let go untouched.
inline constexpr int BEGIN_WAIT_MS = 5000;

class unit_desk : public unit_gate {
 public:
  // recorder may be nullptr: units then have no row and no serial, and
  // only per-unit data is made.
  unit_desk(const plan &p, std::string station, unit_recorder *recorder);

  void arrived(size_t slot, uint64_t unit, int64_t now) override;
  void add_fds(std::vector<int> *fds) const override;
  void decide(int64_t now, std::vector<gate_decision> *out) override;
  [[nodiscard]] int64_t wake_time(int64_t now, int64_t next) const override;
  void drop(size_t slot) override;
  [[nodiscard]] const unit_images *images(size_t slot) const override;
  [[nodiscard]] std::string serial(size_t slot) const override;
  [[nodiscard]] std::string closed() const override { return closed_; }
  // The pool's serials are another pool's too: the station was set up
  // wrong, not a unit.
  [[nodiscard]] bool serials_clash() const { return clash_; }

  // The record's side of the report: a step of the slot's unit, as the
  // report writes its object, and the unit's end.
  void step_ended(size_t slot, size_t step, const step_outcome &o);
  void unit_ended(const unit_record &u);
  // What the record keeps of the slot's unit's data for the step (--keep),
  // as steps.kept holds it; none for a step without.
  [[nodiscard]] std::optional<std::string> kept(size_t slot, size_t step) const;
  // A warning for the operator that came up since the last call ("" for none).
  std::string take_warning() { return std::exchange(warning_, ""); }

 private:
  enum class stage : uint8_t { idle, begin, data, started };
  struct slot_desk {
    stage at = stage::idle;
    uint64_t unit = 0;
    uint64_t ticket = 0;
    int64_t hold_until = 0;
    int64_t unit_id = 0;  // its row; 0 without a record
    std::string serial;
    std::vector<std::unique_ptr<unit_data_run>> runs;  // per step: its command, if any
    std::vector<snapshot> files;                       // per step: its {serial} file, if any
    unit_images images;
    std::vector<std::optional<std::string>> kept;  // per step: its data, with --keep
    std::string failure_class;                     // its first failed step's
  };
  void answered(const begin_answer &a, std::vector<gate_decision> *out);
  void make_data(size_t slot, std::vector<gate_decision> *out);
  void data_ready(size_t slot, std::vector<gate_decision> *out);
  std::string keep(size_t slot, size_t step, const snapshot &image);

  const plan &p_;
  const std::string station_;
  unit_recorder *recorder_;
  std::vector<slot_desk> slots_;
  std::map<uint64_t, size_t> tickets_;  // begins asked for: ticket -> slot
  std::string closed_;
  std::string warning_;
  bool warned_low_ = false;
  bool clash_ = false;
};

// The store's step from the step's outcome, each column holding what the
// report's step object holds under the same name: one record, two places.
step_record step_record_of(const plan &p, size_t slot, size_t step, const step_outcome &o,
                           int64_t unit_id);
