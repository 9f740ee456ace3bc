// kesp-units: the unit record looked up without writing SQL: one unit's
// history by serial, the yield over a period, and CSV for spreadsheets.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "dashboard.h"
#include "text.h"
#include "unit_csv.h"
#include "unit_store.h"

namespace {

const char USAGE[] =
    "usage: kesp-units --db DB history SERIAL\n"
    "       kesp-units --db DB yield [--by station|slot|day|failure] [--utc] [--since TIME] "
    "[--until TIME]\n"
    "       kesp-units --db DB export units|steps [--utc] [--since TIME] [--until TIME]\n"
    "       kesp-units --db DB serve [--listen ADDR:PORT] [--silent-after SECONDS]\n";

const char HELP[] =
    "Looks up the units that kesp-batch stations recorded.\n"
    "\n"
    "  history SERIAL     the unit with that serial number and its steps\n"
    "  yield              units passed, failed and abandoned, and the yield, per group\n"
    "  export units|steps the units or their steps as CSV on standard output\n"
    "  serve              the plant's dashboard and metrics, read-only, over HTTP\n"
    "\n"
    "Options:\n"
    "      --db DB        a SQLite file, or a postgresql:// URL\n"
    "      --by KEY       group the yield by station, slot, day or failure (default station)\n"
    "      --since TIME   units started at or after TIME, ISO 8601: 2026-12-08, 2026-12-08T14:00,\n"
    "                     2026-12-08T14:00:00Z (UTC), 2026-12-08T14:00+01:00; without Z or an\n"
    "                     offset, the local time (TZ)\n"
    "      --until TIME   units started at or before TIME, to its precision\n"
    "      --listen ADDR:PORT  where serve listens (default 127.0.0.1:8057, this host only)\n"
    "      --silent-after SECONDS  a station not heard from for this long is silent (30)\n"
    "      --utc          days and times without a zone in UTC, not in the local time\n"
    "  -h, --help         this text\n"
    "      --version      the version\n";

int usage_error(const std::string &why) {
  fprintf(stderr, "kesp-units: %s\n%s", why.c_str(), USAGE);
  return 2;
}

std::string shown(const db_value &v) { return v ? *v : "-"; }

// The oldest schema whose tables the lookups below read as they are
// (version 1 lacks only indexes).
constexpr int OLDEST_SCHEMA_READ = 1;

constexpr long NANOS = 1000000000;

struct instant {
  time_t s = 0;
  long ns = 0;
};

// Reads digits at text[at..at+n) into *v.
bool digits(const std::string &text, size_t at, size_t n, int *v) {
  if (at + n > text.size()) return false;
  *v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *v = *v * 10 + (text[i] - '0');
  }
  return true;
}

// The date at the start of an ISO 8601 time, YYYY-MM-DD.
bool read_date(const std::string &t, tm *f) {
  int year = 0;
  int month = 0;
  if (!digits(t, 0, 4, &year) || t.size() < 10 || t[4] != '-' || !digits(t, 5, 2, &month) ||
      t[7] != '-' || !digits(t, 8, 2, &f->tm_mday)) {
    return false;
  }
  f->tm_year = year - 1900;
  f->tm_mon = month - 1;
  // timegm puts 2026-02-30 on March 2; a date that moves is no date.
  tm check = *f;
  timegm(&check);
  return check.tm_mday == f->tm_mday && check.tm_mon == f->tm_mon;
}

// The time of day after the date, from *at: THH, THH:MM, THH:MM:SS and
// a fraction of a second. *fields is how many of hour, minute and second
// it gives; *step_ns the length of the fraction's last digit, or 0.
bool read_time_of_day(const std::string &t, size_t *at, tm *f, int *fields, long *fraction,
                      long *step_ns) {
  int *time_fields[] = {&f->tm_hour, &f->tm_min, &f->tm_sec};
  const int largest[] = {23, 59, 59};
  for (int i = 0; i < 3 && *at < t.size() && t[*at] == (i == 0 ? 'T' : ':'); ++i) {
    if (!digits(t, *at + 1, 2, time_fields[i]) || *time_fields[i] > largest[i]) return false;
    *at += 3;
    *fields = i + 1;
  }
  if (*fields < 3 || *at >= t.size() || (t[*at] != '.' && t[*at] != ',')) return true;
  *step_ns = NANOS;
  for (++*at; *at < t.size() && t[*at] >= '0' && t[*at] <= '9'; ++*at) {
    if (*step_ns == 1) return false;
    *step_ns /= 10;
    *fraction += (t[*at] - '0') * *step_ns;
  }
  return *step_ns != NANOS;
}

// An offset from UTC in seconds, written +HH, +HHMM or +HH:MM.
bool read_offset(const std::string &zone, long *offset) {
  int hours = 0;
  int minutes = 0;
  size_t minutes_at = zone.size() == 5 ? 3 : zone.size() == 6 && zone[3] == ':' ? 4 : 0;
  if ((zone[0] != '+' && zone[0] != '-') || !digits(zone, 1, 2, &hours) || hours > 23) {
    return false;
  }
  if (zone.size() != 3 &&
      (minutes_at == 0 || !digits(zone, minutes_at, 2, &minutes) || minutes > 59)) {
    return false;
  }
  *offset = (zone[0] == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
  return true;
}

// An ISO 8601 time as a bound: the first instant it names and the first
// one after it, to its precision (a day, an hour, a minute, a second or a
// fraction of one). Without Z or an offset it is a local time, unless utc.
bool read_bound(const std::string &t, bool utc, instant *first, instant *after) {
  tm f{};
  size_t at = 10;
  int fields = 0;
  long fraction = 0;
  long step_ns = 0;
  if (!read_date(t, &f) || !read_time_of_day(t, &at, &f, &fields, &fraction, &step_ns)) {
    return false;
  }
  std::string zone = t.substr(at);
  long offset = 0;
  if (!zone.empty() && zone != "Z" && !read_offset(zone, &offset)) return false;
  bool local = zone.empty() && !utc;
  tm next_day = f;
  next_day.tm_mday += 1;
  next_day.tm_hour = next_day.tm_min = next_day.tm_sec = 0;
  next_day.tm_isdst = -1;
  f.tm_isdst = -1;
  first->s = local ? mktime(&f) : timegm(&f) - offset;
  first->ns = fraction;
  *after = *first;
  const long lengths[] = {3600, 60, 1};
  if (step_ns != 0) {
    after->ns += step_ns;
    after->s += after->ns / NANOS;
    after->ns %= NANOS;
  } else if (fields > 0) {
    after->s += lengths[fields - 1];
  } else {
    // A local day need not last 24 hours.
    after->s = local ? mktime(&next_day) : first->s + 86400;
  }
  return true;
}

// An instant as the record writes its times, to the millisecond at or
// after it, so that text comparison against the record is exact.
std::string record_time(instant i) {
  return iso_time(static_cast<int64_t>(i.s) * 1000 + (i.ns + 999999) / 1000000);
}

struct period {
  std::string since;  // the record's first time in the period, or ""
  std::string until;  // the record's first time after the period, or ""
  bool utc = false;
};

// A bound with its own precision: --until 2026-12-08 takes in that whole day.
std::string period_filter(const period &p, const char *column, std::vector<db_value> *params) {
  std::string sql;
  if (!p.since.empty()) {
    sql += std::string(" AND ") + column + " >= ?";
    params->push_back(p.since);
  }
  if (!p.until.empty()) {
    sql += std::string(" AND ") + column + " < ?";
    params->push_back(p.until);
  }
  return sql;
}

int fail(const std::string &why) {
  fprintf(stderr, "kesp-units: %s\n", why.c_str());
  return 1;
}

size_t column_of(const db_rows &rows, const std::string &name) {
  return static_cast<size_t>(std::find(rows.columns.begin(), rows.columns.end(), name) -
                             rows.columns.begin());
}

// Every column of a row but those its heading shows: a unit's labels are
// words ("unit number"), a step's the column names as in export.
void print_fields(const db_rows &rows, const db_row &row, bool unit) {
  for (size_t c = 0; c < row.size() && c < rows.columns.size(); ++c) {
    std::string label = rows.columns[c];
    bool heading =
        unit ? label == "serial" : label == "unit_id" || label == "step" || label == "steps";
    if (heading) continue;
    if (unit) {
      if (label == "id") label = "unit id";
      std::replace(label.begin(), label.end(), '_', ' ');
    }
    printf("%s%-14s %s\n", unit ? "  " : "    ", (label + ":").c_str(), shown(row[c]).c_str());
  }
}

int history(unit_store &store, const std::string &serial) {
  // Every column the record holds, whatever the schema's version: a
  // column added later shows without a change here.
  db_rows units;
  std::string why =
      store.query("SELECT * FROM units WHERE serial = ? ORDER BY id", {serial}, &units);
  if (!why.empty()) return fail(why);
  if (units.rows.empty()) return fail("no unit has the serial " + serial);
  size_t id = column_of(units, "id");
  for (const db_row &u : units.rows) {
    printf("serial %s\n", serial.c_str());
    print_fields(units, u, true);
    db_rows steps;
    why = store.query("SELECT * FROM steps WHERE unit_id = CAST(? AS BIGINT) ORDER BY step",
                      {id < u.size() ? u[id] : std::nullopt}, &steps);
    if (!why.empty()) return fail(why);
    size_t step = column_of(steps, "step");
    size_t of = column_of(steps, "steps");
    for (const db_row &s : steps.rows) {
      printf("  step %s/%s:\n", step < s.size() ? shown(s[step]).c_str() : "-",
             of < s.size() ? shown(s[of]).c_str() : "-");
      print_fields(steps, s, false);
    }
  }
  return 0;
}

// The local day of a quarter of an hour the query below names in UTC
// ("2026-12-08T23:3" for 23:30 to 23:45): every zone's offset is a
// whole number of quarters, so each quarter lies in one local day.
std::string local_day(const std::string &quarter) {
  tm f{};
  int year = 0;
  int month = 0;
  int q = 0;
  if (quarter.size() != 15 || !digits(quarter, 0, 4, &year) || !digits(quarter, 5, 2, &month) ||
      !digits(quarter, 8, 2, &f.tm_mday) || !digits(quarter, 11, 2, &f.tm_hour) ||
      !digits(quarter, 14, 1, &q)) {
    return quarter.substr(0, 10);
  }
  f.tm_year = year - 1900;
  f.tm_mon = month - 1;
  f.tm_min = q * 15;
  time_t t = timegm(&f);
  tm local{};
  localtime_r(&t, &local);
  char day[32];
  strftime(day, sizeof day, "%Y-%m-%d", &local);
  return day;
}

int yield(unit_store &store, const std::string &by, const period &p) {
  std::string key;
  bool local_days = by == "day" && !p.utc;
  if (by == "station") {
    key = "station";
  } else if (by == "slot") {
    key = "station || '/' || slot";
  } else if (local_days) {
    key =
        "substr(started, 1, 14) || CAST(CAST(substr(started, 15, 2) AS INTEGER) / 15 AS "
        "TEXT)";
  } else if (by == "day") {
    key = "substr(started, 1, 10)";
  } else if (by == "failure") {
    key = "COALESCE(failure, result)";
  } else {
    return usage_error("--by takes station, slot, day or failure, not " + by);
  }
  std::vector<db_value> params;
  std::string filter = period_filter(p, "started", &params);
  auto count = [](const char *result) {
    return std::string(", SUM(CASE WHEN result = '") + result + "' THEN 1 ELSE 0 END)";
  };
  db_rows rows;
  std::string why = store.query("SELECT " + key + " AS k, COUNT(*)" + count("passed") +
                                    count("failed") + count("abandoned") + count("unfinished") +
                                    " FROM units WHERE 1 = 1" + filter + " GROUP BY k ORDER BY k",
                                params, &rows);
  if (!why.empty()) return fail(why);
  std::map<std::string, std::array<long long, 5>> groups;
  for (const db_row &r : rows.rows) {
    std::array<long long, 5> &n = groups[local_days ? local_day(shown(r[0])) : shown(r[0])];
    for (size_t i = 0; i < n.size(); ++i) n[i] += db_int(r[i + 1]);
  }
  size_t width = by.size();
  for (const auto &[name, n] : groups) width = std::max(width, name.size());
  std::string title = by;
  for (char &c : title) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  printf("%-*s %7s %7s %7s %9s %10s %6s\n", static_cast<int>(width), title.c_str(), "UNITS",
         "PASSED", "FAILED", "ABANDONED", "UNFINISHED", "YIELD");
  long long totals[5] = {};
  auto line = [width](const std::string &name, const long long n[5]) {
    long long ended = n[1] + n[2] + n[3];
    char yield_text[16] = "-";
    if (ended > 0) {
      snprintf(yield_text, sizeof yield_text, "%.1f%%",
               100.0 * static_cast<double>(n[1]) / static_cast<double>(ended));
    }
    printf("%-*s %7lld %7lld %7lld %9lld %10lld %6s\n", static_cast<int>(width), name.c_str(), n[0],
           n[1], n[2], n[3], n[4], yield_text);
  };
  for (const auto &[name, n] : groups) {
    for (size_t i = 0; i < n.size(); ++i) totals[i] += n[i];
    line(name, n.data());
  }
  line("all", totals);
  return 0;
}

int export_csv(unit_store &store, const std::string &what, const period &p) {
  std::vector<db_value> params;
  std::string sql = export_sql(what, p.since, p.until, 0, 0, &params);
  if (sql.empty()) return usage_error("export takes units or steps, not " + what);
  db_rows rows;
  std::string why = store.query(sql, params, &rows);
  if (!why.empty()) return fail(why);
  auto put = [](const std::vector<db_value> &fields) {
    std::string line = csv_record(fields);
    fwrite(line.data(), 1, line.size(), stdout);
  };
  put(std::vector<db_value>(rows.columns.begin(), rows.columns.end()));
  for (const db_row &r : rows.rows) put(r);
  return 0;
}

// What is wrong with the lookup's words, or "". Fills in the period.
std::string wrong_words(const std::vector<std::string> &words, const std::string &since,
                        const std::string &until, const std::string &db, period *p) {
  for (const std::string *t : {&since, &until}) {
    if (t->empty()) continue;
    instant first;
    instant after;
    if (!read_bound(*t, p->utc, &first, &after)) {
      return "a time is YYYY-MM-DD, optionally with THH, THH:MM, THH:MM:SS or THH:MM:SS.FFF,"
             " then Z for UTC or an offset such as +01:00 (without, the local time), not " +
             *t;
    }
    (t == &since ? p->since : p->until) = record_time(t == &since ? first : after);
  }
  if (words.empty()) return "which lookup: history, yield, export or serve?";
  const std::string &command = words[0];
  size_t want = command == "yield" || command == "serve" ? 1 : 2;
  if (command != "history" && command != "yield" && command != "export" && command != "serve") {
    return "no lookup is called " + command;
  }
  if (words.size() != want) {
    return command + (want == 1 ? " takes no operand" : " takes one operand");
  }
  if (db.empty()) return "--db names the unit record";
  return "";
}

// The dashboard, until a signal stops it.
int serve(const std::string &db, dashboard_options web, const std::string &silent_after) {
  if (!silent_after.empty()) {
    char *end = nullptr;
    long seconds = strtol(silent_after.c_str(), &end, 10);
    if (*end != '\0' || seconds < 1 || seconds > 86400) {
      return usage_error("--silent-after takes 1 to 86400 seconds, not " + silent_after);
    }
    web.silent_after_ms = seconds * 1000L;
  }
  web.db = db;
  return serve_dashboard(web);
}

}  // namespace

int main(int argc, char **argv) {
  enum { OPT_DB = 256, OPT_BY, OPT_SINCE, OPT_UNTIL, OPT_UTC, OPT_VERSION, OPT_LISTEN, OPT_SILENT };
  const option options[] = {{"db", required_argument, nullptr, OPT_DB},
                            {"by", required_argument, nullptr, OPT_BY},
                            {"since", required_argument, nullptr, OPT_SINCE},
                            {"until", required_argument, nullptr, OPT_UNTIL},
                            {"utc", no_argument, nullptr, OPT_UTC},
                            {"listen", required_argument, nullptr, OPT_LISTEN},
                            {"silent-after", required_argument, nullptr, OPT_SILENT},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, OPT_VERSION},
                            {nullptr, 0, nullptr, 0}};
  std::string db;
  std::string by = "station";
  period p;
  dashboard_options web;
  std::string silent_after;
  std::string since;
  std::string until;
  opterr = 0;
  for (int c = 0; (c = getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
    switch (c) {
      case OPT_DB:
        db = optarg;
        break;
      case OPT_BY:
        by = optarg;
        break;
      case OPT_SINCE:
        since = optarg;
        break;
      case OPT_UNTIL:
        until = optarg;
        break;
      case OPT_UTC:
        p.utc = true;
        break;
      case OPT_LISTEN:
        web.listen = optarg;
        break;
      case OPT_SILENT:
        silent_after = optarg;
        break;
      case 'h':
        printf("%s\n%s", USAGE, HELP);
        return 0;
      case OPT_VERSION:
        printf("kesp-units %s\n", KESP_VERSION);
        return 0;
      default:
        return usage_error(optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                                       : "unknown option " + std::string(argv[optind - 1]));
    }
  }
  std::vector<std::string> words(argv + optind, argv + argc);
  std::string wrong = wrong_words(words, since, until, db, &p);
  if (!wrong.empty()) return usage_error(wrong);
  const std::string &command = words[0];
  if (command == "serve") return serve(db, web, silent_after);
  std::string why;
  // Lookups never create a record where there is none.
  if (!is_postgres_url(db) && access(db.c_str(), F_OK) != 0) {
    return fail("--db " + db + ": " + strerror(errno));
  }
  // A lookup never writes: a newer kesp-units upgrading a plant's record
  // would leave every older station unable to open it.
  int schema = 0;
  std::unique_ptr<unit_store> store = unit_store::open_for_reading(db, &why, &schema);
  if (store != nullptr && schema < OLDEST_SCHEMA_READ) {
    store.reset();
    why = "the unit record has schema version " + std::to_string(schema) +
          ", older than kesp-units " KESP_VERSION " reads: a station of kesp-batch " KESP_VERSION
          " upgrades it when it starts on it";
  }
  // A URL is not repeated: whatever it carries stays out of logs.
  if (store == nullptr)
    return fail("--db " + (is_postgres_url(db) ? std::string("URL") : db) + ": " + why);
  int rc = command == "history" ? history(*store, words[1])
           : command == "yield" ? yield(*store, by, p)
                                : export_csv(*store, words[1], p);
  if (fflush(stdout) != 0 || ferror(stdout) != 0) {
    return fail(std::string("standard output: ") + strerror(errno));
  }
  return rc;
}
