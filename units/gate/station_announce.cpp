#include "station_announce.h"

#include <unistd.h>

#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

#include "text.h"

std::string slot_state_word(const plan &p, const station_state &state, size_t slot) {
  const slot_status &st = state.slots[slot];
  switch (st.phase) {
    case slot_phase::waiting:
      return "WAITING";
    case slot_phase::admitting:
      return "FLASHING 0/" + std::to_string(p.steps.size());
    case slot_phase::at_work: {
      size_t step = slot < state.line.progress.size() ? state.line.progress[slot].step : 0;
      return "FLASHING " + std::to_string(step + 1) + "/" + std::to_string(p.steps.size());
    }
    case slot_phase::leaving:
      break;
  }
  // The words the station's own view shows from a metre away.
  if (st.gone_ms >= 0) return "BOARD OUT";
  if (st.still_in) return "STILL PRESENT";
  bool passed = st.record < state.units.size() &&
                state.units[st.record].verdict == board_verdict::passed;
  return passed ? "PASSED" : "FAILED";
}

station_row station_row_of(const plan &p, const station_state &state, int64_t now_ms,
                           int64_t started_ms) {
  station_row row;
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  row.host = valid_utf8(host);
  row.pid = getpid();
  row.started = iso_time(started_ms);
  row.recipe = valid_utf8(p.recipe_file);
  nlohmann::json images = nlohmann::json::array();
  std::ranges::transform(p.images, std::back_inserter(images), [](const snapshot &s) {
    return nlohmann::json{{"sha256", s.sha256()}};
  });
  row.images = images.dump();
  nlohmann::json slots = nlohmann::json::array();
  int64_t wall_ms = wall_clock_ms();
  for (size_t s = 0; s < state.slots.size() && s < p.boards.size(); ++s) {
    const slot_status &st = state.slots[s];
    // Whole seconds: a row that changes only with the clock is no news.
    int64_t since = (wall_ms - (now_ms - st.since_ms)) / 1000 * 1000;
    slots.push_back({{"label", valid_utf8(slot_label(p, s))},
                     {"state", slot_state_word(p, state, s)},
                     {"unit", valid_utf8(st.serial)},
                     {"since", iso_time(since)}});
  }
  row.slots = slots.dump();
  return row;
}
