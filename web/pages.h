// The dashboard's pages, each from a few aggregate queries: nothing reads
// the whole record into memory.
#pragma once

#include <cstdint>
#include <array>
#include <map>
#include <tuple>
#include <string>

#include "settled.h"
#include "web_store.h"

// Unit counts for /metrics: by station, result and failure class, and the
// duration histogram's buckets (as BUCKETS in metrics.cpp), count and sum.
struct unit_tally {
  std::map<std::tuple<std::string, std::string, std::string>, int64_t> units;
  std::array<int64_t, 11> buckets{};
  int64_t count = 0;
  double sum = 0;
};

// The counts of units that can no longer change, kept between scrapes.
using metrics_cache = settled_cache<unit_tally>;

// The current shift's settled units by station, for the plant page.
struct shift_tally {
  int64_t shift = -1;  // the start of the shift counted, in ms
  std::map<std::string, unit_counts> stations;
};
using shift_cache = settled_cache<shift_tally>;

struct web_context {
  store_pool *pool = nullptr;
  int64_t silent_after_ms = 0;
  metrics_cache *cache = nullptr;
  yield_cache *yields = nullptr;  // nullptr: the yield page counts all by SQL
  shift_cache *shift = nullptr;   // nullptr: the plant page counts its shift by SQL
};

struct web_reply {
  int status = 200;
  std::string type = "text/html; charset=utf-8";
  std::string body;
};

using web_params = std::multimap<std::string, std::string>;

web_reply plant_page(const web_context &c);
web_reply plant_json(const web_context &c);
web_reply unit_page(const web_context &c, const web_params &q);
web_reply yield_page(const web_context &c, const web_params &q);
web_reply export_form(const web_context &c);
web_reply metrics_text(const web_context &c);

// A period's bounds from since and until (YYYY-MM-DD or YYYY-MM-DDTHH:MM,
// UTC) as the record writes its times; default_days back from now when
// since is not given. "" or why not.
std::string period_of(const web_params &q, int default_days, std::string *since,
                      std::string *until);

// The wall clock in ms, and a record's time in ms (-1 when it is none).
int64_t now_ms();
int64_t record_ms(const std::string &t);
