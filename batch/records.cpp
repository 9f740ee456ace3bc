#include "records.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "net.h"
#include "outcome.h"
#include "text.h"
#include "wire.h"

namespace {

using json = nlohmann::ordered_json;  // fields in the documented order

std::string hex(uint32_t value, int digits) {
  char text[16];
  snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

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

}  // namespace

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

namespace {

// The length of the well-formed UTF-8 sequence at text[i] that XML may
// carry, or 0.
size_t utf8_length(const std::string &text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t n = 0;
  uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2;
    code = lead & 0x1fU;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3;
    code = lead & 0x0fU;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4;
    code = lead & 0x07U;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xc0U) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3fU);
  }
  // Overlong forms, surrogates, and the two non-characters XML excludes.
  bool shortest = (n == 3 && code >= 0x800) || (n == 4 && code >= 0x10000) || n == 2;
  bool allowed = code < 0xd800 || (code > 0xdfff && code != 0xfffe && code != 0xffff);
  return shortest && allowed && code <= 0x10ffff ? n : 0;
}

}  // namespace

std::string iso_time(int64_t ms) {
  auto seconds = static_cast<time_t>(ms / 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}

std::string xml_escape(const std::string &text, bool attribute) {
  // Broken UTF-8 goes as in the JSON report and the unit record; what is
  // left to replace here is what XML alone cannot carry.
  const std::string valid = valid_utf8(text);
  std::string out;
  for (size_t i = 0; i < valid.size();) {
    char c = valid[i];
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      // An attribute's value loses its line breaks and tabs unless they
      // are written as references.
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      case '\r':
        out += "&#13;";
        break;
      default: {
        auto byte = static_cast<unsigned char>(c);
        size_t n = byte < 0x20 ? 0 : utf8_length(valid, i);
        if (n == 0) {
          out += REPLACEMENT_CHARACTER;
          ++i;
          continue;
        }
        out.append(valid, i, n);
        i += n;
        continue;
      }
    }
    ++i;
  }
  return out;
}

records::~records() {
  if (files_.report >= 0 && files_.report != STDOUT_FILENO) close(files_.report);
  if (files_.junit >= 0) close(files_.junit);
}

void records::note(const std::string &what, int err) {
  errors_.push_back(what + ": " + strerror(err != 0 ? err : EIO));
}

bool records::open(std::string *error) {
  logged_.assign(p_.boards.size(), false);
  return claim_outputs(p_, &files_, error);
}

void records::write_line(const std::string &text) {
  if (files_.report < 0 || report_failed_) return;
  // A line in one write, so that a station reading the file as it grows,
  // or after a crash, never sees half an object; one that went out only
  // in part is cut off again.
  off_t whole = lseek(files_.report, 0, SEEK_CUR);
  if (write_whole(files_.report, text + "\n")) return;
  int err = errno;
  report_failed_ = true;
  note("--report " + p_.opt.report, err);
  struct stat st {};
  if (whole >= 0 && fstat(files_.report, &st) == 0 && S_ISREG(st.st_mode) &&
      ftruncate(files_.report, whole) != 0) {
    note("--report " + p_.opt.report + ": cutting back to the last whole line", errno);
  }
}

// A station's step names its unit and slot.
void records::add_unit_fields(nlohmann::ordered_json *j, size_t board) const {
  if (station_ == nullptr) return;
  (*j)["unit"] = station_->slots[board].unit;
  const std::string &serial = station_->slots[board].serial;
  (*j)["serial"] = serial.empty() ? json(nullptr) : json(serial);
  (*j)["slot"] = p_.boards[board].name;
}

// The flash id a step expected: in every object of a station, and in a
// one-shot run's only when one was given, so that its objects stay as
// they were.
void records::add_expect_id(nlohmann::ordered_json *j, const step &s) const {
  if (!s.check_id && station_ == nullptr) return;
  (*j)["expect_id"] = s.check_id ? json(hex(s.expect_id, 4)) : json(nullptr);
}

namespace {

// A board's address in a step object: null when its name did not resolve.
json address_json(const board &b) {
  if (!b.resolved) return nullptr;
  char text[INET_ADDRSTRLEN];
  address_text(b.address.sin_addr, text);
  return text;
}

}  // namespace

void records::write_step(size_t board, size_t step) {
  if (files_.report < 0 && !step_hook_) return;
  const struct board &b = p_.boards[board];
  const struct step &s = p_.steps[step];
  const step_outcome &o = state_->outcomes[board][step];
  bool image = s.mode != step_mode::start;
  bool ran = o.result != step_result::not_run;
  json j;
  j["type"] = "step";
  j["schema"] = REPORT_SCHEMA;
  add_unit_fields(&j, board);
  j["board"] = b.name;
  j["address"] = address_json(b);
  j["step"] = step + 1;
  j["steps"] = p_.steps.size();
  j["mode"] = mode_name(s.mode);
  j["device"] = image ? json(device_name(s.flags)) : json(nullptr);
  j["flags"] = image ? json(hex(s.flags, 8)) : json(nullptr);
  j["flash_address"] = image ? json(hex(s.address, 8)) : json(nullptr);
  j["image"] = image ? json(o.file.empty() ? b.files[step] : o.file) : json(nullptr);
  j["size"] = image ? json(o.size) : json(nullptr);
  j["sha256"] = image ? json(o.sha256) : json(nullptr);
  j["result"] = result_name(o.result);
  j["failure"] = o.result == step_result::failed ? json(failure_name(o.failure)) : json(nullptr);
  j["reason"] = o.reason.empty() ? json(nullptr) : json(o.reason);
  j["flash_id"] = o.have_flash_id ? json(hex(o.flash_id, 4)) : json(nullptr);
  j["error"] = o.have_verdict ? json(o.error) : json(nullptr);
  j["error_text"] = o.have_verdict ? json(flash_error_str(o.error)) : json(nullptr);
  j["crc"] = image && ran ? json(hex(o.crc, 8)) : json(nullptr);
  j["target_crc"] = o.have_verdict ? json(hex(o.target_crc, 8)) : json(nullptr);
  j["sent"] = image && ran ? json(o.sent) : json(nullptr);
  j["attempts"] = o.attempts;
  j["started"] = ran ? json(iso_time(o.started_ms)) : json(nullptr);
  j["seconds"] = ran ? json(o.seconds) : json(nullptr);
  add_expect_id(&j, s);
  if (step_hook_) step_hook_(board, j);
  if (files_.report < 0) return;
  write_line(j.dump(-1, ' ', false, json::error_handler_t::replace));
}

void records::step_ended(size_t board, size_t step) {
  write_step(board, step);
  if (!p_.opt.log_dir.empty()) write_log(board, step);
}

// A station's unit log: the station's start, the unit's number and its
// slot, so that no two units, in this run or another, share a name, and
// a listing sorts them by run and unit.
std::string records::unit_log_name(size_t slot) const {
  std::string start = iso_time(station_started_ms_);
  std::string stamp;
  for (char c : start.substr(0, 19)) {
    if (c != '-' && c != ':') stamp += c;
  }
  char unit[32];
  snprintf(unit, sizeof unit, "-u%06llu-",
           static_cast<unsigned long long>(station_->slots[slot].unit));
  return stamp + "Z" + unit + p_.boards[slot].log_name;
}

void records::write_log(size_t board, size_t step) {
  const step_outcome &o = state_->outcomes[board][step];
  std::string path;
  if (station_ != nullptr) {
    // A unit's first step begins its log; a name that exists is never
    // written over, whoever made it.
    if (unit_logs_.size() != p_.boards.size()) unit_logs_.assign(p_.boards.size(), "");
    if (step == 0) unit_logs_[board] = p_.opt.log_dir + "/" + unit_log_name(board);
    path = unit_logs_[board];
    bool fresh = step == 0;
    if (o.kesp_lines.empty() && !fresh) return;
    std::string why;
    int log = fresh ? open_new_log(path, &why) : open_log(path, false, &why);
    if (log < 0) {
      errors_.push_back("--log-dir " + path + ": " + why);
      return;
    }
    write_log(log, path, o.kesp_lines);
    return;
  }
  if (o.kesp_lines.empty() && logged_[board]) return;
  // The first step of the run replaces an older log of the same board.
  path = p_.opt.log_dir + "/" + p_.boards[board].log_name;
  std::string why;
  int log = open_log(path, !logged_[board], &why);
  if (log < 0) {
    errors_.push_back("--log-dir " + path + ": " + why);
    return;
  }
  logged_[board] = true;
  write_log(log, path, o.kesp_lines);
}

// A log is whole only once closed: a close that fails is a write error too.
void records::write_log(int log, const std::string &path, const std::string &text) {
  bool ok = write_whole(log, text);
  int err = errno;
  if (close(log) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) note("--log-dir " + path, err);
}

void records::unit_ended(size_t slot) {
  // The steps a failed unit did not run have their objects too.
  board_ended(slot);
  if (files_.report < 0) return;
  const unit_record &u = station_->units.back();
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
  j["failed_step"] = u.failed_step > 0 ? json(u.failed_step) : json(nullptr);
  j["reason"] = u.reason.empty() ? json(nullptr) : json(u.reason);
  j["flash_id"] = u.have_flash_id ? json(hex(u.flash_id, 4)) : json(nullptr);
  j["steps"] = p_.steps.size();
  j["sent"] = u.sent;
  j["started"] = iso_time(u.started_ms);
  j["seconds"] = u.seconds;
  j["log"] = p_.opt.log_dir.empty() || unit_logs_.size() <= slot
                 ? json(nullptr)
                 : json(unit_logs_[slot]);
  write_line(j.dump(-1, ' ', false, json::error_handler_t::replace));
}

void records::board_ended(size_t board) {
  const std::vector<step_outcome> &outcomes = state_->outcomes[board];
  for (size_t i = 0; i < outcomes.size(); ++i) {
    if (outcomes[i].result == step_result::not_run) write_step(board, i);
  }
}

void records::finish(int64_t started_ms, double seconds) {
  if (station_ != nullptr) {
    finish_station(started_ms, seconds);
    return;
  }
  tally t = count_boards(state_->outcomes);
  if (files_.report >= 0) {
    json j;
    j["type"] = "summary";
    j["schema"] = REPORT_SCHEMA;
    j["boards"] = p_.boards.size();
    j["passed"] = t.passed;
    j["failed"] = t.failed;
    j["not_run"] = t.not_run;
    j["steps"] = p_.steps.size();
    j["interrupted"] = state_->interrupts > 0;
    j["result"] = state_->interrupts > 0 ? "interrupted" : t.failed > 0 ? "failed" : "passed";
    j["started"] = iso_time(started_ms);
    j["seconds"] = seconds;
    j["bytes_sent"] = state_->bytes_sent;
    write_line(j.dump(-1, ' ', false, json::error_handler_t::replace));
    if (files_.report != STDOUT_FILENO && close(files_.report) != 0 && !report_failed_)
      note("--report " + p_.opt.report, errno);
    files_.report = -1;
  }
  write_junit(started_ms, seconds);
}

void records::finish_station(int64_t started_ms, double seconds) {
  if (files_.report < 0) return;
  station_totals t = count_units(*station_);
  json j;
  j["type"] = "summary";
  j["schema"] = REPORT_SCHEMA;
  j["station"] = true;
  j["slots"] = p_.boards.size();
  j["units"] = t.units;
  j["passed"] = t.passed;
  j["failed"] = t.failed;
  j["steps"] = p_.steps.size();
  j["interrupted"] = station_->stopped;
  j["stop"] = station_->stopped        ? "stopped"
              : station_->signals > 0  ? "signal"
              : p_.opt.units > 0 && t.units >= p_.opt.units ? "units"
                                                              : "signal";
  j["result"] = station_->stopped ? "interrupted" : t.failed > 0 ? "failed" : "passed";
  j["started"] = iso_time(started_ms);
  j["seconds"] = seconds;
  j["units_per_hour"] = seconds > 0 ? static_cast<double>(t.units) * 3600.0 / seconds : 0.0;
  j["median_seconds"] = t.units > 0 ? json(t.median_seconds) : json(nullptr);
  j["slowest_seconds"] = t.units > 0 ? json(t.slowest_seconds) : json(nullptr);
  j["bytes_sent"] = station_->line.bytes_sent;
  write_line(j.dump(-1, ' ', false, json::error_handler_t::replace));
  if (files_.report != STDOUT_FILENO && close(files_.report) != 0 && !report_failed_)
    note("--report " + p_.opt.report, errno);
  files_.report = -1;
}

// One board's test case: a failure naming its first failed step, or
// skipped when it did not run to its end, and a line per step.
std::string records::junit_case(size_t board) const {
  const std::vector<step_outcome> &outcomes = state_->outcomes[board];
  double time = 0;
  std::string story;
  std::string failure;
  std::string failure_type;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const step_outcome &o = outcomes[i];
    time += o.seconds;
    std::string title = step_title(p_, board, i);
    story += title + ": ";
    if (o.result == step_result::passed) {
      story += "passed\n";
      continue;
    }
    story += (o.result == step_result::failed ? "FAILED: " : "") + o.reason + "\n";
    if (o.result == step_result::failed && failure.empty()) {
      failure = title + ": " + o.reason;
      failure_type = failure_name(o.failure);
    }
  }
  char attrs[64];
  snprintf(attrs, sizeof attrs, R"(" time="%.3f">)", time);
  std::string text = R"(    <testcase classname="kesp-batch" name=")" +
                     xml_escape(p_.boards[board].name, true) + attrs + "\n";
  switch (verdict_of(outcomes)) {
    case board_verdict::failed:
      text += R"(      <failure type=")" + failure_type + R"(" message=")" +
              xml_escape(failure, true) + "\"/>\n";
      break;
    case board_verdict::not_run:
      text += R"(      <skipped message=")" + xml_escape(outcomes.back().reason, true) + "\"/>\n";
      break;
    case board_verdict::passed:
      break;
  }
  return text + "      <system-out>" + xml_escape(story, false) +
         "</system-out>\n    </testcase>\n";
}

void records::write_junit(int64_t started_ms, double seconds) {
  if (files_.junit < 0) return;
  tally t = count_boards(state_->outcomes);
  char counts[200];
  snprintf(counts, sizeof counts,
           R"(name="kesp-batch" tests="%zu" failures="%zu" errors="0" skipped="%zu" time="%.3f")",
           p_.boards.size(), t.failed, t.not_run, seconds);
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites " +
                    std::string(counts) + ">\n  <testsuite " + counts + " timestamp=\"" +
                    iso_time(started_ms) + "\">\n";
  for (size_t b = 0; b < p_.boards.size(); ++b) doc += junit_case(b);
  doc += "  </testsuite>\n</testsuites>\n";
  // Whole under its temporary name first, then renamed into place: after
  // any crash the file is absent or whole.
  bool ok = write_whole(files_.junit, doc);
  bool temp = !files_.junit_temp.empty();
  if (ok && temp) ok = fsync(files_.junit) == 0;
  if (ok && temp) ok = rename(files_.junit_temp.c_str(), files_.junit_final.c_str()) == 0;
  int err = errno;
  if (!ok && temp) unlink(files_.junit_temp.c_str());
  if (close(files_.junit) != 0 && ok) {
    ok = false;
    err = errno;
  }
  files_.junit = -1;
  if (!ok) note("--junit " + p_.opt.junit, err);
}
