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
    "usage: kesp-units --db DB history [--long] SERIAL\n"
    "       kesp-units --db DB yield [--by station|slot|day|failure|class] [--utc] "
    "[--since TIME] [--until TIME]\n"
    "       kesp-units --db DB export units|steps [--utc] [--since TIME] [--until TIME]\n"
    "       kesp-units --db DB serve [--listen ADDR:PORT] [--silent-after SECONDS]\n";

const char HELP[] =
    "Looks up the units that kesp-batch stations recorded.\n"
    "\n"
    "  history SERIAL     the unit with that serial number and a line per step\n"
    "  yield              units passed, failed (the unit's failures, and the operator's\n"
    "                     and the station's apart), abandoned, and the yield, per group\n"
    "  export units|steps the units or their steps as CSV on standard output\n"
    "  serve              the plant's dashboard and metrics, read-only, over HTTP\n"
    "\n"
    "Options:\n"
    "      --db DB        a SQLite file, or a postgresql:// URL\n"
    "      --by KEY       group the yield by station, slot, day, failure or class\n"
    "                     (default station)\n"
    "      --long         history field by field, every column of the record\n"
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

// The oldest schema whose tables the lookups below read as they are
// (version 1 lacks only indexes, version 2 the columns of version 3,
// which they read as NULL).
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


// A value as one line on a terminal: line breaks, tabs and other control
// characters as \n, \t, \r and \xNN, so that kept data of several lines
// stays on its own.
std::string one_line(const std::string &v) {
  std::string out;
  for (char c : v) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

std::string shown_line(const db_value &v) { return v ? one_line(*v) : "-"; }

// Characters, not bytes: the record's texts are UTF-8.
size_t width_of(const std::string &t) {
  return static_cast<size_t>(
      std::ranges::count_if(t, [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

// The byte offset of the n-th character of t (t.size() past its end).
size_t char_offset(const std::string &t, size_t n) {
  size_t seen = 0;
  for (size_t i = 0; i < t.size(); ++i) {
    if ((static_cast<unsigned char>(t[i]) & 0xc0) == 0x80) continue;
    if (seen++ == n) return i;
  }
  return t.size();
}

// t in width columns, padded, or cut with "...": at its end, or at its
// start where the end says more (a file's name after its folders).
std::string fit(const std::string &t, size_t width, bool keep_end = false) {
  size_t n = width_of(t);
  if (n <= width) return t + std::string(width - n, ' ');
  size_t keep = width > 3 ? width - 3 : 0;
  if (keep_end) return "..." + t.substr(char_offset(t, n - keep));
  return t.substr(0, char_offset(t, keep)) + "...";
}

std::string right(const std::string &t, size_t width) {
  size_t n = width_of(t);
  return n >= width ? t : std::string(width - n, ' ') + t;
}

// A row's value by its column's name; none when the record has no such column.
db_value field(const db_rows &rows, const db_row &row, const std::string &name) {
  size_t c = column_of(rows, name);
  return c < row.size() ? row[c] : std::nullopt;
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
    printf("%s%-14s %s\n", unit ? "  " : "    ", (label + ":").c_str(), shown_line(row[c]).c_str());
  }
}

// The compact history's widest line: its steps' failures are cut to it.
constexpr size_t HISTORY_WIDTH = 100;

// The unit in two or three lines: how it ended and why, where and when.
void print_unit_heading(const db_rows &units, const db_row &u, const std::string &serial,
                        const db_rows &steps) {
  std::string how;
  for (const char *name : {"failure_class", "failure"}) {
    if (db_value v = field(units, u, name)) how += (how.empty() ? "" : ": ") + *v;
  }
  std::string line = "serial " + serial + ": " + shown_line(field(units, u, "result"));
  if (!how.empty()) line += " (" + how + ")";
  printf("%s\n", line.c_str());
  std::string address;
  if (!steps.rows.empty()) {
    if (db_value a = field(steps, steps.rows[0], "address")) address = " (" + *a + ")";
  }
  printf("  station %s, slot %s%s, unit %s (id %s)\n", shown_line(field(units, u, "station")).c_str(),
         shown_line(field(units, u, "slot")).c_str(), one_line(address).c_str(),
         shown_line(field(units, u, "unit_number")).c_str(),
         shown_line(field(units, u, "id")).c_str());
  printf("  started %s, ended %s\n", shown_line(field(units, u, "started")).c_str(),
         shown_line(field(units, u, "ended")).c_str());
  if (db_value reason = field(units, u, "reason")) printf("  reason: %s\n", one_line(*reason).c_str());
}

// A step's result, and for a failed step its class (in an older record
// its kind: the kind is in the unit's heading) and reason; for a step not
// run, why.
std::string step_result_text(const db_rows &steps, const db_row &s) {
  std::string result = shown_line(field(steps, s, "result"));
  db_value reason = field(steps, s, "reason");
  if (result == "failed") {
    db_value failure = field(steps, s, "failure_class");
    if (!failure) failure = field(steps, s, "failure");
    if (failure) result += ", " + one_line(*failure);
  } else if (reason && reason->starts_with(result)) {
    return one_line(*reason);
  }
  if (reason) {
    result += ": ";
    result += one_line(*reason);
  }
  return result;
}

// One line per step, its result and failure cut to HISTORY_WIDTH, and under a step
// that kept its data, that data whole. The board's and the image's columns
// are as wide as their longest text, up to a limit, so that an IPv4
// address or a file's name fits whole where it can.
void print_step_lines(const db_rows &steps) {
  auto text = [&steps](const db_row &s, const char *name) {
    return shown_line(field(steps, s, name));
  };
  auto mode_of = [&](const db_row &s) {
    std::string mode = text(s, "mode");
    if (db_value device = field(steps, s, "device")) mode += " " + one_line(*device);
    return mode;
  };
  size_t board_w = 5;
  size_t mode_w = 4;
  size_t image_w = 5;
  for (const db_row &s : steps.rows) {
    board_w = std::max(board_w, std::min<size_t>(width_of(text(s, "board")), 15));
    mode_w = std::max(mode_w, std::min<size_t>(width_of(mode_of(s)), 12));
    image_w = std::max(image_w, std::min<size_t>(width_of(text(s, "image")), 16));
  }
  std::string head = fit("STEP", 5) + " " + fit("BOARD", board_w) + " " + fit("MODE", mode_w) +
                     " " + fit("ADDRESS", 8) + " " + fit("IMAGE", image_w) + " " +
                     right("SIZE", 8) + " " + right("SECS", 6) + " RESULT";
  printf("%s\n", head.c_str());
  for (const db_row &s : steps.rows) {
    std::string seconds = "-";
    if (db_value secs = field(steps, s, "seconds")) {
      char number[32];
      snprintf(number, sizeof number, "%.2f", strtod(secs->c_str(), nullptr));
      seconds = number;
    }
    std::string result = step_result_text(steps, s);
    std::string line;
    for (const std::string &cell :
         {fit(text(s, "step") + "/" + text(s, "steps"), 5), fit(text(s, "board"), board_w),
          fit(mode_of(s), mode_w), fit(text(s, "flash_address"), 8),
          fit(text(s, "image"), image_w, true), right(text(s, "size"), 8), right(seconds, 6)}) {
      line += cell;
      line += ' ';
    }
    size_t used = width_of(line);
    line += fit(result, used + 20 < HISTORY_WIDTH ? HISTORY_WIDTH - used : 20);
    while (line.ends_with(' ')) line.pop_back();
    printf("%s\n", line.c_str());
    if (db_value kept = field(steps, s, "kept")) printf("      kept: %s\n", one_line(*kept).c_str());
  }
}

int history(unit_store &store, const std::string &serial, bool long_form, int schema) {
  // Every column the record holds, whatever the schema's version: a
  // column added later shows without a change here.
  db_rows units;
  std::string why = store.query("SELECT " + unit_columns(schema) +
                                    " FROM units WHERE serial = ? ORDER BY id",
                                {serial}, &units);
  if (!why.empty()) return fail(why);
  if (units.rows.empty()) return fail("no unit has the serial " + serial);
  for (const db_row &u : units.rows) {
    db_rows steps;
    why = store.query("SELECT " + step_columns(schema) +
                          " FROM steps WHERE unit_id = CAST(? AS BIGINT) ORDER BY step",
                      {field(units, u, "id")}, &steps);
    if (!why.empty()) return fail(why);
    if (!long_form) {
      print_unit_heading(units, u, serial, steps);
      print_step_lines(steps);
      continue;
    }
    printf("serial %s\n", serial.c_str());
    print_fields(units, u, true);
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


int yield(unit_store &store, const std::string &by, const period &p, int schema) {
  std::string key;
  bool local_days = by == "day" && !p.utc;
  // A record older than the classes has none: its failures are the units'.
  std::string failure_class = schema >= 3 ? "failure_class" : "CAST(NULL AS TEXT)";
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
  } else if (by == "class") {
    key = "CASE WHEN result = 'passed' THEN result ELSE COALESCE(" + failure_class +
          ", result) END";
  } else {
    return usage_error("--by takes station, slot, day, failure or class, not " + by);
  }
  std::vector<db_value> params;
  std::string filter = period_filter(p, "started", &params);
  auto count = [](const std::string &when) {
    return ", SUM(CASE WHEN " + when + " THEN 1 ELSE 0 END)";
  };
  // A failed unit's class says whose failure it was: the board's, a
  // part's or the link's count against the yield; an operator's interrupt
  // and the station's own mistakes (its set-up, its images) apart.
  auto failed_as = [&failure_class](const std::string &name) {
    return "result = 'failed' AND " + failure_class + " = '" + name + "'";
  };
  std::string unit_failure = "result = 'failed' AND (" + failure_class + " IS NULL OR " +
                             failure_class + " IN ('board', 'part', 'link'))";
  db_rows rows;
  std::string why = store.query(
      "SELECT " + key + " AS k, COUNT(*)" + count("result = 'passed'") +
          count(unit_failure) + count(failed_as("operator")) + count(failed_as("station")) +
          count("result = 'abandoned'") + count("result = 'unfinished'") +
          " FROM units WHERE 1 = 1" + filter + " GROUP BY k ORDER BY k",
      params, &rows);
  if (!why.empty()) return fail(why);
  constexpr size_t COUNTS = 7;
  std::map<std::string, std::array<long long, COUNTS>> groups;
  for (const db_row &r : rows.rows) {
    std::array<long long, COUNTS> &n = groups[local_days ? local_day(shown(r[0])) : shown(r[0])];
    for (size_t i = 0; i < n.size(); ++i) n[i] += db_int(r[i + 1]);
  }
  size_t width = by.size();
  for (const auto &[name, n] : groups) width = std::max(width, name.size());
  std::string title = by;
  for (char &c : title) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  printf("%-*s %7s %7s %7s %8s %7s %9s %10s %6s\n", static_cast<int>(width), title.c_str(), "UNITS",
         "PASSED", "FAILED", "OPERATOR", "STATION", "ABANDONED", "UNFINISHED", "YIELD");
  std::array<long long, COUNTS> totals{};
  auto line = [width](const std::string &name, const std::array<long long, COUNTS> &n) {
    // Passed over passed and failed by the unit's own fault.
    long long judged = n[1] + n[2];
    char yield_text[16] = "-";
    if (judged > 0) {
      snprintf(yield_text, sizeof yield_text, "%.1f%%",
               100.0 * static_cast<double>(n[1]) / static_cast<double>(judged));
    }
    printf("%-*s %7lld %7lld %7lld %8lld %7lld %9lld %10lld %6s\n", static_cast<int>(width),
           name.c_str(), n[0], n[1], n[2], n[3], n[4], n[5], n[6], yield_text);
  };
  for (const auto &[name, n] : groups) {
    for (size_t i = 0; i < n.size(); ++i) totals[i] += n[i];
    line(name, n);
  }
  line("all", totals);
  return 0;
}

int export_csv(unit_store &store, const std::string &what, const period &p, int schema) {
  std::vector<db_value> params;
  std::string sql = export_sql(what, p.since, p.until, 0, 0, &params, schema);
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
  enum { OPT_DB = 256, OPT_BY, OPT_SINCE, OPT_UNTIL, OPT_UTC, OPT_LONG, OPT_VERSION, OPT_LISTEN,
         OPT_SILENT };
  const option options[] = {{"db", required_argument, nullptr, OPT_DB},
                            {"by", required_argument, nullptr, OPT_BY},
                            {"since", required_argument, nullptr, OPT_SINCE},
                            {"until", required_argument, nullptr, OPT_UNTIL},
                            {"utc", no_argument, nullptr, OPT_UTC},
                            {"long", no_argument, nullptr, OPT_LONG},
                            {"listen", required_argument, nullptr, OPT_LISTEN},
                            {"silent-after", required_argument, nullptr, OPT_SILENT},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, OPT_VERSION},
                            {nullptr, 0, nullptr, 0}};
  std::string db;
  std::string by = "station";
  period p;
  bool long_form = false;
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
      case OPT_LONG:
        long_form = true;
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
        return usage_error(optopt > 0 && optopt < OPT_DB
                               ? std::string("unknown option -") + static_cast<char>(optopt)
                               : unknown_option(argv[optind - 1], options));
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
  // A URL is not repeated whole: whatever else it carries stays out of logs.
  if (store == nullptr) return fail("--db " + record_name(db) + ": " + why);
  int rc = command == "history" ? history(*store, words[1], long_form, schema)
           : command == "yield" ? yield(*store, by, p, schema)
                                : export_csv(*store, words[1], p, schema);
  if (fflush(stdout) != 0 || ferror(stdout) != 0) {
    return fail(std::string("standard output: ") + strerror(errno));
  }
  return rc;
}
