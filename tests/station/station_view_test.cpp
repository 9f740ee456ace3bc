// The station view's lines as units: what an 80-column line keeps of a
// slot (its label, state and action always; the details cut before the
// reason), and when the totals start to give a pace.
#include "station_view.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station.h"

namespace {

slot_text failed_slot() {
  return {.label = "A1",
          .state = "FAILED",
          .colour = "\x1b[1;31m",
          .action = "REMOVE BOARD",
          .reason = "erase error (error 2, addr = 0)",
          .details = "unit 7  12s  step 1/1 update nor 0x0 boot.bin"};
}

struct fit_case {
  std::string label;
  slot_text text;
  size_t width;
  bool colour;
  std::string line;
};

TEST(StationView, SlotLinesKeepTheirHeadAndCutDetailsFirst) {
  const slot_text failed = failed_slot();
  slot_text no_details = failed;
  no_details.details = "";
  slot_text no_reason = failed;
  no_reason.reason = "";
  slot_text banner = {.label = "",
                      .state = "STOPPING",
                      .colour = nullptr,
                      .action = "",
                      .reason = "no new unit; at work: A1 unit 7",
                      .details = "a second Ctrl-C stops them"};
  slot_text wide = failed;
  wide.details = "unit 7 ";
  for (int i = 0; i < 10; ++i) wide.details += "\xc3\x84";  // UTF-8: two bytes a letter
  const std::vector<fit_case> cases = {
      {"all fits", failed, 120, false,
       "A1  FAILED  REMOVE BOARD  erase error (error 2, addr = 0)  unit 7  12s  step 1/1 update "
       "nor 0x0 boot.bin"},
      {"details cut at 80", failed, 80, false,
       "A1  FAILED  REMOVE BOARD  erase error (error 2, addr = 0)  unit 7  12s  step..."},
      {"too little room for details", failed, 66, false,
       "A1  FAILED  REMOVE BOARD  erase error (error 2, addr = 0)"},
      {"reason cut once details are gone", failed, 50, false,
       "A1  FAILED  REMOVE BOARD  erase error (error 2..."},
      {"head alone", failed, 30, false, "A1  FAILED  REMOVE BOARD"},
      {"head wider than the line", failed, 10, false, "A1  FAILED  REMOVE BOARD"},
      {"no details", no_details, 80, false,
       "A1  FAILED  REMOVE BOARD  erase error (error 2, addr = 0)"},
      {"details without a reason cut", no_reason, 40, false,
       "A1  FAILED  REMOVE BOARD  unit 7  12..."},
      {"no label", banner, 80, false,
       "STOPPING  no new unit; at work: A1 unit 7  a second Ctrl-C stops them"},
      {"colour takes no column", failed, 80, true,
       "A1  \x1b[1;31mFAILED\x1b[0m  \x1b[1;31mREMOVE BOARD\x1b[0m  erase error (error 2, addr = "
       "0)  unit 7  12s  step..."},
      {"never half a character", wide, 73, false,
       "A1  FAILED  REMOVE BOARD  erase error (error 2, addr = 0)  unit 7 \xc3\x84..."},
  };
  for (const fit_case &c : cases) {
    SCOPED_TRACE(c.label);
    std::string line = fit_slot_text(c.text, c.width, c.colour);
    EXPECT_EQ(line, c.line);
    if (!c.colour && c.width > 30) {
      EXPECT_LT(line.size(), c.width);
    }
  }
}

struct pace_case {
  std::string label;
  size_t passed;
  size_t failed;
  int64_t ran_ms;
  std::string totals;
};

// A rate or a median from one instant failure says nothing; the median is
// the passed units' alone.
TEST(StationView, TotalsGiveAPaceOnceItMeansSomething) {
  const std::vector<pace_case> cases = {
      {"one instant failure", 0, 1, 30, "1 unit: 0 passed, 1 failed, yield 0.0 %"},
      {"four units in a second", 2, 2, 1000, "4 units: 2 passed, 2 failed, yield 50.0 %"},
      {"five units, failures quicker", 3, 2, 3600,
       "5 units: 3 passed, 2 failed, yield 60.0 %, 5000 units/h"},
      {"five passed", 5, 4, 3600,
       "9 units: 5 passed, 4 failed, yield 55.6 %, 9000 units/h, median 10.00 s, slowest 10.00 s"},
      {"a minute, one failure", 0, 1, 60000, "1 unit: 0 passed, 1 failed, yield 0.0 %, 60 units/h"},
      {"a minute, one passed", 1, 1, 60000,
       "2 units: 1 passed, 1 failed, yield 50.0 %, 120 units/h, median 10.00 s, slowest 10.00 s"},
  };
  plan p;
  p.boards.resize(1);
  for (const pace_case &c : cases) {
    SCOPED_TRACE(c.label);
    station_state state;
    state.began_ms = 1000000;
    for (size_t i = 0; i < c.passed + c.failed; ++i) {
      unit_record u;
      u.unit = i + 1;
      u.verdict = i < c.passed ? board_verdict::passed : board_verdict::failed;
      u.seconds = i < c.passed ? 10.0 : 0.03;
      state.units.push_back(u);
    }
    console out(false);
    station_view v(p, state, &out, false, false);
    EXPECT_EQ(v.totals(state.began_ms + c.ran_ms), c.totals);
  }
}

}  // namespace
