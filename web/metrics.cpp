// /metrics: the record's figures in Prometheus' text exposition format,
// each from one aggregate query.
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "pages.h"
#include "text.h"

namespace {

// A label's value: backslash, quote and line feed escaped.
std::string label(const std::string &v) {
  std::string out;
  for (char c : v) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string value(double v) {
  char t[32];
  snprintf(t, sizeof t, "%.17g", v);
  return t;
}

void family(std::string *out, const char *name, const char *type, const char *help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// Upper bounds of the unit duration histogram's buckets, in seconds.
constexpr int BUCKETS[] = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800};

// Counts of the units in a range of ids: by station, result and failure
// class, and the duration histogram of those that passed or failed.
std::string tally_units(unit_store &s, int schema, int64_t after, int64_t upto, unit_tally *t) {
  std::string range = " id > CAST(? AS BIGINT)";
  std::vector<db_value> params{std::to_string(after)};
  if (upto >= 0) {
    range += " AND id <= CAST(? AS BIGINT)";
    params.emplace_back(std::to_string(upto));
  }
  std::string cls = schema >= 3 ? "COALESCE(failure_class, '')" : "''";
  db_rows rows;
  // Grouped by expressions no index is ordered by, so that the range of
  // ids is read, not every unit in station order.
  std::string why = s.query("SELECT station || '' AS st, result || '' AS re, " + cls +
                                " AS c, COUNT(*) FROM units WHERE" + range + " GROUP BY st, re, c",
                            params, &rows);
  if (!why.empty()) return why;
  for (const db_row &row : rows.rows) {
    t->units[{text_of(row[0]), text_of(row[1]), text_of(row[2])}] += db_int(row[3]);
  }
  // From the board found to the unit's end.
  std::string seconds = s.postgres() ? "EXTRACT(EPOCH FROM (CAST(ended AS TIMESTAMPTZ) -"
                                       " CAST(started AS TIMESTAMPTZ)))"
                                     : "(julianday(ended) - julianday(started)) * 86400.0";
  std::string sql = "SELECT COUNT(*), SUM(d)";
  for (int b : BUCKETS) {
    sql += ", SUM(CASE WHEN d <= " + std::to_string(b) + " THEN 1 ELSE 0 END)";
  }
  sql += " FROM (SELECT " + seconds + " AS d FROM units WHERE" + range +
         " AND result IN ('passed', 'failed') AND ended IS NOT NULL) t";
  why = s.query(sql, params, &rows);
  if (!why.empty() || rows.rows.empty()) return why;
  const db_row &row = rows.rows[0];
  t->count += db_int(row[0]);
  t->sum += row[1] ? strtod(row[1]->c_str(), nullptr) : 0;
  for (size_t i = 0; i < std::size(BUCKETS); ++i) t->buckets[i] += db_int(row[i + 2]);
  return "";
}

void add_tally(unit_tally *to, const unit_tally &from) {
  for (const auto &[key, n] : from.units) to->units[key] += n;
  for (size_t i = 0; i < std::size(BUCKETS); ++i) to->buckets[i] += from.buckets[i];
  to->count += from.count;
  to->sum += from.sum;
}

// The units' counts: those that ended below the first unit still
// unfinished are settled for good (an ended unit's row never changes), so
// they are counted once and kept; only the units after them are counted
// at every scrape.
std::string count_units(const web_context &c, unit_store &s, unit_tally *t) {
  int schema = c.pool->schema();
  int64_t settled = 0;
  if (schema >= 4 && c.cache != nullptr) {
    std::string why = use_settled<unit_tally>(
        c.cache, s,
        [&](int64_t after, int64_t upto, unit_tally *more) {
          unit_tally range;
          std::string w = tally_units(s, schema, after, upto, &range);
          if (w.empty()) add_tally(more, range);
          return w;
        },
        [&](const unit_tally &kept) { *t = kept; }, &settled);
    if (!why.empty()) return why;
  }
  return tally_units(s, schema, settled, -1, t);
}

struct station_counts {
  int64_t last = -1;  // the newest row's last_seen, ms
  int live = 0;
  int silent = 0;
  std::map<std::string, int64_t> slots;  // live stations' slots by state word
};

std::string count_stations(const web_context &c, unit_store &s, int64_t now, station_counts *sc) {
  db_rows rows;
  std::string why = s.query("SELECT last_seen, slots FROM stations", {}, &rows);
  if (!why.empty()) return why;
  for (const db_row &row : rows.rows) {
    int64_t seen = record_ms(text_of(row[0]));
    sc->last = std::max(sc->last, seen);
    bool is_live = seen >= 0 && now - seen <= c.silent_after_ms;
    (is_live ? sc->live : sc->silent) += 1;
    if (!is_live) continue;
    nlohmann::json list = nlohmann::json::parse(text_of(row[1]), nullptr, false);
    if (!list.is_array()) continue;
    for (const nlohmann::json &slot : list) {
      if (!slot.is_object() || !slot.contains("state") || !slot["state"].is_string()) continue;
      std::string word = slot["state"].get<std::string>();
      // FLASHING 2/3 counts as FLASHING.
      size_t digit = word.find_first_of("0123456789");
      if (digit != std::string::npos) {
        word.resize(digit == 0 ? 0 : word.find_last_not_of(' ', digit - 1) + 1);
      }
      ++sc->slots[word];
    }
  }
  return "";
}

}  // namespace

web_reply metrics_text(const web_context &c) {
  web_reply r;
  std::string why;
  std::unique_ptr<unit_store> owned = c.pool->take(&why);
  if (owned == nullptr) {
    r.status = 503;
    r.type = "text/plain; charset=utf-8";
    r.body = why + "\n";
    return r;
  }
  unit_store *s = owned.get();
  int schema = c.pool->schema();
  std::string out;
  db_rows rows;
  auto give_up = [&](const std::string &w) {
    r.status = 503;
    r.type = "text/plain; charset=utf-8";
    r.body = w + "\n";
    c.pool->give(std::move(owned));
    return r;
  };
  unit_tally t;
  why = count_units(c, *s, &t);
  if (!why.empty()) return give_up(why);
  family(&out, "kesp_units_total", "counter",
         "Units recorded, by station, result and failure class (empty when passed).");
  for (const auto &[key, n] : t.units) {
    const auto &[station, result, cls] = key;
    out += "kesp_units_total{station=\"" + label(station) + "\",result=\"" + label(result) +
           "\",failure_class=\"" + label(cls) + "\"} " + std::to_string(n) + "\n";
  }
  family(&out, "kesp_unit_duration_seconds", "histogram",
         "Units that passed or failed, by how long they took from start to end.");
  for (size_t i = 0; i < std::size(BUCKETS); ++i) {
    out += "kesp_unit_duration_seconds_bucket{le=\"" + std::to_string(BUCKETS[i]) + "\"} " +
           std::to_string(t.buckets[i]) + "\n";
  }
  out += "kesp_unit_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(t.count) + "\n";
  out += "kesp_unit_duration_seconds_sum " + value(t.sum) + "\n";
  out += "kesp_unit_duration_seconds_count " + std::to_string(t.count) + "\n";
  int64_t now = now_ms();
  station_counts sc;
  if (schema >= 4) {
    why = count_stations(c, *s, now, &sc);
    if (!why.empty()) return give_up(why);
  }
  int64_t last = sc.last;
  int live = sc.live;
  int silent = sc.silent;
  const std::map<std::string, int64_t> &slots = sc.slots;
  family(&out, "kesp_stations", "gauge",
         "Stations by whether their row was written within the silence limit.");
  out += "kesp_stations{state=\"live\"} " + std::to_string(live) + "\n";
  out += "kesp_stations{state=\"silent\"} " + std::to_string(silent) + "\n";
  family(&out, "kesp_slots", "gauge", "Slots of live stations, by their state word.");
  for (const auto &[word, n] : slots) {
    out += "kesp_slots{state=\"" + label(word) + "\"} " + std::to_string(n) + "\n";
  }
  why = s->query("SELECT MAX(started) FROM units", {}, &rows);
  if (!why.empty()) return give_up(why);
  if (!rows.rows.empty() && rows.rows[0][0]) last = std::max(last, record_ms(*rows.rows[0][0]));
  family(&out, "kesp_record_last_write_age_seconds", "gauge",
         "Seconds since the record's newest unit began or a station's row was written.");
  if (last >= 0) {
    out += "kesp_record_last_write_age_seconds " +
           value(static_cast<double>(now - last) / 1000.0) + "\n";
  }
  c.pool->give(std::move(owned));
  r.type = "text/plain; version=0.0.4; charset=utf-8";
  r.body = out;
  return r;
}
