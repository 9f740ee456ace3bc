// The dashboard's builders and bounds, without a server: what comes from
// outside never becomes markup, charts carry the values they were given,
// and the server listens on loopback unless told otherwise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dashboard.h"
#include "html.h"
#include "pages.h"

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
