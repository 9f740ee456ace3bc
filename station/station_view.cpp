#include "station_view.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "net.h"

namespace {

constexpr size_t SLOT_BAR_CELLS = 20;       // cells of a slot's bar
constexpr size_t FAILURES_SHOWN = 3;        // the last failures under the totals
constexpr int64_t TOTALS_EVERY_MS = 60000;  // plain totals, while units end
constexpr size_t NAME_WIDTH = 18;           // slot names padded to line up
constexpr double BYTES_PER_MIB = 1024.0 * 1024.0;

const char GREEN[] = "\x1b[32m";
const char RED[] = "\x1b[1;31m";
const char CYAN[] = "\x1b[36m";
const char DIM[] = "\x1b[2m";
const char PLAIN[] = "\x1b[0m";

// The operator's two ways on with a board the station cannot tell from the
// last; at the station's own terminal, one key is the way.
std::string release_text(bool keys) {
  std::string how = keys ? std::string("press ") + RELEASE_KEY
                         : "kill -USR1 " + std::to_string(getpid());
  return "remove it, or " + how + " to flash it as a new unit";
}

std::string padded(const std::string &text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

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
    text += passed ? paint(GREEN, "PASSED") : paint(RED, "FAILED");
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
  std::string line = p_.boards[u.slot].name + ": unit " + std::to_string(u.unit) +
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
  double hours = static_cast<double>(now_ms - state_.began_ms) / 3600000.0;
  line += format(", yield %.1f %%", 100.0 * static_cast<double>(t.passed) /
                                        static_cast<double>(t.units));
  if (hours > 0) line += format(", %.0f units/h", static_cast<double>(t.units) / hours);
  line += format(", median %.2f s", t.median_seconds) + format(", slowest %.2f s", t.slowest_seconds);
  return line;
}

std::string station_view::slot_line(size_t slot, int64_t now_ms) const {
  const slot_status &st = state_.slots[slot];
  std::string line = padded(p_.boards[slot].name, NAME_WIDTH);
  std::string since = "  " + elapsed(now_ms - st.since_ms);
  switch (st.phase) {
    case slot_phase::waiting:
      if (!st.held.empty()) return line + paint(RED, "board not taken: " + st.held) + since;
      return line + paint(DIM, "waiting for a board") + since;
    case slot_phase::admitting:
      return line + paint(CYAN, "unit " + std::to_string(st.unit) + " recording its start") + since;
    case slot_phase::at_work: {
      const board_progress &pr = state_.line.progress[slot];
      std::string work = "unit " + std::to_string(st.unit) + (st.serial.empty() ? "" : " " + st.serial) + " step " +
                         std::to_string(pr.step + 1) + "/" + std::to_string(p_.steps.size()) +
                         " " + mode_name(p_.steps[pr.step].mode);
      if (pr.retrying) {
        work += "  trying again: " + state_.line.outcomes[slot][pr.step].reason;
      } else if (pr.size > 0) {
        auto cells = static_cast<size_t>(uint64_t{pr.sent} * SLOT_BAR_CELLS / pr.size);
        double seconds = static_cast<double>(now_ms - pr.step_ms) / 1000.0;
        double rate = seconds > 0 ? pr.sent / BYTES_PER_MIB / seconds : 0;
        work += " [" + std::string(cells, '#') + std::string(SLOT_BAR_CELLS - cells, ' ') + "]" +
                format(" %3.0f%%", 100.0 * pr.sent / pr.size) + format(" %6.1f MiB/s", rate);
      }
      return line + paint(CYAN, work) + since;
    }
    case slot_phase::leaving: {
      if (st.gone_ms >= 0) {
        return line + paint(DIM, "old board out (" + last_unit(slot, false) + "), next taken in " +
                                     elapsed(st.gone_ms + p_.opt.settle_ms - now_ms + 999)) +
               "  " + elapsed(now_ms - st.gone_ms);
      }
      // What to do is said below the slots, once for all: the line stays short.
      if (still_in(slot, now_ms)) {
        return line + "board still present since " + last_unit(slot, true) + since;
      }
      if (st.earlier || state_.units[st.record].verdict == board_verdict::passed) {
        return line + last_unit(slot, true) + ", remove the board" + since;
      }
      return line + last_unit(slot, true) + ": " + state_.units[st.record].reason +
             ", remove the board" + since;
    }
  }
  return line;
}

std::vector<std::string> station_view::block(int64_t now_ms) const {
  std::vector<std::string> lines;
  for (size_t s = 0; s < state_.slots.size(); ++s) lines.push_back(slot_line(s, now_ms));
  size_t shown = 0;
  for (auto u = state_.units.rbegin(); u != state_.units.rend() && shown < FAILURES_SHOWN; ++u) {
    if (u->verdict == board_verdict::passed) continue;
    if (shown++ == 0) lines.emplace_back("last failures:");
    lines.push_back("  " + unit_line(*u));
  }
  for (size_t s = 0; s < state_.slots.size(); ++s) {
    if (!still_in(s, now_ms)) continue;
    lines.push_back("a board still present: " + release_text(keys_));
    break;
  }
  if (!state_.warning.empty()) lines.push_back(paint(RED, state_.warning));
  std::string last = totals(now_ms);
  if (state_.signals > 0 && !state_.stopped) last += "; stopping: no new unit";
  lines.push_back(last);
  return lines;
}

void station_view::unit_started(size_t /*slot*/) {
  if (out_->smart()) out_->live(block(monotonic_ms()));
}

void station_view::unit_ended(size_t /*slot*/) {
  if (out_->smart()) {
    out_->live(block(monotonic_ms()));
    return;
  }
  const unit_record &u = state_.units.back();
  if (quiet_ && u.verdict == board_verdict::passed) return;
  out_->print(unit_line(u));
}

void station_view::tick(int64_t now_ms) {
  if (out_->smart()) {
    out_->live(block(now_ms));
    return;
  }
  if (last_totals_ms_ == 0) last_totals_ms_ = state_.began_ms;
  // A board the slot cannot tell from the one before is said once.
  said_.resize(state_.slots.size(), -1);
  for (size_t s = 0; s < state_.slots.size(); ++s) {
    if (!still_in(s, now_ms) || said_[s] == state_.slots[s].since_ms) continue;
    said_[s] = state_.slots[s].since_ms;
    out_->print(p_.boards[s].name + ": " + still_in_text(s));
  }
  if (now_ms - last_totals_ms_ < TOTALS_EVERY_MS || state_.units.size() == last_totals_units_) {
    return;
  }
  last_totals_ms_ = now_ms;
  last_totals_units_ = state_.units.size();
  out_->print("kesp-batch: " + totals(now_ms));
}

void station_view::summary(double seconds) {
  out_->live({});
  std::string line = "kesp-batch: ";
  if (state_.stopped) line += "interrupted: ";
  line += "station of " + std::to_string(p_.boards.size()) + " slot" +
          (p_.boards.size() == 1 ? "" : "s") + ", " + totals(monotonic_ms()) +
          format(" in %.2f s, ", seconds) + amount(static_cast<double>(state_.line.bytes_sent)) +
          " sent";
  out_->print(line);
}
