#include "station_report.h"

#include <netinet/in.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "net.h"
#include "outputs.h"

namespace {

using json = nlohmann::ordered_json;  // fields in the documented order

}  // namespace

void station_report::write_step(size_t slot, size_t step) {
  const step_outcome &o = station_.line.outcomes[slot][step];
  if (step_hook_) step_hook_(slot, step, o);
  if (!lines_.reporting()) return;
  json j;
  j["type"] = "step";
  j["schema"] = REPORT_SCHEMA;
  j["unit"] = station_.slots[slot].unit;
  const std::string &serial = station_.slots[slot].serial;
  j["serial"] = serial.empty() ? json(nullptr) : json(serial);
  j["slot"] = p_.boards[slot].name;
  add_step_fields(&j, p_, slot, step, o);
  add_expect_id(&j, p_.steps[step]);
  std::optional<std::string> kept = kept_ ? kept_(slot, step) : std::nullopt;
  j["kept"] = kept ? json(*kept) : json(nullptr);
  lines_.write_object(j);
}

void station_report::step_ended(size_t slot, size_t step) {
  write_step(slot, step);
  if (!p_.opt.log_dir.empty()) write_log(slot, step);
}

// A unit's log: the station's start, the unit's number and its slot, so
// that no two units, in this run or another, share a name, and a listing
// sorts them by run and unit.
std::string station_report::unit_log_name(size_t slot) const {
  std::string start = iso_time(started_ms_);
  std::string stamp;
  for (char c : start.substr(0, 19)) {
    if (c != '-' && c != ':') stamp += c;
  }
  char unit[32];
  snprintf(unit, sizeof unit, "-u%06llu-",
           static_cast<unsigned long long>(station_.slots[slot].unit));
  return stamp + "Z" + unit + p_.boards[slot].log_name;
}

void station_report::write_log(size_t slot, size_t step) {
  const step_outcome &o = station_.line.outcomes[slot][step];
  // A unit's first step begins its log; a name that exists is never
  // written over, whoever made it.
  if (unit_logs_.size() != p_.boards.size()) unit_logs_.assign(p_.boards.size(), "");
  if (step == 0) unit_logs_[slot] = p_.opt.log_dir + "/" + unit_log_name(slot);
  const std::string &path = unit_logs_[slot];
  bool fresh = step == 0;
  if (o.kesp_lines.empty() && !fresh) return;
  std::string why;
  int log = fresh ? open_new_log(path, &why) : open_log(path, false, &why);
  if (log < 0) {
    lines_.add_error("--log-dir " + path + ": " + why);
    return;
  }
  lines_.write_log(log, path, o.kesp_lines);
}

void station_report::unit_ended(size_t slot) {
  // The steps a failed unit did not run have their objects too.
  const std::vector<step_outcome> &outcomes = station_.line.outcomes[slot];
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].result == step_result::not_run) write_step(slot, i);
  }
  if (!lines_.reporting()) return;
  const unit_record &u = station_.units.back();
  const board &b = p_.boards[slot];
  json j;
  j["type"] = "unit";
  j["schema"] = REPORT_SCHEMA;
  j["unit"] = u.unit;
  j["serial"] = u.serial.empty() ? json(nullptr) : json(u.serial);
  j["slot"] = b.name;
  char text[INET_ADDRSTRLEN];
  address_text(b.address.sin_addr, text);
  j["address"] = text;
  j["interface"] = b.interface.empty() ? json(nullptr) : json(b.interface);
  j["result"] = u.verdict == board_verdict::passed ? "passed" : "failed";
  j["failure"] = u.failed_step > 0 ? json(failure_name(u.failure)) : json(nullptr);
  j["failure_class"] = u.failed_step > 0 && u.failed_step <= outcomes.size()
                           ? json(failure_class_of(outcomes[u.failed_step - 1]))
                           : json(nullptr);
  j["failed_step"] = u.failed_step > 0 ? json(u.failed_step) : json(nullptr);
  j["reason"] = u.reason.empty() ? json(nullptr) : json(u.reason);
  j["flash_id"] = u.have_flash_id ? json(hex_word(u.flash_id, 4)) : json(nullptr);
  j["steps"] = p_.steps.size();
  j["sent"] = u.sent;
  j["started"] = iso_time(u.started_ms);
  j["seconds"] = u.seconds;
  j["log"] = p_.opt.log_dir.empty() || unit_logs_.size() <= slot ? json(nullptr)
                                                                 : json(unit_logs_[slot]);
  lines_.write_object(j);
}

void station_report::finish(int64_t started_ms, double seconds) {
  if (!lines_.reporting()) return;
  station_totals t = count_units(station_);
  json j;
  j["type"] = "summary";
  j["schema"] = REPORT_SCHEMA;
  j["station"] = true;
  j["slots"] = p_.boards.size();
  j["units"] = t.units;
  j["passed"] = t.passed;
  j["failed"] = t.failed;
  j["steps"] = p_.steps.size();
  j["interrupted"] = station_.stopped;
  j["stop"] = station_.stopped                                   ? "stopped"
              : station_.signals > 0                             ? "signal"
              : p_.opt.units > 0 && t.units >= p_.opt.units ? "units"
                                                                 : "signal";
  j["result"] = station_.stopped ? "interrupted" : t.failed > 0 ? "failed" : "passed";
  j["started"] = iso_time(started_ms);
  j["seconds"] = seconds;
  j["units_per_hour"] = seconds > 0 ? static_cast<double>(t.units) * 3600.0 / seconds : 0.0;
  j["median_seconds"] = t.passed > 0 ? json(t.median_seconds) : json(nullptr);
  j["slowest_seconds"] = t.passed > 0 ? json(t.slowest_seconds) : json(nullptr);
  j["bytes_sent"] = station_.line.bytes_sent;
  lines_.write_object(j);
  lines_.close_report();
}
