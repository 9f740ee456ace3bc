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

std::string text_of(const db_value &v) { return v ? *v : ""; }

void family(std::string *out, const char *name, const char *type, const char *help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// Upper bounds of the unit duration histogram's buckets, in seconds.
constexpr int BUCKETS[] = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800};

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
  bool pg = s->postgres();
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
  std::string cls = schema >= 3 ? "COALESCE(failure_class, '')" : "''";
  why = s->query("SELECT station, result, " + cls + " AS c, COUNT(*) FROM units GROUP BY station,"
                   " result, " + cls + " ORDER BY station, result, c",
            {}, &rows);
  if (!why.empty()) return give_up(why);
  family(&out, "kesp_units_total", "counter",
         "Units recorded, by station, result and failure class (empty when passed).");
  for (const db_row &row : rows.rows) {
    out += "kesp_units_total{station=\"" + label(text_of(row[0])) + "\",result=\"" +
           label(text_of(row[1])) + "\",failure_class=\"" + label(text_of(row[2])) + "\"} " +
           std::to_string(db_int(row[3])) + "\n";
  }
  // From the board found to the unit's end, for units that passed or failed.
  std::string seconds = pg ? "EXTRACT(EPOCH FROM (CAST(ended AS TIMESTAMPTZ) - CAST(started AS "
                             "TIMESTAMPTZ)))"
                           : "(julianday(ended) - julianday(started)) * 86400.0";
  std::string sql = "SELECT COUNT(*), SUM(d)";
  for (int b : BUCKETS) {
    sql += ", SUM(CASE WHEN d <= " + std::to_string(b) + " THEN 1 ELSE 0 END)";
  }
  sql += " FROM (SELECT " + seconds +
         " AS d FROM units WHERE result IN ('passed', 'failed') AND ended IS NOT NULL) t";
  why = s->query(sql, {}, &rows);
  if (!why.empty()) return give_up(why);
  family(&out, "kesp_unit_duration_seconds", "histogram",
         "Units that passed or failed, by how long they took from start to end.");
  if (!rows.rows.empty()) {
    const db_row &row = rows.rows[0];
    for (size_t i = 0; i < std::size(BUCKETS); ++i) {
      out += "kesp_unit_duration_seconds_bucket{le=\"" + std::to_string(BUCKETS[i]) + "\"} " +
             std::to_string(db_int(row[i + 2])) + "\n";
    }
    out += "kesp_unit_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(db_int(row[0])) + "\n";
    out += "kesp_unit_duration_seconds_sum " + value(row[1] ? atof(row[1]->c_str()) : 0) + "\n";
    out += "kesp_unit_duration_seconds_count " + std::to_string(db_int(row[0])) + "\n";
  }
  int64_t now = now_ms();
  int64_t last = -1;
  int live = 0;
  int silent = 0;
  std::map<std::string, int64_t> slots;
  if (schema >= 4) {
    why = s->query("SELECT last_seen, slots FROM stations", {}, &rows);
    if (!why.empty()) return give_up(why);
    for (const db_row &row : rows.rows) {
      int64_t seen = record_ms(text_of(row[0]));
      last = std::max(last, seen);
      bool is_live = seen >= 0 && now - seen <= c.silent_after_ms;
      (is_live ? live : silent) += 1;
      if (!is_live) continue;
      nlohmann::json list = nlohmann::json::parse(text_of(row[1]), nullptr, false);
      if (!list.is_array()) continue;
      for (const nlohmann::json &slot : list) {
        if (!slot.is_object() || !slot.contains("state") || !slot["state"].is_string()) continue;
        std::string word = slot["state"].get<std::string>();
        // FLASHING 2/3 counts as FLASHING.
        size_t digit = word.find_first_of("0123456789");
        if (digit != std::string::npos) word = word.substr(0, word.find_last_not_of(' ', digit - 1) + 1);
        ++slots[word];
      }
    }
  }
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
