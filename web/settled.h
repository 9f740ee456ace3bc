// Counts of the units that can no longer change, kept between requests, so
// that /metrics and the yield page read only the units newer than those
// rather than the whole record at every request.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "unit_store.h"

// The settled mark: every unit of an id up to it has ended, and an ended
// unit's row is never written again, so its counts hold for good. The
// first unit still unfinished stops it (found through units_unfinished,
// schema version 4 on). *newest: the highest id seen.
std::string settled_mark(unit_store &s, int64_t *mark, int64_t *newest);

// How far ids are known to be committed. On PostgreSQL a station takes its
// unit's id when it inserts and others see the row when it commits, so a
// unit of a lower id can appear after one of a higher id has been seen: a
// mark set past it would leave it out of every count for good. A station
// commits its unit's row within a statement's time limit (10 s) of taking
// the id, so the ids seen COMMIT_HORIZON_MS ago are all there by now.
inline constexpr int64_t COMMIT_HORIZON_MS = 15000;
class commit_horizon {
 public:
  // The highest id seen at least COMMIT_HORIZON_MS before at_ms, on a
  // clock that never goes back (0 until then), newest being the highest id
  // seen at at_ms.
  int64_t committed(int64_t at_ms, int64_t newest);

 private:
  std::deque<std::pair<int64_t, int64_t>> seen_;  // when, the highest id then
};

// A tally of the settled units, shared by the server's threads.
template <class T>
struct settled_cache {
  std::mutex mutex;
  int64_t upto = 0;  // every unit of an id up to this is counted in settled
  T settled;
  commit_horizon horizon;  // for engines whose commits may come out of id order
};

// Brings cache up to the settled mark, counting the units of ids in
// (after, upto] with tally, then hands the tally to use, under the lock
// each time: two requests never count the same units twice, and one never
// sees another's half-made tally. *upto: the id the tally counts up to;
// the units after it are the caller's to count.
template <class T>
std::string use_settled(
    settled_cache<T> *cache, unit_store &s,
    const std::function<std::string(int64_t after, int64_t upto, T *more)> &tally,
    const std::function<void(const T &settled)> &use, int64_t *upto) {
  int64_t mark = 0;
  int64_t newest = 0;
  std::string why = settled_mark(s, &mark, &newest);
  if (!why.empty()) return why;
  std::lock_guard<std::mutex> lock(cache->mutex);
  // SQLite has one writer at a time, which takes its ids in commit order.
  if (s.postgres()) {
    auto at = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    mark = std::min(mark, cache->horizon.committed(at.count(), newest));
  }
  if (mark > cache->upto) {
    why = tally(cache->upto, mark, &cache->settled);
    if (!why.empty()) return why;
    cache->upto = mark;
  }
  *upto = cache->upto;
  use(cache->settled);
  return "";
}

// Units as the yield page counts them; unfinished ones are the rest.
struct unit_counts {
  int64_t units = 0, passed = 0, failed = 0, abandoned = 0;
  bool operator==(const unit_counts &) const = default;
};

// What the yield page shows of a period, however it was counted.
struct period_counts {
  std::map<std::string, unit_counts> days;  // by the day started, YYYY-MM-DD
  std::map<std::pair<std::string, std::string>, unit_counts> slots;  // station, slot
  std::map<std::pair<std::string, std::string>, int64_t> failures;   // class, kind
};

// A group of units: their day, station, slot, result, failure class ("-"
// for none) and kind (the failure, or the result without one).
struct unit_group {
  std::string day, station, slot, result, failure_class, kind;
};
void add_group(period_counts *to, const unit_group &g, int64_t n);

// The settled units by UTC day, station and slot, and their failures by
// class and kind too. Days, not hours, so that a record of years stays a
// few MiB: station and slot pairs and failure kinds are kept once and
// named by number in each day's cells.
class day_tally {
 public:
  void add(const unit_group &g, int64_t n);
  // The days from first up to end ("" for no end), of station and slot
  // ("" for any).
  void count(const std::string &first, const std::string &end, const std::string &station,
             const std::string &slot, period_counts *to) const;

 private:
  struct slot_cell {
    uint32_t where = 0;
    unit_counts n;
  };
  struct failure_cell {
    uint32_t where = 0, what = 0;
    int64_t n = 0;
  };
  struct day_cells {
    std::vector<slot_cell> slots;
    std::vector<failure_cell> failures;
  };
  static uint32_t id_of(std::vector<std::pair<std::string, std::string>> *names,
                        std::map<std::pair<std::string, std::string>, uint32_t> *ids,
                        const std::string &a, const std::string &b);
  std::map<std::string, day_cells> days_;
  std::vector<std::pair<std::string, std::string>> wheres_, whats_;  // station+slot, class+kind
  std::map<std::pair<std::string, std::string>, uint32_t> where_ids_, what_ids_;
};

using yield_cache = settled_cache<day_tally>;

// The units started from since up to until ("" for no end), both as the
// record writes times, of station and slot ("" for any), into *out: the
// whole UTC days between from cache's tally, and by SQL the units after
// its mark and the parts of days at either end. Without a cache (or the
// schema's index of unfinished units, version 4) all by SQL.
std::string count_period(unit_store &s, int schema, yield_cache *cache, const std::string &since,
                         const std::string &until, const std::string &station,
                         const std::string &slot, period_counts *out);
