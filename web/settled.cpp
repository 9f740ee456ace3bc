#include "settled.h"

#include <algorithm>

#include "pages.h"
#include "text.h"

std::string settled_mark(unit_store &s, int64_t *mark, int64_t *newest) {
  db_rows rows;
  std::string why = s.query("SELECT MAX(id) FROM units", {}, &rows);
  if (!why.empty()) return why;
  *newest = !rows.rows.empty() && rows.rows[0][0] ? db_int(rows.rows[0][0]) : 0;
  why = s.query("SELECT MIN(id) FROM units WHERE result = 'unfinished'", {}, &rows);
  if (!why.empty()) return why;
  *mark = !rows.rows.empty() && rows.rows[0][0] ? db_int(rows.rows[0][0]) - 1 : *newest;
  return "";
}

int64_t commit_horizon::committed(int64_t at_ms, int64_t newest) {
  if (seen_.empty() || newest > seen_.back().second) seen_.emplace_back(at_ms, newest);
  // The last sighting old enough is the answer; those before it are not
  // needed again.
  while (seen_.size() > 1 && seen_[1].first <= at_ms - COMMIT_HORIZON_MS) seen_.pop_front();
  return seen_.front().first <= at_ms - COMMIT_HORIZON_MS ? seen_.front().second : 0;
}

namespace {

void add_counts(unit_counts *to, const std::string &result, int64_t n) {
  to->units += n;
  if (result == "passed") to->passed += n;
  if (result == "failed") to->failed += n;
  if (result == "abandoned") to->abandoned += n;
}

bool is_failure(const std::string &result) { return result == "failed" || result == "abandoned"; }

void add_all(unit_counts *to, const unit_counts &from) {
  to->units += from.units;
  to->passed += from.passed;
  to->failed += from.failed;
  to->abandoned += from.abandoned;
}

}  // namespace

void add_group(period_counts *to, const unit_group &g, int64_t n) {
  add_counts(&to->days[g.day], g.result, n);
  add_counts(&to->slots[{g.station, g.slot}], g.result, n);
  if (is_failure(g.result)) to->failures[{g.failure_class, g.kind}] += n;
}

uint32_t day_tally::id_of(std::vector<std::pair<std::string, std::string>> *names,
                          std::map<std::pair<std::string, std::string>, uint32_t> *ids,
                          const std::string &a, const std::string &b) {
  auto [it, added] = ids->try_emplace({a, b}, static_cast<uint32_t>(names->size()));
  if (added) names->emplace_back(a, b);
  return it->second;
}

void day_tally::add(const unit_group &g, int64_t n) {
  day_cells &day = days_[g.day];
  uint32_t where = id_of(&wheres_, &where_ids_, g.station, g.slot);
  // A day has a cell per station and slot: a plant's few dozen at most.
  auto cell = std::ranges::find(day.slots, where, &slot_cell::where);
  if (cell == day.slots.end()) cell = day.slots.insert(cell, slot_cell{where, {}});
  add_counts(&cell->n, g.result, n);
  if (!is_failure(g.result)) return;
  uint32_t what = id_of(&whats_, &what_ids_, g.failure_class, g.kind);
  auto f = std::ranges::find_if(
      day.failures, [&](const failure_cell &c) { return c.where == where && c.what == what; });
  if (f == day.failures.end()) f = day.failures.insert(f, failure_cell{where, what, 0});
  f->n += n;
}

void day_tally::count(const std::string &first, const std::string &end, const std::string &station,
                      const std::string &slot, period_counts *to) const {
  auto wanted = [&](uint32_t where) {
    const auto &[st, sl] = wheres_[where];
    return (station.empty() || st == station) && (slot.empty() || sl == slot);
  };
  auto last = end.empty() ? days_.end() : days_.lower_bound(end);
  for (auto it = days_.lower_bound(first); it != last; ++it) {
    const auto &[day, cells] = *it;
    for (const slot_cell &c : cells.slots) {
      if (!wanted(c.where)) continue;
      add_all(&to->days[day], c.n);
      add_all(&to->slots[wheres_[c.where]], c.n);
    }
    for (const failure_cell &c : cells.failures) {
      if (wanted(c.where)) to->failures[whats_[c.what]] += c.n;
    }
  }
}

namespace {

constexpr int64_t DAY_MS = 86400000;

// The units of where grouped as unit_group, each group's count last. By
// expressions no index is ordered by, so that the engines read the range
// of ids or times asked for rather than every unit in station order.
std::string grouped(unit_store &s, int schema, const std::string &where,
                    const std::vector<db_value> &params, db_rows *rows) {
  std::string cls = schema >= 3 ? "COALESCE(failure_class, '-')" : "'-'";
  return s.query(
      "SELECT substr(started, 1, 10) AS d, station || '' AS st, slot || '' AS sl,"
      " result || '' AS re, " +
          cls + " AS c, COALESCE(failure, result) AS k, COUNT(*) FROM units WHERE " + where +
          " GROUP BY d, st, sl, re, c, k",
      params, rows);
}

unit_group group_of(const db_row &r) {
  return {text_of(r[0]), text_of(r[1]), text_of(r[2]), text_of(r[3]), text_of(r[4]), text_of(r[5])};
}

}  // namespace

std::string count_period(unit_store &s, int schema, yield_cache *cache, const std::string &since,
                         const std::string &until, const std::string &station,
                         const std::string &slot, period_counts *out) {
  // Station and slot are picked here rather than in SQL, where an equal
  // station would draw the engines to its index instead of the range.
  auto add_rows = [&](const std::string &where, const std::vector<db_value> &params) {
    db_rows rows;
    std::string why = grouped(s, schema, where, params, &rows);
    for (const db_row &r : rows.rows) {
      unit_group g = group_of(r);
      if ((station.empty() || g.station == station) && (slot.empty() || g.slot == slot)) {
        add_group(out, g, db_int(r[6]));
      }
    }
    return why;
  };
  auto between = [&](const std::string &from, const std::string &to) {
    if (to.empty()) return add_rows("started >= ?", {from});
    return add_rows("started >= ? AND started < ?", {from, to});
  };
  // The whole days: from the first midnight at or after since up to the
  // last at or before until. A unit's day is its time's first ten
  // characters, which holds for every time the record writes
  // (YYYY-MM-DDTHH:MM:SS.mmmZ).
  std::string first = iso_time((record_ms(since) + DAY_MS - 1) / DAY_MS * DAY_MS);
  std::string end = until.empty() ? "" : iso_time(record_ms(until) / DAY_MS * DAY_MS);
  if (cache == nullptr || schema < 4 || (!end.empty() && end <= first)) {
    return between(since, until);
  }
  std::string why = since < first ? between(since, first) : "";
  if (why.empty() && !end.empty() && end < until) why = between(end, until);
  if (!why.empty()) return why;
  int64_t upto = 0;
  why = use_settled<day_tally>(
      cache, s,
      [&](int64_t after, int64_t mark, day_tally *t) {
        db_rows rows;
        std::string w = grouped(s, schema, "id > CAST(? AS BIGINT) AND id <= CAST(? AS BIGINT)",
                                {std::to_string(after), std::to_string(mark)}, &rows);
        for (const db_row &r : rows.rows) t->add(group_of(r), db_int(r[6]));
        return w;
      },
      [&](const day_tally &t) {
        t.count(first.substr(0, 10), end.substr(0, std::min<size_t>(end.size(), 10)), station, slot,
                out);
      },
      &upto);
  if (!why.empty()) return why;
  // The units after the mark, few unless a unit long unfinished holds it
  // back: by their ids, their times compared as expressions so that no
  // engine walks the period's index instead.
  std::string where = "id > CAST(? AS BIGINT) AND started || '' >= ?";
  std::vector<db_value> params{std::to_string(upto), first};
  if (!end.empty()) {
    where += " AND started || '' < ?";
    params.emplace_back(end);
  }
  return add_rows(where, params);
}
