// The dashboard's builders and bounds, without a server: what comes from
// outside never becomes markup, charts carry the values they were given,
// and the server listens on loopback unless told otherwise.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

#include "dashboard.h"
#include "html.h"
#include "pages.h"
#include "settled.h"
#include "support.h"
#include "text.h"

TEST(Html, EscapesEveryValue) {
  struct row {
    std::string text, want;
  };
  const row rows[] = {
      {"KX000123", "KX000123"},
      {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"\"><img src=x onerror=alert(1)>", "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"},
      {"it's & that", "it&#39;s &amp; that"},
      {"", ""},
  };
  for (const row &r : rows) {
    EXPECT_EQ(esc(r.text), r.want) << r.text;
    EXPECT_EQ(tag("td", r.text), "<td>" + r.want + "</td>") << r.text;
  }
  EXPECT_EQ(url_part("KX 1/&?<"), "KX%201%2F%26%3F%3C");
  EXPECT_EQ(link("/unit?serial=" + url_part("a\"b"), "a\"b"),
            "<a href=\"/unit?serial=a%22b\">a&quot;b</a>");
  std::string page = html_page("<t>", "Plant", tag("p", "<x>"));
  EXPECT_EQ(page.find("<t>"), std::string::npos);
  EXPECT_EQ(page.find("<x>"), std::string::npos);
  EXPECT_NE(page.find("<script src=\"/app.js\""), std::string::npos);
}

TEST(Html, BarChartCarriesItsValuesEscaped) {
  std::vector<bar> bars = {{"board \"7\"<b>", 12, ""}, {"b", 3.5, ""}, {"c", 0, "<n>"}};
  std::string svg = bar_chart("c1", "units <per> hour", bars);
  EXPECT_EQ(svg.find("<b>"), std::string::npos);
  EXPECT_EQ(svg.find("<per>"), std::string::npos);
  EXPECT_EQ(svg.find("<n>"), std::string::npos);
  EXPECT_NE(svg.find("data-label=\"board &quot;7&quot;&lt;b&gt;\" data-value=\"12\""),
            std::string::npos);
  EXPECT_NE(svg.find("data-label=\"b\" data-value=\"3.5\""), std::string::npos);
  size_t rects = 0;
  for (size_t at = svg.find("<rect"); at != std::string::npos; at = svg.find("<rect", at + 1)) {
    ++rects;
  }
  EXPECT_EQ(rects, bars.size());
  // The tallest bar fills the plot; the empty one has no height.
  EXPECT_NE(svg.find("height=\"0\" data-label=\"c\""), std::string::npos);
  EXPECT_NE(bar_chart("c2", "t", {}).find("no units in this period"), std::string::npos);
  EXPECT_NE(bar_chart("c3", "t", bars, false, true).find("<polyline class=\"share\""),
            std::string::npos);
}

TEST(Dashboard, ListensOnLoopbackUnlessTold) {
  struct row {
    const char *listen;
    bool loopback;
  };
  const row rows[] = {
      {"127.0.0.1:8057", true}, {"127.9.8.7:1", true},       {"[::1]:8057", true},
      {"localhost:80", true},   {"0.0.0.0:8057", false},     {"192.168.1.20:8057", false},
      {"[::]:8057", false},     {"128.0.0.1:8057", false},   {"127.0.0.1", false},
      {"127.0.0.1:x", false},   {"127.0.0.1:99999", false},  {":8057", false},
  };
  for (const row &r : rows) EXPECT_EQ(loopback_listen(r.listen), r.loopback) << r.listen;
  EXPECT_TRUE(loopback_listen(DASHBOARD_LISTEN));
}

TEST(Dashboard, PeriodsAsTheRecordWritesTimes) {
  struct row {
    const char *since, *until;
    std::string want_since, want_until, error;
  };
  const row rows[] = {
      {"2026-12-08", "", "2026-12-08T00:00:00.000Z", "", ""},
      // A day as the end takes the whole day in.
      {"2026-12-08", "2026-12-08", "2026-12-08T00:00:00.000Z", "2026-12-09T00:00:00.000Z", ""},
      {"2026-12-08T14:30", "2026-12-31T23:59", "2026-12-08T14:30:00.000Z",
       "2026-12-31T23:59:00.000Z", ""},
      {"2026-02-30", "", "", "", "since is YYYY-MM-DD"},
      {"2026-12-08T25:00", "", "", "", "since is YYYY-MM-DD"},
      {"2026-12-08", "yesterday", "", "", "until is YYYY-MM-DD"},
      {"2026-12-08' OR 1=1 --", "", "", "", "since is YYYY-MM-DD"},
  };
  for (const row &r : rows) {
    web_params q{{"since", r.since}, {"until", r.until}};
    std::string since;
    std::string until;
    std::string why = period_of(q, 7, &since, &until);
    if (!r.error.empty()) {
      EXPECT_EQ(why.rfind(r.error, 0), 0U) << r.since << " " << why;
      continue;
    }
    EXPECT_EQ(why, "") << r.since;
    EXPECT_EQ(since, r.want_since);
    EXPECT_EQ(until, r.want_until);
  }
  std::string since;
  std::string until;
  EXPECT_EQ(period_of({}, 7, &since, &until), "");
  EXPECT_NEAR(static_cast<double>(now_ms() - record_ms(since)), 7 * 86400000.0, 60000.0);
  EXPECT_EQ(period_of({}, -1, &since, &until), "");
  EXPECT_EQ(since, "");
  EXPECT_EQ(record_ms("2026-12-09T17:42:26.123Z"), 1796838146123);
  EXPECT_EQ(record_ms("soon"), -1);
}

namespace {

// The period's counts as plain SQL gives them, one statement each.
period_counts sql_counts(unit_store &s, const std::string &since, const std::string &until,
                         const std::string &station, const std::string &slot) {
  const std::string where =
      " FROM units WHERE started >= ? AND (? = '' OR started < ?) AND (? = '' OR station = ?)"
      " AND (? = '' OR slot = ?)";
  const std::vector<db_value> p{since, until, until, station, station, slot, slot};
  const std::string counts = ", COUNT(*), SUM(result = 'passed'), SUM(result = 'failed'),"
                             " SUM(result = 'abandoned')";
  period_counts pc;
  db_rows rows;
  EXPECT_EQ(s.query("SELECT substr(started, 1, 10) AS d" + counts + where + " GROUP BY d", p, &rows),
            "");
  for (const db_row &r : rows.rows) {
    pc.days[text_of(r[0])] = {db_int(r[1]), db_int(r[2]), db_int(r[3]), db_int(r[4])};
  }
  EXPECT_EQ(s.query("SELECT station, slot" + counts + where + " GROUP BY station, slot", p, &rows),
            "");
  for (const db_row &r : rows.rows) {
    pc.slots[{text_of(r[0]), text_of(r[1])}] = {db_int(r[2]), db_int(r[3]), db_int(r[4]),
                                                db_int(r[5])};
  }
  EXPECT_EQ(s.query("SELECT COALESCE(failure_class, '-') AS c, COALESCE(failure, result) AS k,"
                    " COUNT(*)" + where + " AND result IN ('failed', 'abandoned') GROUP BY c, k",
                    p, &rows),
            "");
  for (const db_row &r : rows.rows) pc.failures[{text_of(r[0]), text_of(r[1])}] = db_int(r[2]);
  return pc;
}

// Unit i of a record made to be counted: days, stations, slots, results
// and failures mixed, each step's seconds its own.
std::string add_unit(unit_store &s, int i, const std::string &result) {
  char started[32];
  snprintf(started, sizeof started, "2026-11-%02dT%02d:%02d:07.%03dZ", 1 + i * 7 % 8, i * 5 % 24,
           i * 13 % 60, i % 1000);
  const char *kinds[] = {"verify", "erase", "connect"};
  const char *classes[] = {"board", "part", "link"};
  bool failed = result == "failed";
  std::string why = s.query(
      "INSERT INTO units (id, serial, station, slot, unit_number, started, ended, result, failure,"
      " failure_class) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
      {std::to_string(i), "KX" + std::to_string(i), "line-" + std::to_string(i % 3),
       "s" + std::to_string(i % 2), std::to_string(i), started,
       result == "unfinished" ? db_value() : db_value(started), result,
       failed ? db_value(kinds[i % 3]) : db_value(),
       failed && i % 4 != 0 ? db_value(classes[i / 3 % 3]) : db_value()},
      nullptr);
  for (int k = 1; k <= 2 && why.empty(); ++k) {
    why = s.query("INSERT INTO steps (unit_id, step, steps, board, result, attempts, seconds)"
                  " VALUES (?, ?, 2, 'b', 'passed', 1, ?)",
                  {std::to_string(i), std::to_string(k), std::to_string(i * 37 % 101 + k * 0.25)},
                  nullptr);
  }
  return why;
}

std::string result_of(int i) {
  return i % 6 == 0 ? "failed" : i % 17 == 0 ? "abandoned" : "passed";
}

// A record of the tests' own, written through w and read by the pool.
struct test_record {
  std::string why;
  std::unique_ptr<unit_store> w;
  store_pool pool;
  explicit test_record(const std::string &db) : w(unit_store::open(db, &why)), pool(db) {}
};

}  // namespace

// The yield page's counts, whole days from the tally kept between
// requests and the rest by SQL, against SQL alone, while units arrive and
// end: periods with parts of days at either end, without an end, of a
// station and a slot, and as short as hours.
TEST(YieldTally, CountsAsSqlGivesThemWhileUnitsArrive) {
  test_record rec(temp_path("yield.db"));
  ASSERT_NE(rec.w, nullptr) << rec.why;
  unit_store &w = *rec.w;
  store_pool &pool = rec.pool;
  metrics_cache metrics;
  yield_cache yields;
  web_context cached{&pool, 30000, &metrics, &yields};
  web_context plain{&pool, 30000, nullptr, nullptr};
  struct row {
    const char *since, *until, *station, *slot;
  };
  const row rows[] = {
      {"2026-11-01", "2026-11-08", "", ""},
      {"2026-11-02T06:30", "2026-11-07T13:15", "", ""},
      {"2026-11-03T23:59", "", "", ""},
      {"2026-11-01T12:00", "2026-11-08T12:00", "line-1", ""},
      {"2026-11-01", "2026-11-08", "line-2", "s1"},
      {"2026-11-04T10:00", "2026-11-05T20:00", "", "s0"},
      {"2026-11-05T00:00", "2026-11-07T00:00", "", ""},
  };
  // Unit 20 unfinished holds the settled mark at 19 until it ends; then
  // unit 90 holds it, and units arrive after both, on days the tally has.
  struct phase {
    int from, to;
    const char *unit20, *unit90;
    int64_t upto;
  };
  const phase phases[] = {{1, 60, "unfinished", "", 19},
                          {61, 100, "failed", "unfinished", 89},
                          {101, 130, "failed", "abandoned", 130}};
  for (const phase &ph : phases) {
    for (int i = ph.from; i <= ph.to; ++i) {
      std::string result = i == 20 ? "unfinished" : i == 90 ? ph.unit90 : result_of(i);
      ASSERT_EQ(add_unit(w, i, result), "");
    }
    for (const auto &[id, result] : {std::pair{20, ph.unit20}, std::pair{90, ph.unit90}}) {
      if (*result == '\0') continue;
      ASSERT_EQ(w.query("UPDATE units SET result = ?, failure = CASE WHEN ? = 'failed' THEN"
                         " 'verify' END, ended = started WHERE id = ?",
                         {result, result, std::to_string(id)}, nullptr),
                "");
    }
    if (ph.from == 1) {
      ASSERT_EQ(pool.open(), "");
    }
    for (const row &r : rows) {
      web_params q{{"since", r.since}, {"until", r.until}, {"station", r.station}, {"slot", r.slot}};
      std::string since;
      std::string until;
      ASSERT_EQ(period_of(q, 7, &since, &until), "");
      period_counts got;
      ASSERT_EQ(count_period(w, 4, &yields, since, until, r.station, r.slot, &got), "");
      period_counts want = sql_counts(w, since, until, r.station, r.slot);
      std::string at = std::string(r.since) + " " + r.until + " " + r.station + " " + r.slot +
                       " after unit " + std::to_string(ph.to);
      EXPECT_EQ(got.days, want.days) << at;
      EXPECT_EQ(got.slots, want.slots) << at;
      EXPECT_EQ(got.failures, want.failures) << at;
      EXPECT_FALSE(got.slots.empty()) << at;
      // The page as a whole, series, table, Pareto and slowest steps, the
      // same whether counted with the tally or by SQL alone.
      web_reply page = yield_page(cached, q);
      EXPECT_EQ(page.status, 200) << at;
      EXPECT_EQ(page.body, yield_page(plain, q).body) << at;
    }
    EXPECT_EQ(yields.upto, ph.upto);
    // /metrics counts its settled units with the same mark.
    std::string with = metrics_text(cached).body;
    std::string without = metrics_text(plain).body;
    EXPECT_EQ(with.substr(0, with.find("kesp_record_last_write_age_seconds")),
              without.substr(0, without.find("kesp_record_last_write_age_seconds")));
    EXPECT_EQ(metrics.upto, ph.upto);
  }
}

// On PostgreSQL a unit's row may be seen after a unit of a higher id: the
// mark stops at the highest id seen a horizon ago, so a row that comes
// late is still counted.
TEST(YieldTally, MarkWaitsForLateCommits) {
  constexpr int64_t H = COMMIT_HORIZON_MS;
  struct sighting {
    int64_t at, newest, committed;
  };
  const sighting rows[] = {
      {0, 100, 0},          // nothing seen a horizon ago yet
      {H - 1, 120, 0},      //
      {H, 130, 100},        // what was seen at 0
      {H + 5, 130, 100},    // the same highest id: no new sighting
      {2 * H - 1, 140, 120},
      {3 * H, 150, 140},    // older sightings are dropped, the answer stays the last old one
      {3 * H + 1, 150, 140},
  };
  commit_horizon horizon;
  for (const sighting &r : rows) {
    SCOPED_TRACE(r.at);
    EXPECT_EQ(horizon.committed(r.at, r.newest), r.committed);
  }
}

// The plant page's shift counts, settled units kept between fetches and
// the rest by SQL, against SQL alone, while the shift's units arrive and
// end: one long unfinished, then ended.
TEST(YieldTally, PlantShiftCountsAsSqlGivesThem) {
  test_record rec(temp_path("plant.db"));
  ASSERT_NE(rec.w, nullptr) << rec.why;
  unit_store &w = *rec.w;
  store_pool &pool = rec.pool;
  shift_cache shift;
  web_context cached{&pool, 30000, nullptr, nullptr, &shift};
  web_context plain{&pool, 30000, nullptr, nullptr, nullptr};
  auto stations = [](const web_context &c) {
    web_reply r = plant_json(c);
    EXPECT_EQ(r.status, 200) << r.body;
    return nlohmann::json::parse(r.body, nullptr, false)["stations"].dump();
  };
  const std::string now = iso_time(now_ms());
  for (int i = 1; i <= 30; ++i) {
    std::string result = i == 4 ? "unfinished" : result_of(i);
    ASSERT_EQ(w.query("INSERT INTO units (id, station, slot, unit_number, started, result)"
                       " VALUES (?, ?, 's0', ?, ?, ?)",
                       {std::to_string(i), "line-" + std::to_string(i % 3), std::to_string(i),
                        i == 1 ? "2020-01-01T00:00:00.000Z" : now, result},
                       nullptr),
              "");
    if (i == 1) {
      ASSERT_EQ(pool.open(), "");
    }
    if (i == 20) {
      ASSERT_EQ(w.query("UPDATE units SET result = 'failed' WHERE id = 4", {}, nullptr), "");
    }
    if (i % 5 == 0) {
      EXPECT_EQ(stations(cached), stations(plain)) << "after unit " << i;
    }
  }
  EXPECT_EQ(shift.upto, 30);
}
