#include "station_view.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "net.h"

namespace {

constexpr size_t SLOT_BAR_CELLS = 20;       // cells of a slot's bar
constexpr size_t FAILURES_SHOWN = 3;        // the last failures under the totals
constexpr int64_t TOTALS_EVERY_MS = 60000;  // plain totals, while units end
constexpr size_t LABEL_COLUMN_LIMIT = 12;   // wider labels push their line along
constexpr size_t SHORTEST_CUT = 8;          // a cut piece narrower than this says nothing
// Before this many units, or this long, a rate or a median is one
// board's accident rather than the station's pace.
constexpr uint64_t TELLING_UNITS = 5;
constexpr int64_t TELLING_MS = 60000;
constexpr double BYTES_PER_MIB = 1024.0 * 1024.0;
constexpr char GAP[] = "  ";

const char GREEN[] = "\x1b[32m";
const char RED[] = "\x1b[1;31m";
const char CYAN[] = "\x1b[36m";
const char DIM[] = "\x1b[2m";
const char PLAIN[] = "\x1b[0m";

// The operator's two ways on with a board the station cannot tell from the
// last; at the station's own terminal, one key is the way.
std::string release_text(bool keys) {
  std::string how =
      keys ? std::string("press ") + RELEASE_KEY : "kill -USR1 " + std::to_string(getpid());
  return "remove it, or " + how + " to flash it as a new unit";
}

std::string padded(const std::string &text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// text in at most width bytes, "..." saying it was cut; never in the
// middle of a UTF-8 character.
std::string cut(const std::string &text, size_t width) {
  if (text.size() <= width) return text;
  if (width < 3) return "";
  size_t keep = width - 3;
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0U) == 0x80U) --keep;
  return text.substr(0, keep) + "...";
}

std::string joined(const std::vector<std::string> &parts, const char *between) {
  std::string out;
  for (const std::string &part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += between;
    out += part;
  }
  return out;
}

}  // namespace

std::string fit_slot_text(const slot_text &t, size_t width, bool colour) {
  auto paint = [colour](const char *code, const std::string &text) {
    return colour && code != nullptr && !text.empty() ? code + text + PLAIN : text;
  };
  std::string head = joined({t.label, t.state, t.action}, GAP);
  // The columns left once the head and a gap are in, the last one kept free.
  size_t room = width > head.size() + 3 ? width - head.size() - 3 : 0;
  std::string tail = joined({t.reason, t.details}, GAP);
  if (tail.size() > room) {
    size_t beside = t.reason.size() + 2;  // the reason and the gap after it
    if (!t.reason.empty() && room >= beside + SHORTEST_CUT && !t.details.empty()) {
      tail = t.reason + GAP + cut(t.details, room - beside);
    } else if (t.reason.size() <= room && !t.reason.empty()) {
      tail = t.reason;
    } else {
      tail = room >= SHORTEST_CUT ? cut(t.reason.empty() ? t.details : t.reason, room) : "";
    }
  }
  std::string line = t.label.empty() ? "" : t.label + GAP;
  line += paint(t.colour, t.state);
  if (!t.action.empty()) line += GAP + paint(t.colour, t.action);
  if (!tail.empty()) line += GAP + tail;
  return line;
}

std::string elapsed(int64_t ms) {
  int64_t s = std::max<int64_t>(0, ms) / 1000;
  char text[32];
  if (s < 60) {
    snprintf(text, sizeof text, "%llds", static_cast<long long>(s));
  } else if (s < 3600) {
    snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(s / 60),
             static_cast<long long>(s % 60));
  } else {
    snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(s / 3600),
             static_cast<long long>(s / 60 % 60));
  }
  return text;
}

station_view::station_view(const plan &p, const station_state &state, console *out, bool quiet,
                           bool colour, bool keys)
    : p_(p), state_(state), out_(out), quiet_(quiet), colour_(colour), keys_(keys) {
  for (size_t s = 0; s < p.boards.size(); ++s) {
    label_width_ = std::max(label_width_, std::min(slot_label(p, s).size(), LABEL_COLUMN_LIMIT));
  }
}

// A slot in the plain output: its label, if it has one, and its board.
std::string station_view::plain_name(size_t slot) const {
  const board &b = p_.boards[slot];
  return b.label.empty() ? b.name : b.label + " " + b.name;
}

// Whether the slot's board has answered every try since its unit ended,
// for as long as the slot would otherwise have taken the next: it is
// either still in or was swapped faster than a try could see, and only
// the operator can tell which.
bool station_view::still_in(size_t slot, int64_t now_ms) const {
  const slot_status &st = state_.slots[slot];
  return st.phase == slot_phase::leaving && st.still_in && st.gone_ms < 0 &&
         now_ms - st.since_ms >= p_.opt.settle_ms;
}

// "unit 7 KX000123 PASSED" for the slot's last unit; in capitals, painted, on a terminal.
std::string station_view::last_unit(size_t slot, bool loud) const {
  const slot_status &st = state_.slots[slot];
  bool passed = st.earlier || state_.units[st.record].verdict == board_verdict::passed;
  uint64_t number = st.earlier ? st.unit : state_.units[st.record].unit;
  const std::string &serial = st.earlier ? st.serial : state_.units[st.record].serial;
  std::string text = "unit " + std::to_string(number) + (serial.empty() ? "" : " " + serial) + " ";
  if (loud) {
    text += passed ? "PASSED" : "FAILED";
  } else {
    text += passed ? "passed" : "failed";
  }
  return st.earlier ? text + " before this start" : text;
}

std::string station_view::still_in_text(size_t slot) const {
  return "board still present since " + last_unit(slot, false) + ": " + release_text(false);
}

std::string station_view::paint(const char *colour, const std::string &text) const {
  return colour_ ? colour + text + PLAIN : text;
}

std::string station_view::unit_line(const unit_record &u) const {
  std::string line = plain_name(u.slot) + ": unit " + std::to_string(u.unit) +
                     (u.serial.empty() ? "" : " " + u.serial) + ": ";
  if (u.verdict == board_verdict::passed) {
    line += "passed";
  } else if (u.failed_step > 0) {
    line += "FAILED: " + step_title(p_, u.slot, u.failed_step - 1) + ": " + u.reason;
  } else {
    line += "FAILED: " + u.reason;
  }
  return line + format(", %.2f s", u.seconds);
}

std::string station_view::totals(int64_t now_ms) const {
  station_totals t = count_units(state_);
  std::string line = std::to_string(t.units) + " unit" + (t.units == 1 ? "" : "s") + ": " +
                     std::to_string(t.passed) + " passed, " + std::to_string(t.failed) + " failed";
  if (t.units == 0) return line;
  int64_t ran_ms = now_ms - state_.began_ms;
  line += format(", yield %.1f %%",
                 100.0 * static_cast<double>(t.passed) / static_cast<double>(t.units));
  if (ran_ms > 0 && (t.units >= TELLING_UNITS || ran_ms >= TELLING_MS)) {
    line += format(", %.0f units/h",
                   static_cast<double>(t.units) * 3600000.0 / static_cast<double>(ran_ms));
  }
  if (t.passed >= TELLING_UNITS || (t.passed > 0 && ran_ms >= TELLING_MS)) {
    line +=
        format(", median %.2f s", t.median_seconds) + format(", slowest %.2f s", t.slowest_seconds);
  }
  return line;
}

// A unit at work: its step of the steps, its bar, then the rest.
slot_text station_view::work_parts(size_t slot, const std::string &label, const std::string &since,
                                   int64_t now_ms) const {
  const slot_status &st = state_.slots[slot];
  const board_progress &pr = state_.line.progress[slot];
  slot_text t;
  t.label = label;
  t.state = "FLASHING " + std::to_string(pr.step + 1) + "/" + std::to_string(p_.steps.size());
  t.colour = CYAN;
  std::string unit = "unit " + std::to_string(st.unit) + (st.serial.empty() ? "" : " " + st.serial);
  std::string step = mode_name(p_.steps[pr.step].mode);
  if (p_.steps[pr.step].mode != step_mode::start) {
    step += std::string(" ") + device_name(p_.steps[pr.step].flags) + " " +
            p_.boards[slot].files[pr.step];
  }
  std::string rate;
  if (pr.retrying) {
    t.reason = "trying again: " + state_.line.outcomes[slot][pr.step].reason;
  } else if (pr.size > 0) {
    auto cells = static_cast<size_t>(uint64_t{pr.sent} * SLOT_BAR_CELLS / pr.size);
    t.reason = "[" + std::string(cells, '#') + std::string(SLOT_BAR_CELLS - cells, ' ') + "]" +
               format(" %3.0f%%", 100.0 * pr.sent / pr.size);
    double seconds = static_cast<double>(now_ms - pr.step_ms) / 1000.0;
    // The rate would only fall while the board works on the image.
    if (pr.sent == pr.size) {
      t.reason += "  waiting for its verdict";
    } else if (seconds > 0) {
      rate = format("%.1f MiB/s", pr.sent / BYTES_PER_MIB / seconds);
    }
  }
  t.details = joined({unit, since, rate, step, p_.boards[slot].name}, GAP);
  return t;
}

slot_text station_view::slot_parts(size_t slot, int64_t now_ms) const {
  const slot_status &st = state_.slots[slot];
  const std::string &address = p_.boards[slot].name;
  slot_text t;
  t.label = padded(slot_label(p_, slot), label_width_);
  std::string since = elapsed(now_ms - st.since_ms);
  t.details = since + GAP + address;
  switch (st.phase) {
    case slot_phase::waiting:
      if (!st.held.empty()) {
        t = {t.label, "NOT TAKEN", RED, "", st.held, t.details};
      } else if (state_.signals > 0) {
        t = {t.label, "IDLE", DIM, "", "stopping: no new unit", t.details};
      } else {
        t = {t.label, "WAITING", DIM, "", "for a board", t.details};
      }
      return t;
    case slot_phase::admitting:
      return {t.label,
              "STARTING",
              CYAN,
              "",
              "unit " + std::to_string(st.unit) + " recording its start",
              t.details};
    case slot_phase::at_work:
      return work_parts(slot, t.label, since, now_ms);
    case slot_phase::leaving:
      break;
  }
  if (st.gone_ms >= 0) {
    return {t.label,
            "BOARD OUT",
            DIM,
            "",
            "next board taken in " + elapsed(st.gone_ms + p_.opt.settle_ms - now_ms + 999),
            joined({last_unit(slot, false), elapsed(now_ms - st.gone_ms), address}, GAP)};
  }
  bool passed = st.earlier || state_.units[st.record].verdict == board_verdict::passed;
  t.action = "REMOVE BOARD";
  t.colour = passed ? GREEN : RED;
  // What else the operator may do is said below the slots, once for all.
  if (still_in(slot, now_ms)) {
    t.state = "STILL PRESENT";
    t.colour = RED;
    t.reason = last_unit(slot, true);
    if (!passed) t.reason += ": " + state_.units[st.record].reason;
    return t;
  }
  t.state = passed ? "PASSED" : "FAILED";
  if (st.earlier) {
    t.reason = last_unit(slot, false);
    return t;
  }
  const unit_record &u = state_.units[st.record];
  std::string unit = "unit " + std::to_string(u.unit) + (u.serial.empty() ? "" : " " + u.serial);
  if (passed) {
    t.reason = unit;
    return t;
  }
  t.reason = u.reason;
  std::string step = u.failed_step > 0 ? step_title(p_, slot, u.failed_step - 1) : "";
  t.details = joined({unit, since, step, address}, GAP);
  return t;
}

// A failure under the slots: its slot and unit, then why, then where.
slot_text station_view::failure_parts(const unit_record &u) const {
  slot_text t;
  t.label = "  " + padded(slot_label(p_, u.slot), label_width_);
  t.state = "unit " + std::to_string(u.unit);
  t.reason = u.reason;
  t.details = joined({u.serial, u.failed_step > 0 ? step_title(p_, u.slot, u.failed_step - 1) : "",
                      format("%.2f s", u.seconds), p_.boards[u.slot].name},
                     GAP);
  return t;
}

// The units at work: "A1 unit 7, 3 unit 9"; "" for none.
std::string station_view::at_work(bool plain) const {
  std::vector<std::string> busy;
  for (size_t s = 0; s < state_.slots.size(); ++s) {
    const slot_status &st = state_.slots[s];
    if (st.phase != slot_phase::at_work && st.phase != slot_phase::admitting) continue;
    busy.push_back((plain ? plain_name(s) : slot_label(p_, s)) + " unit " +
                   std::to_string(st.unit));
  }
  return joined(busy, ", ");
}

// final: the lines left on the screen once the station has ended, without
// what no longer applies (the stopping banner, the operator's keys, the
// totals the summary gives).
std::vector<std::string> station_view::block(int64_t now_ms, bool final) const {
  size_t width = out_->columns();
  std::vector<std::string> lines;
  if (!final && state_.signals > 0 && !state_.stopped) {
    std::string busy = at_work(false);
    lines.push_back(fit_slot_text(
        {.label = "",
         .state = "STOPPING",
         .colour = RED,
         .action = "",
         .reason = busy.empty() ? "no new unit, none at work" : "no new unit; at work: " + busy,
         .details = busy.empty() ? "" : "a second Ctrl-C stops them"},
        width, colour_));
  }
  for (size_t s = 0; s < state_.slots.size(); ++s) {
    lines.push_back(fit_slot_text(slot_parts(s, now_ms), width, colour_));
  }
  size_t shown = 0;
  for (auto u = state_.units.rbegin(); u != state_.units.rend() && shown < FAILURES_SHOWN; ++u) {
    if (u->verdict == board_verdict::passed) continue;
    if (shown++ == 0) lines.emplace_back("last failures:");
    lines.push_back(fit_slot_text(failure_parts(*u), width, false));
  }
  for (size_t s = 0; s < state_.slots.size() && !final; ++s) {
    if (!still_in(s, now_ms)) continue;
    lines.push_back("a board still present: " + release_text(keys_));
    break;
  }
  if (!state_.warning.empty()) lines.push_back(paint(RED, state_.warning));
  if (!final) lines.push_back(totals(now_ms));
  return lines;
}

void station_view::unit_started(size_t slot) {
  if (out_->smart()) {
    out_->live(block(monotonic_ms(), false));
    return;
  }
  if (quiet_) return;
  const slot_status &st = state_.slots[slot];
  out_->print(plain_name(slot) + ": unit " + std::to_string(st.unit) +
              (st.serial.empty() ? "" : " " + st.serial) + ": started");
}

// Without a terminal, a unit of several steps is followed as it goes; its
// last step, or the one that failed, is told with the unit.
void station_view::step_ended(size_t slot, size_t step) {
  const step_outcome &o = state_.line.outcomes[slot][step];
  if (out_->smart() || quiet_ || o.result != step_result::passed || step + 1 >= p_.steps.size()) {
    return;
  }
  out_->print(plain_name(slot) + ": unit " + std::to_string(state_.slots[slot].unit) + ": " +
              step_title(p_, slot, step) + ": passed" + format(", %.2f s", o.seconds));
}

void station_view::unit_ended(size_t /*slot*/) {
  if (out_->smart()) {
    out_->live(block(monotonic_ms(), false));
    return;
  }
  const unit_record &u = state_.units.back();
  if (quiet_ && u.verdict == board_verdict::passed) return;
  out_->print(unit_line(u));
}

void station_view::stopping() {
  if (out_->smart()) {
    out_->live(block(monotonic_ms(), false));
    return;
  }
  std::string busy = at_work(true);
  out_->print(
      "kesp-batch: STOPPING: no new unit" +
      (busy.empty() ? ", none at work" : "; at work: " + busy + "; a second signal stops them"));
}

void station_view::tick(int64_t now_ms) {
  if (out_->smart()) {
    out_->live(block(now_ms, false));
    return;
  }
  if (last_totals_ms_ == 0) last_totals_ms_ = state_.began_ms;
  // A board the slot cannot tell from the one before is said once.
  said_.resize(state_.slots.size(), -1);
  for (size_t s = 0; s < state_.slots.size(); ++s) {
    if (!still_in(s, now_ms) || said_[s] == state_.slots[s].since_ms) continue;
    said_[s] = state_.slots[s].since_ms;
    out_->print(plain_name(s) + ": " + still_in_text(s));
  }
  if (now_ms - last_totals_ms_ < TOTALS_EVERY_MS || state_.units.size() == last_totals_units_) {
    return;
  }
  last_totals_ms_ = now_ms;
  last_totals_units_ = state_.units.size();
  out_->print("kesp-batch: " + totals(now_ms));
}

void station_view::summary(double seconds) {
  int64_t now_ms = monotonic_ms();
  std::vector<std::string> kept;
  if (out_->smart()) kept = block(now_ms, true);
  std::string line = "kesp-batch: ";
  if (state_.stopped) line += "interrupted: ";
  line += "station of " + std::to_string(p_.boards.size()) + " slot" +
          (p_.boards.size() == 1 ? "" : "s") + ", " + totals(now_ms) +
          format(" in %.2f s, ", seconds) + amount(static_cast<double>(state_.line.bytes_sent)) +
          " sent";
  kept.push_back(line);
  out_->print(kept, {});
}
