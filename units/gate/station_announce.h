// What a station tells the plant about itself through its row in the unit
// record: who runs it, with which recipe and images, and each slot's state
// in the words the operator's view uses.
#pragma once

#include <cstdint>
#include <string>

#include "plan.h"
#include "station.h"
#include "unit_store.h"

// The row as the station stands at now_ms (monotonic); started_ms is the
// wall clock time the station began. name is left for the recorder.
station_row station_row_of(const plan &p, const station_state &state, int64_t now_ms,
                           int64_t started_ms);

// A slot's state word: WAITING, FLASHING k/n, PASSED, FAILED, STILL PRESENT, BOARD OUT.
std::string slot_state_word(const plan &p, const station_state &state, size_t slot);
