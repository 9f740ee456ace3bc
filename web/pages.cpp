#include "pages.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "html.h"
#include "text.h"

using nlohmann::json;

namespace {

std::string param(const web_params &q, const std::string &name) {
  auto it = q.find(name);
  return it == q.end() ? "" : it->second;
}


web_reply failure(int status, const std::string &why) {
  web_reply r;
  r.status = status;
  r.body = html_page("error", "", tag("h1", "the page cannot be shown") + tag("p", why));
  return r;
}

// Runs sql on a connection of the pool: "" or why.
std::string run(const web_context &c, const std::string &sql, const std::vector<db_value> &params,
                db_rows *out) {
  std::string why;
  std::unique_ptr<unit_store> s = c.pool->take(&why);
  if (s == nullptr) return why;
  why = s->query(sql, params, out);
  c.pool->give(std::move(s));
  return why;
}

std::string yield_text(int64_t passed, int64_t ended) {
  if (ended <= 0) return "-";
  char t[16];
  snprintf(t, sizeof t, "%.1f%%", 100.0 * static_cast<double>(passed) / static_cast<double>(ended));
  return t;
}

// The local shift the instant lies in: 06:00, 14:00 and 22:00 begin one.
int64_t shift_start_ms(int64_t at_ms) {
  auto t = static_cast<time_t>(at_ms / 1000);
  tm local{};
  localtime_r(&t, &local);
  int start = local.tm_hour >= 22 ? 22 : local.tm_hour >= 14 ? 14 : local.tm_hour >= 6 ? 6 : -2;
  local.tm_hour = start;  // -2: 22:00 the day before, which mktime works out
  local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&local)) * 1000;
}

constexpr const char *COUNTS =
    ", SUM(CASE WHEN result = 'passed' THEN 1 ELSE 0 END)"
    ", SUM(CASE WHEN result = 'failed' THEN 1 ELSE 0 END)"
    ", SUM(CASE WHEN result = 'abandoned' THEN 1 ELSE 0 END)";

// The units started in the shift, by station, of ids in (after, upto] (no
// upper bound when upto < 0), added to *out. Grouped by an expression that
// no index is ordered by, so that the engines read the range they are led
// to rather than every unit in station order.
std::string count_shift(unit_store &s, const std::string &where, const std::vector<db_value> &params,
                        std::map<std::string, unit_counts> *out) {
  db_rows rows;
  std::string why = s.query(std::string("SELECT station || '' AS st, COUNT(*)") + COUNTS +
                                " FROM units WHERE " + where + " GROUP BY st",
                            params, &rows);
  for (const db_row &r : rows.rows) {
    unit_counts &n = (*out)[text_of(r[0])];
    n.units += db_int(r[1]);
    n.passed += db_int(r[2]);
    n.failed += db_int(r[3]);
    n.abandoned += db_int(r[4]);
  }
  return why;
}

// Said when a newer shift's request began its count while this one waited.
constexpr const char *SHIFT_MOVED = "the shift ended while it was counted";

// The shift's counts by station. Every fetch of every open plant page asks
// for them, so the settled units' counts are kept between fetches (until
// the shift ends) and only the units after them are read: a long shift of
// a busy plant costs what its last minutes do.
std::string shift_counts(const web_context &c, int64_t shift,
                         std::map<std::string, unit_counts> *out) {
  std::string why;
  std::unique_ptr<unit_store> s = c.pool->take(&why);
  if (s == nullptr) return why;
  std::string from = iso_time(shift);
  // A request of the shift before, late at its end, counts by SQL alone.
  bool kept = c.shift != nullptr && c.pool->schema() >= 4;
  if (kept) {
    std::lock_guard<std::mutex> lock(c.shift->mutex);
    if (c.shift->settled.shift < shift) {
      c.shift->settled = {shift, {}};
      c.shift->upto = 0;
    }
    kept = c.shift->settled.shift == shift;
  }
  if (!kept) {
    why = count_shift(*s, "started >= ?", {from}, out);
    c.pool->give(std::move(s));
    return why;
  }
  int64_t upto = 0;
  why = use_settled<shift_tally>(
      c.shift, *s,
      [&](int64_t after, int64_t mark, shift_tally *t) {
        // A new shift is counted through the index of times (the ids
        // compared as an expression), what follows through the ids.
        if (t->shift != shift) return std::string(SHIFT_MOVED);
        return after == 0 ? count_shift(*s, "started >= ? AND id + 0 <= CAST(? AS BIGINT)",
                                        {from, std::to_string(mark)}, &t->stations)
                          : count_shift(*s,
                                        "started || '' >= ? AND id > CAST(? AS BIGINT)"
                                        " AND id <= CAST(? AS BIGINT)",
                                        {from, std::to_string(after), std::to_string(mark)},
                                        &t->stations);
      },
      [&](const shift_tally &t) { *out = t.stations; }, &upto);
  if (why.empty()) {
    why = count_shift(*s, "started || '' >= ? AND id > CAST(? AS BIGINT)",
                      {from, std::to_string(upto)}, out);
  } else if (why == SHIFT_MOVED) {
    out->clear();
    why = count_shift(*s, "started >= ?", {from}, out);
  }
  c.pool->give(std::move(s));
  return why;
}

// What the plant page shows, as the JSON its script fetches.
std::string plant_state(const web_context &c, json *out) {
  int64_t now = now_ms();
  int64_t shift = shift_start_ms(now);
  json stations = json::object();
  db_rows rows;
  std::string why;
  if (c.pool->schema() >= 4) {
    why = run(c,
              "SELECT name, host, pid, started, last_seen, recipe, images, slots FROM stations"
              " ORDER BY name",
              {}, &rows);
    if (!why.empty()) return why;
    for (const db_row &r : rows.rows) {
      json st;
      st["host"] = text_of(r[1]);
      st["pid"] = db_int(r[2]);
      st["started"] = text_of(r[3]);
      st["last_seen"] = text_of(r[4]);
      int64_t seen = record_ms(text_of(r[4]));
      st["age_s"] = seen < 0 ? -1 : (now - seen) / 1000;
      st["live"] = seen >= 0 && now - seen <= c.silent_after_ms;
      st["recipe"] = text_of(r[5]);
      json slots = json::parse(text_of(r[7]), nullptr, false);
      st["slots"] = slots.is_array() ? slots : json::array();
      stations[text_of(r[0])] = st;
    }
  }
  auto blank = [] {
    json st;
    st["live"] = false;
    st["age_s"] = -1;
    st["slots"] = json::array();
    return st;
  };
  std::map<std::string, unit_counts> counts;
  why = shift_counts(c, shift, &counts);
  if (!why.empty()) return why;
  for (const auto &[name, n] : counts) {
    json &st = stations[name];
    if (st.is_null()) st = blank();
    st["shift"] = {{"units", n.units},
                   {"passed", n.passed},
                   {"failed", n.failed},
                   {"yield", yield_text(n.passed, n.passed + n.failed + n.abandoned)}};
  }
  why = run(c,
            "SELECT station || '' AS st, COUNT(*) FROM units WHERE started >= ?"
            " AND result <> 'unfinished' GROUP BY st",
            {iso_time(now - 3600000)}, &rows);
  if (!why.empty()) return why;
  for (const db_row &r : rows.rows) {
    json &st = stations[text_of(r[0])];
    if (st.is_null()) st = blank();
    st["last_hour"] = db_int(r[1]);
  }
  json list = json::array();
  for (const auto &[name, st] : stations.items()) {
    st["name"] = name;
    if (!st.contains("shift")) st["shift"] = {{"units", 0}, {"passed", 0}, {"failed", 0}, {"yield", "-"}};
    if (!st.contains("last_hour")) st["last_hour"] = 0;
    list.push_back(st);
  }
  (*out)["stations"] = list;
  (*out)["now"] = iso_time(now);
  (*out)["shift_start"] = iso_time(shift);
  (*out)["silent_after_s"] = c.silent_after_ms / 1000;
  return "";
}

std::string str(const json &j, const char *key) {
  auto it = j.find(key);
  if (it == j.end()) return "";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_null()) return "";
  return it->dump();
}

std::string unit_href(const std::string &serial) { return "/unit?serial=" + url_part(serial); }

// The same markup as app.js makes from the JSON.
std::string station_html(const json &st) {
  bool live = st.value("live", false);
  std::string name = str(st, "name");
  std::string h = R"(<section class="station" data-station=")" + esc(name) + "\"><h2>" + esc(name) +
                  " <span class=\"" + (live ? "live" : "silent") + "\">" +
                  (live ? "live" : "silent") + "</span></h2>";
  int64_t age = st.value("age_s", int64_t{-1});
  std::string meta = st.contains("host") ? "host " + str(st, "host") + ", pid " + str(st, "pid") +
                                               ", recipe " + (str(st, "recipe").empty() ? "-" : str(st, "recipe")) +
                                               ", last seen " + std::to_string(age) + " s ago"
                                         : "no station row: units only";
  h += tag("p", meta, "class=\"meta\"");
  const json &sh = st["shift"];
  h += tag("p",
           "this shift: " + str(sh, "units") + " units, " + str(sh, "passed") + " passed, " +
               str(sh, "failed") + " failed, yield " + str(sh, "yield") + "; last hour: " +
               str(st, "last_hour") + " units/h",
           "class=\"counts\"");
  h += "<table class=\"slots\"><thead><tr><th>slot</th><th>state</th><th>unit</th><th>since</th>"
       "</tr></thead><tbody>";
  for (const json &s : st["slots"]) {
    if (!s.is_object()) continue;
    std::string unit = str(s, "unit");
    std::string state = str(s, "state");
    std::string word = state.substr(0, state.find(' '));
    h += "<tr data-slot=\"" + esc(str(s, "label")) + "\">" + tag("td", str(s, "label")) +
         tag("td", state, "class=\"state s-" + esc(word) + "\"") + "<td>" +
         (unit.empty() ? "" : link(unit_href(unit), unit)) + "</td>" + tag("td", str(s, "since")) +
         "</tr>";
  }
  return h + "</tbody></table></section>";
}

}  // namespace

int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int64_t record_ms(const std::string &t) {
  // YYYY-MM-DDTHH:MM:SS, then .mmm and Z as the record writes them.
  auto field = [&t](size_t at, size_t n, int *v) {
    *v = 0;
    for (size_t i = at; i < at + n; ++i) {
      if (i >= t.size() || t[i] < '0' || t[i] > '9') return false;
      *v = *v * 10 + (t[i] - '0');
    }
    return true;
  };
  tm f{};
  int ms = 0;
  if (t.size() < 19 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' ||
      t[16] != ':' || !field(0, 4, &f.tm_year) || !field(5, 2, &f.tm_mon) ||
      !field(8, 2, &f.tm_mday) || !field(11, 2, &f.tm_hour) || !field(14, 2, &f.tm_min) ||
      !field(17, 2, &f.tm_sec)) {
    return -1;
  }
  if (t.size() >= 23 && t[19] == '.' && !field(20, 3, &ms)) return -1;
  f.tm_year -= 1900;
  f.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&f)) * 1000 + ms;
}

std::string period_of(const web_params &q, int default_days, std::string *since,
                      std::string *until) {
  auto bound = [](const std::string &t, std::string *out) {
    // YYYY-MM-DD or YYYY-MM-DDTHH:MM, in UTC, as the record writes it.
    bool day = t.size() == 10;
    if (!day && t.size() != 16) return false;
    int64_t ms = record_ms(t + (day ? "T00:00:00" : ":00"));
    if (ms < 0) return false;
    *out = iso_time(ms);
    return out->compare(0, t.size(), t) == 0;
  };
  std::string s = param(q, "since");
  std::string u = param(q, "until");
  if (s.empty() && default_days < 0) {
    since->clear();
  } else if (s.empty()) {
    *since = iso_time(now_ms() - int64_t{default_days} * 86400000);
  } else if (!bound(s, since)) {
    return "since is YYYY-MM-DD or YYYY-MM-DDTHH:MM in UTC, not " + s;
  }
  if (u.empty()) {
    until->clear();
  } else if (!bound(u, until)) {
    return "until is YYYY-MM-DD or YYYY-MM-DDTHH:MM in UTC, not " + u;
  } else if (u.size() == 10) {
    // A day given as the end takes that whole day in.
    *until = iso_time(record_ms(*until) + 86400000);
  }
  return "";
}

web_reply plant_json(const web_context &c) {
  json out;
  web_reply r;
  std::string why = plant_state(c, &out);
  if (!why.empty()) {
    r.status = 503;
    out = {{"error", why}};
  }
  // With the charset named, the server sends it as it is: every open page
  // fetches this each second, and compressing a kilobyte or two for each
  // (with brotli, which browsers ask for first) cost the server four times
  // what making it does.
  r.type = "application/json; charset=utf-8";
  r.body = out.dump();
  return r;
}

web_reply plant_page(const web_context &c) {
  json out;
  std::string why = plant_state(c, &out);
  if (!why.empty()) return failure(503, why);
  std::string body = "<h1>Plant</h1>" +
                     tag("p",
                         "shift since " + str(out, "shift_start") + "; a station is silent when its "
                         "row is older than " + str(out, "silent_after_s") + " s",
                         "class=\"note\"") +
                     "<div id=\"stations\">";
  for (const json &st : out["stations"]) body += station_html(st);
  if (out["stations"].empty()) body += tag("p", "no station has written to this record yet");
  body += "</div>";
  web_reply r;
  r.body = html_page("Plant", "Plant", body);
  return r;
}

namespace {

std::string unit_form(const std::string &text) {
  return R"(<form action="/unit" method="get"><label>serial or part of one <input name="q" value=")" +
         esc(text) + R"("></label> <button>find</button></form>)";
}

web_reply unit_reply(const std::string &title, const std::string &body) {
  web_reply r;
  r.body = html_page(title, "Unit", "<h1>Unit</h1>" + body);
  return r;
}

// The exact serial, else those it begins (the unique index's range), else
// those it is inside of: at most 50 each.
std::string find_units(const web_context &c, const std::string &part, db_rows *found) {
  const std::string columns = "SELECT serial, station, slot, result, started FROM units WHERE ";
  std::string why = run(c, columns + "serial = ?", {part}, found);
  if (why.empty() && found->rows.empty()) {
    why = run(c, columns + "serial >= ? AND serial < ? ORDER BY serial LIMIT 50",
              {part, part + "\xf4\x8f\xbf\xbf"}, found);
  }
  if (!why.empty() || !found->rows.empty()) return why;
  std::string like = "%";
  for (char ch : part) {
    if (ch == '%' || ch == '_' || ch == '\\') like += '\\';
    like += ch;
  }
  return run(c, columns + R"(serial LIKE ? ESCAPE '\' ORDER BY serial LIMIT 50)", {like + "%"},
             found);
}

// One unit: every column the record holds, whatever its schema (as
// kesp-units history), and every step with its kept data.
std::string unit_section(const web_context &c, const db_rows &units, const db_row &u,
                         std::string *body) {
  std::string uid;
  std::string serial;
  std::string fields;
  for (size_t i = 0; i < u.size() && i < units.columns.size(); ++i) {
    if (units.columns[i] == "id") uid = text_of(u[i]);
    if (units.columns[i] == "serial") serial = text_of(u[i]);
    fields += "<tr>" + tag("th", units.columns[i]) + tag("td", shown(u[i])) + "</tr>";
  }
  std::string permalink = serial.empty() ? "/unit?id=" + url_part(uid) : unit_href(serial);
  *body += "<section class=\"unit\"><h2>" + esc(serial.empty() ? "unit id " + uid : serial) +
           R"( <a class="permalink" href=")" + esc(permalink) + R"(">link</a></h2>)" +
           R"(<table class="fields">)" + fields + "</table>";
  db_rows steps;
  std::string why =
      run(c, "SELECT * FROM steps WHERE unit_id = CAST(? AS BIGINT) ORDER BY step", {uid}, &steps);
  if (!why.empty()) return why;
  *body += R"(<table class="steps"><thead><tr>)";
  for (const std::string &col : steps.columns) {
    if (col != "unit_id") *body += tag("th", col);
  }
  *body += "</tr></thead><tbody>";
  for (const db_row &st : steps.rows) {
    *body += R"(<tr class="step">)";
    for (size_t i = 0; i < st.size() && i < steps.columns.size(); ++i) {
      if (steps.columns[i] != "unit_id") *body += tag("td", shown(st[i]));
    }
    *body += "</tr>";
  }
  *body += "</tbody></table></section>";
  return "";
}

web_reply unit_view(const web_context &c, const std::string &serial, const std::string &id) {
  db_rows units;
  std::string why =
      serial.empty() ? run(c, "SELECT * FROM units WHERE id = CAST(? AS BIGINT)", {id}, &units)
                     : run(c, "SELECT * FROM units WHERE serial = ? ORDER BY id", {serial}, &units);
  if (!why.empty()) return failure(503, why);
  if (units.rows.empty()) {
    return failure(404, "no unit has the serial " + (serial.empty() ? "id " + id : serial));
  }
  std::string body = unit_form(serial);
  for (const db_row &u : units.rows) {
    why = unit_section(c, units, u, &body);
    if (!why.empty()) return failure(503, why);
  }
  return unit_reply("Unit " + (serial.empty() ? id : serial), body);
}

}  // namespace

web_reply unit_page(const web_context &c, const web_params &q) {
  std::string serial = param(q, "serial");
  std::string id = param(q, "id");
  std::string part = param(q, "q");
  if (!serial.empty() || !id.empty()) return unit_view(c, serial, id);
  if (part.empty()) return unit_reply("Unit", unit_form(""));
  db_rows found;
  std::string why = find_units(c, part, &found);
  if (!why.empty()) return failure(503, why);
  if (found.rows.size() == 1) return unit_view(c, text_of(found.rows[0][0]), "");
  std::string body = unit_form(part);
  if (found.rows.empty()) body += tag("p", "no unit's serial holds " + part);
  body += R"(<table class="found"><thead><tr><th>serial</th><th>station</th><th>slot</th>)"
          "<th>result</th><th>started</th></tr></thead><tbody>";
  for (const db_row &r : found.rows) {
    body += "<tr><td>" + link(unit_href(text_of(r[0])), text_of(r[0])) + "</td>" +
            tag("td", shown(r[1])) + tag("td", shown(r[2])) + tag("td", shown(r[3])) +
            tag("td", shown(r[4])) + "</tr>";
  }
  return unit_reply("Unit", body + "</tbody></table>");
}

namespace {

// Units per hour and the yield, per hour or per day of the period.
std::string yield_series(const web_context &c, const std::string &filter,
                         const std::vector<db_value> &params, bool hourly, std::vector<bar> *per_hour,
                         std::vector<bar> *yields) {
  std::string bucket = hourly ? "substr(started, 1, 13)" : "substr(started, 1, 10)";
  db_rows rows;
  std::string why = run(c, "SELECT " + bucket + " AS b, COUNT(*)" + COUNTS + " FROM units" +
                               filter + " GROUP BY b ORDER BY b",
                        params, &rows);
  if (!why.empty()) return why;
  for (const db_row &r : rows.rows) {
    std::string label = text_of(r[0]) + (hourly ? ":00" : "");
    auto units = static_cast<double>(db_int(r[1]));
    int64_t ended = db_int(r[2]) + db_int(r[3]) + db_int(r[4]);
    per_hour->push_back({label, hourly ? units : units / 24.0,
                         label + ": " + std::to_string(db_int(r[1])) + " units"});
    if (ended > 0) {
      yields->push_back({label,
                         100.0 * static_cast<double>(db_int(r[2])) / static_cast<double>(ended),
                         label + ": " + yield_text(db_int(r[2]), ended) + " of " +
                             std::to_string(ended)});
    }
  }
  return "";
}

}  // namespace

namespace {

// The period's counts on a connection of the pool: "" or why.
std::string period_counts_of(const web_context &c, const std::string &since,
                             const std::string &until, const std::string &station,
                             const std::string &slot, period_counts *out) {
  std::string why;
  std::unique_ptr<unit_store> s = c.pool->take(&why);
  if (s == nullptr) return why;
  why = count_period(*s, c.pool->schema(), c.yields, since, until, station, slot, out);
  c.pool->give(std::move(s));
  return why;
}

// Units per hour and the yield by day, from the period's counts.
void daily_series(const period_counts &pc, std::vector<bar> *per_hour, std::vector<bar> *yields) {
  for (const auto &[label, n] : pc.days) {
    int64_t ended = n.passed + n.failed + n.abandoned;
    per_hour->push_back({label, static_cast<double>(n.units) / 24.0,
                         label + ": " + std::to_string(n.units) + " units"});
    if (ended > 0) {
      yields->push_back({label, 100.0 * static_cast<double>(n.passed) / static_cast<double>(ended),
                         label + ": " + yield_text(n.passed, ended) + " of " +
                             std::to_string(ended)});
    }
  }
}

// The failures that cost the most: the 20 most, ties by class and kind.
std::vector<bar> pareto_of(const period_counts &pc) {
  std::vector<std::pair<std::pair<std::string, std::string>, int64_t>> worst(pc.failures.begin(),
                                                                            pc.failures.end());
  // The map is in class and kind order already: a stable sort by count keeps it for ties.
  std::ranges::stable_sort(worst, [](const auto &a, const auto &b) { return a.second > b.second; });
  if (worst.size() > 20) worst.resize(20);
  std::vector<bar> pareto;
  pareto.reserve(worst.size());
  for (const auto &[what, n] : worst) {
    pareto.push_back({what.first + " " + what.second, static_cast<double>(n), ""});
  }
  return pareto;
}

// The period's slowest steps as rows of serial, unit id, station, slot,
// step, board and seconds; params as yield_page's filter has them.
std::string slowest_steps(const web_context &c, const period_counts &pc, const std::string &until,
                          const std::string &station, const std::string &slot,
                          const std::vector<db_value> &params, db_rows *rows) {
  // One of two ways by the share of the record the period's units are.
  // A large share: the steps walked from the slowest
  // down (their index on seconds) until ten are the period's, about ten
  // times the record over the period's units; each unit asked on its own
  // (EXISTS), as a join would have SQLite read every unit of the period
  // into a Bloom filter first (a tenth of a second for a month of a
  // million units). A small one: the period's units' steps, all of them,
  // where the walk might go through most of the record (a quiet station,
  // a period with no unit).
  int64_t in_period = 0;
  for (const auto &[where, n] : pc.slots) in_period += n.units;
  std::string why = run(c, "SELECT MAX(id) FROM units", {}, rows);
  if (!why.empty()) return why;
  int64_t record = rows->rows.empty() ? 0 : db_int(rows->rows[0][0]);
  // Measured on SQLite over a million units: a step walked to costs about
  // twice a unit of the period read with its steps, which puts the even
  // point near 20 times the record; some margin, for slow steps that are
  // not spread evenly over the units.
  bool walk = static_cast<double>(in_period) * static_cast<double>(in_period) >=
              50.0 * static_cast<double>(record);
  // The period's units as u, as filter has them; station and slot as
  // expressions only when the period's units are read.
  std::string unit_filter = " WHERE u.started >= ?";
  if (!until.empty()) unit_filter += " AND u.started < ?";
  std::string equal = walk ? " = ?" : " || '' = ?";
  if (!station.empty()) unit_filter += " AND u.station" + equal;
  if (!slot.empty()) unit_filter += " AND u.slot" + equal;
  auto of_unit = [](const char *col) {
    return std::string("(SELECT ") + col + " FROM units WHERE id = s.unit_id)";
  };
  return run(c,
            !walk ? "SELECT u.serial, u.id, u.station, u.slot, s.step, s.board, s.seconds"
                    " FROM steps s JOIN units u ON u.id = s.unit_id" +
                        unit_filter +
                        " AND u.id = s.unit_id AND s.seconds IS NOT NULL"
                        " ORDER BY s.seconds DESC LIMIT 10"
                  : "SELECT " + of_unit("serial") + ", s.unit_id, " + of_unit("station") + ", " +
                        of_unit("slot") +
                        ", s.step, s.board, s.seconds FROM steps s WHERE s.seconds IS NOT NULL"
                        " AND EXISTS (SELECT 1 FROM units u" +
                        unit_filter + " AND u.id = s.unit_id) ORDER BY s.seconds DESC LIMIT 10",
            params, rows);
}

}  // namespace

web_reply yield_page(const web_context &c, const web_params &q) {
  std::string since;
  std::string until;
  std::string why = period_of(q, 7, &since, &until);
  if (!why.empty()) return failure(400, why);
  std::string station = param(q, "station");
  std::string slot = param(q, "slot");
  int64_t end = until.empty() ? now_ms() : record_ms(until);
  int64_t span = end - record_ms(since);
  // Hours for up to three days, days beyond.
  bool hourly = span <= 3 * 86400000LL;
  std::vector<db_value> params{since};
  std::string filter = " WHERE started >= ?";
  if (!until.empty()) {
    filter += " AND started < ?";
    params.emplace_back(until);
  }
  // Station and slot as expressions, lest SQLite read every unit of the
  // station by its index (and its row, for the time) rather than the
  // period's by theirs.
  if (!station.empty()) {
    filter += " AND station || '' = ?";
    params.emplace_back(station);
  }
  if (!slot.empty()) {
    filter += " AND slot || '' = ?";
    params.emplace_back(slot);
  }
  // The counts by day, station and slot, and failure: the settled units'
  // from the tally kept between requests, the rest by SQL.
  period_counts pc;
  why = period_counts_of(c, since, until, station, slot, &pc);
  if (!why.empty()) return failure(503, why);
  std::vector<bar> per_hour;
  std::vector<bar> yields;
  if (hourly) {
    // Three days' units at most, by the period's index.
    why = yield_series(c, filter, params, hourly, &per_hour, &yields);
    if (!why.empty()) return failure(503, why);
  } else {
    daily_series(pc, &per_hour, &yields);
  }
  db_rows rows;
  std::string body =
      "<h1>Yield</h1><form action=\"/yield\" method=\"get\">"
      "<label>since <input name=\"since\" value=\"" +
      esc(param(q, "since")) +
      "\" placeholder=\"YYYY-MM-DD\"></label> <label>until <input name=\"until\" "
      "value=\"" +
      esc(param(q, "until")) +
      "\" placeholder=\"YYYY-MM-DD\"></label> <label>station <input "
      "name=\"station\" value=\"" +
      esc(station) + R"("></label> <label>slot <input name="slot" value=")" + esc(slot) +
      "\"></label> <button>show</button></form>" +
      tag("p", "units started from " + since + (until.empty() ? "" : " to " + until) + " (UTC)",
          "class=\"note\"");
  body += bar_chart("units-per-hour", hourly ? "units per hour" : "units per hour, by day",
                    per_hour);
  body += bar_chart("yield", "yield over time", yields, true);
  // Per station and slot.
  body += "<h2>Per station and slot</h2><table class=\"per-slot\"><thead><tr><th>station</th>"
          "<th>slot</th><th>units</th><th>passed</th><th>failed</th><th>abandoned</th>"
          "<th>yield</th></tr></thead><tbody>";
  for (const auto &[where, n] : pc.slots) {
    int64_t ended = n.passed + n.failed + n.abandoned;
    body += "<tr><td>" +
            link("/yield?station=" + url_part(where.first) + "&since=" + url_part(param(q, "since")) +
                     "&until=" + url_part(param(q, "until")),
                 where.first) +
            "</td>" + tag("td", where.second) + tag("td", std::to_string(n.units)) +
            tag("td", std::to_string(n.passed)) + tag("td", std::to_string(n.failed)) +
            tag("td", std::to_string(n.abandoned)) + tag("td", yield_text(n.passed, ended)) +
            "</tr>";
  }
  body += "</tbody></table>";
  body += bar_chart("pareto", "failures by class and kind (Pareto)", pareto_of(pc), false, true);
  why = slowest_steps(c, pc, until, station, slot, params, &rows);
  if (!why.empty()) return failure(503, why);
  body += "<h2>Slowest steps</h2><table class=\"slowest\"><thead><tr><th>unit</th><th>station</th>"
          "<th>slot</th><th>step</th><th>board</th><th>seconds</th></tr></thead><tbody>";
  for (const db_row &r : rows.rows) {
    std::string s = text_of(r[0]);
    std::string href = s.empty() ? "/unit?id=" + url_part(text_of(r[1])) : unit_href(s);
    body += "<tr><td>" + link(href, s.empty() ? "id " + text_of(r[1]) : s) + "</td>" +
            tag("td", text_of(r[2])) + tag("td", text_of(r[3])) + tag("td", text_of(r[4])) +
            tag("td", text_of(r[5])) + tag("td", text_of(r[6])) + "</tr>";
  }
  body += "</tbody></table>";
  web_reply rep;
  rep.body = html_page("Yield", "Yield", body);
  return rep;
}

web_reply export_form(const web_context & /*c*/) {
  web_reply r;
  r.body = html_page(
      "Export", "Export",
      "<h1>Export</h1><p>The same CSV as <code>kesp-units export</code>, for the units started"
      " in the period (UTC).</p><form action=\"/export.csv\" method=\"get\"><label>what <select "
      "name=\"what\"><option>units</option><option>steps</option></select></label> <label>since "
      "<input name=\"since\" placeholder=\"YYYY-MM-DD\"></label> <label>until <input "
      "name=\"until\" placeholder=\"YYYY-MM-DD\"></label> <button>download</button></form>");
  return r;
}
