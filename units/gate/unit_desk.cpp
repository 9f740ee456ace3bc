#include "unit_desk.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "net.h"
#include "records.h"
#include "text.h"
#include "wire.h"

step_record step_record_of(const plan &p, size_t slot, size_t step, const step_outcome &o,
                           int64_t unit_id) {
  const board &b = p.boards[slot];
  const struct step &s = p.steps[step];
  bool image = s.mode != step_mode::start;
  bool ran = o.result != step_result::not_run;
  step_record r;
  r.unit_id = unit_id;
  r.step = static_cast<int>(step + 1);
  r.steps = static_cast<int>(p.steps.size());
  r.board = b.name;
  if (b.resolved) {
    char text[INET_ADDRSTRLEN];
    address_text(b.address.sin_addr, text);
    r.address = text;
  }
  r.mode = mode_name(s.mode);
  if (image) {
    r.device = device_name(s.flags);
    r.flags = hex_word(s.flags, 8);
    r.flash_address = hex_word(s.address, 8);
    r.image = o.file.empty() ? b.files[step] : o.file;
    r.size = o.size;
    r.sha256 = o.sha256;
  }
  r.result = result_name(o.result);
  if (o.result == step_result::failed) {
    r.failure = failure_name(o.failure);
    r.failure_class = failure_class_of(o);
  }
  if (!o.reason.empty()) r.reason = o.reason;
  if (o.have_flash_id) r.flash_id = hex_word(o.flash_id, 4);
  if (o.have_verdict) {
    r.error = o.error;
    r.error_text = flash_error_str(o.error);
    r.target_crc = hex_word(o.target_crc, 8);
  }
  if (image && ran) {
    r.crc = hex_word(o.crc, 8);
    r.sent = o.sent;
  }
  r.attempts = o.attempts;
  if (ran) {
    r.started = iso_time(o.started_ms);
    r.seconds = o.seconds;
  }
  return r;
}

unit_desk::unit_desk(const plan &p, std::string station, unit_recorder *recorder)
    : p_(p), station_(std::move(station)), recorder_(recorder), slots_(p.boards.size()) {}

void unit_desk::arrived(size_t slot, uint64_t unit, int64_t now) {
  slot_desk &d = slots_[slot];
  d.at = stage::begin;
  d.unit = unit;
  d.unit_id = 0;
  d.serial.clear();
  // The last unit has ended: its data goes.
  d.runs.clear();
  d.files.clear();
  d.images.images.clear();
  d.images.files.clear();
  d.kept.clear();
  d.failure_class.clear();
  if (recorder_ == nullptr) {
    d.at = stage::data;
    return;
  }
  d.ticket = recorder_->begin_unit(p_.boards[slot].name, static_cast<int64_t>(unit));
  d.hold_until = now + BEGIN_WAIT_MS;
  tickets_[d.ticket] = slot;
}

void unit_desk::add_fds(std::vector<int> *fds) const {
  if (recorder_ != nullptr) fds->push_back(recorder_->fd());
  for (const slot_desk &d : slots_) {
    if (d.at != stage::data) continue;
    for (const auto &run : d.runs) {
      if (run != nullptr && !run->finished()) fds->push_back(run->fd());
    }
  }
}

int64_t unit_desk::wake_time(int64_t /*now*/, int64_t next) const {
  for (const slot_desk &d : slots_) {
    if (d.at == stage::begin && recorder_ != nullptr) next = std::min(next, d.hold_until);
  }
  return next;
}

// The database's word on a unit's row: the unit goes on to its data, or
// its board is let go untouched.
void unit_desk::answered(const begin_answer &a, std::vector<gate_decision> *out) {
  auto at = tickets_.find(a.ticket);
  bool current = at != tickets_.end();
  size_t slot = current ? at->second : 0;
  if (current) tickets_.erase(at);
  if (current && slots_[slot].ticket != a.ticket) current = false;
  if (current && slots_[slot].at != stage::begin) current = false;
  if (!current) {
    // Its board was let go before the row came: the serial is never handed
    // out again, and the row says why it holds no unit.
    if (a.error.empty()) {
      recorder_->end_unit(a.unit.id, unit_result::abandoned, "database",
                          "the board was let go before its row was written", unit_time_now(),
                          "station");
    }
    return;
  }
  slot_desk &d = slots_[slot];
  if (!a.error.empty()) {
    if (a.error.find("are all used") != std::string::npos) closed_ = a.error;
    if (a.unit.serials_clash) {
      closed_ = a.error;
      clash_ = true;
    }
    d.at = stage::idle;
    out->push_back(
        {.what = gate_decision::kind::refuse, .slot = slot, .step = 0, .reason = a.error});
    return;
  }
  d.unit_id = a.unit.id;
  d.serial = a.unit.serial;
  if (!d.serial.empty() && a.unit.serials_low && !warned_low_) {
    warned_low_ = true;
    warning_ = "serial numbers running low: " + std::to_string(a.unit.serials_left) +
               " left after " + d.serial;
  }
  if (!d.serial.empty() && a.unit.serials_left == 0) {
    closed_ = "the serial numbers ran out with " + d.serial +
              ": no new unit can start (give --serials a new range or format)";
  }
  d.at = stage::data;
}

// Starts the unit's data commands and takes its {serial} files; a unit
// whose data cannot even begin fails at once.
void unit_desk::make_data(size_t slot, std::vector<gate_decision> *out) {
  slot_desk &d = slots_[slot];
  size_t steps = p_.steps.size();
  d.runs.clear();
  d.runs.resize(steps);
  d.files.clear();
  d.files.resize(steps);
  d.images.images.assign(steps, nullptr);
  d.images.files.assign(steps, "");
  d.kept.assign(steps, std::nullopt);
  unit_data_env env{.serial = d.serial,
                    .unit = std::to_string(d.unit),
                    .slot = p_.boards[slot].name,
                    .station = station_};
  unit_data_limits limits;
  limits.timeout_ms = p_.opt.data_timeout_ms;
  for (size_t i = 0; i < steps; ++i) {
    const step &s = p_.steps[i];
    if (!per_unit_image(s)) continue;
    std::string why;
    if (s.command.empty()) {
      std::string file = unit_file(p_.boards[slot].files[i], d.serial);
      why = d.files[i].take(file);
      if (why.empty()) why = keep(slot, i, d.files[i]);
      if (why.empty()) {
        d.images.images[i] = &d.files[i];
        d.images.files[i] = file;
        continue;
      }
      why = cat({"image ", file, ": ", why});
    } else {
      d.runs[i] = std::make_unique<unit_data_run>();
      env.folder = s.folder;
      why = d.runs[i]->start(s.command, env, limits);
      if (why.empty()) continue;
      why = cat({"--from-command: ", why});
    }
    d.runs.clear();
    d.at = stage::started;
    out->push_back({.what = gate_decision::kind::fail, .slot = slot, .step = i, .reason = why});
    return;
  }
}

void unit_desk::data_ready(size_t slot, std::vector<gate_decision> *out) {
  slot_desk &d = slots_[slot];
  if (std::ranges::any_of(d.runs, [](const auto &run) { return run != nullptr && !run->finished(); })) {
    return;
  }
  d.at = stage::started;
  for (size_t i = 0; i < d.runs.size(); ++i) {
    if (d.runs[i] == nullptr) continue;
    if (!d.runs[i]->failure().empty()) {
      out->push_back({.what = gate_decision::kind::fail,
                      .slot = slot,
                      .step = i,
                      .reason = "--from-command: " + d.runs[i]->failure()});
      return;
    }
    std::string why = keep(slot, i, d.runs[i]->image());
    if (!why.empty()) {
      out->push_back({.what = gate_decision::kind::fail,
                      .slot = slot,
                      .step = i,
                      .reason = "--from-command: " + why});
      return;
    }
    d.images.images[i] = &d.runs[i]->image();
    d.images.files[i] = "$(" + p_.steps[i].command + ")";
  }
  out->push_back({.what = gate_decision::kind::start, .slot = slot, .step = 0, .reason = ""});
}

void unit_desk::decide(int64_t now, std::vector<gate_decision> *out) {
  if (recorder_ != nullptr) {
    for (const begin_answer &a : recorder_->answers()) answered(a, out);
    for (size_t s = 0; s < slots_.size(); ++s) {
      slot_desk &d = slots_[s];
      if (d.at != stage::begin || now < d.hold_until) continue;
      // Its answer, when it comes, finds the ticket gone.
      d.at = stage::idle;
      out->push_back({.what = gate_decision::kind::refuse,
                      .slot = s,
                      .step = 0,
                      .reason = "database slow: no answer in " +
                                std::to_string(BEGIN_WAIT_MS / 1000) + " s"});
    }
  }
  for (size_t s = 0; s < slots_.size(); ++s) {
    slot_desk &d = slots_[s];
    if (d.at != stage::data) continue;
    if (d.images.images.size() != p_.steps.size()) {
      make_data(s, out);
      if (d.at != stage::data) continue;
    }
    data_ready(s, out);
  }
}

void unit_desk::drop(size_t slot) {
  slot_desk &d = slots_[slot];
  if (d.at == stage::data && recorder_ != nullptr && d.unit_id != 0) {
    recorder_->end_unit(d.unit_id, unit_result::abandoned, "interrupted",
                        "stopped before its board was touched", unit_time_now(), "operator");
  }
  d.runs.clear();
  d.at = stage::idle;
}

const unit_images *unit_desk::images(size_t slot) const {
  const slot_desk &d = slots_[slot];
  return d.images.images.size() == p_.steps.size() ? &d.images : nullptr;
}

std::string unit_desk::serial(size_t slot) const { return slots_[slot].serial; }

void unit_desk::step_ended(size_t slot, size_t step, const step_outcome &o) {
  slot_desk &d = slots_[slot];
  if (o.result == step_result::failed && d.failure_class.empty()) {
    d.failure_class = failure_class_of(o);
  }
  if (recorder_ == nullptr || d.unit_id == 0) return;
  step_record r = step_record_of(p_, slot, step, o, d.unit_id);
  r.kept = kept(slot, step);
  recorder_->record_step(r);
}

std::optional<std::string> unit_desk::kept(size_t slot, size_t step) const {
  const slot_desk &d = slots_[slot];
  return step < d.kept.size() ? d.kept[step] : std::nullopt;
}

// Takes the step's data for the record when its step keeps it: "" or why
// the unit fails, before its board is touched.
std::string unit_desk::keep(size_t slot, size_t step, const snapshot &image) {
  if (!p_.steps[step].keep) return "";
  if (image.size() > KEEP_LIMIT) {
    return cat({"the unit's data is ", std::to_string(image.size()), " bytes, more than --keep's ",
                std::to_string(KEEP_LIMIT),
                ": keep an identity (a serial, a MAC address), not a whole image"});
  }
  std::string bytes(image.size(), '\0');
  ssize_t got = pread(image.fd(), bytes.data(), bytes.size(), 0);
  if (got != static_cast<ssize_t>(bytes.size())) {
    return cat({"the unit's data could not be read back to keep: ",
                got < 0 ? strerror(errno) : "it was cut short"});
  }
  slots_[slot].kept[step] = kept_text(bytes);
  return "";
}

void unit_desk::unit_ended(const unit_record &u) {
  const slot_desk &d = slots_[u.slot];
  if (recorder_ == nullptr || d.unit_id == 0) return;
  bool passed = u.verdict == board_verdict::passed;
  // Called as the unit ends: its time is taken now, however long the
  // record then waits to be written.
  recorder_->end_unit(d.unit_id, passed ? unit_result::passed : unit_result::failed,
                      u.failed_step > 0 ? failure_name(u.failure) : "", u.reason, unit_time_now(),
                      passed ? "" : d.failure_class);
}
