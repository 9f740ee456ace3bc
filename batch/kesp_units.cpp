// kesp-units: the unit record looked up without writing SQL: one unit's
// history by serial, the yield over a period, and CSV for spreadsheets.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "unit_store.h"

namespace {

const char USAGE[] =
    "usage: kesp-units --db DB history SERIAL\n"
    "       kesp-units --db DB yield [--by station|slot|day|failure] [--since TIME] [--until "
    "TIME]\n"
    "       kesp-units --db DB export units|steps [--since TIME] [--until TIME]\n";

const char HELP[] =
    "Looks up the units that kesp-batch stations recorded.\n"
    "\n"
    "  history SERIAL     the unit with that serial number and its steps\n"
    "  yield              units passed, failed and abandoned, and the yield, per group\n"
    "  export units|steps the units or their steps as CSV on standard output\n"
    "\n"
    "Options:\n"
    "      --db DB        a SQLite file, or a postgresql:// URL\n"
    "      --by KEY       group the yield by station, slot, day or failure (default station)\n"
    "      --since TIME   units started at or after TIME (UTC, 2026-12-08 or 2026-12-08T14:00)\n"
    "      --until TIME   units started at or before TIME, to its precision\n"
    "  -h, --help         this text\n"
    "      --version      the version\n";

int usage_error(const std::string &why) {
  fprintf(stderr, "kesp-units: %s\n%s", why.c_str(), USAGE);
  return 2;
}

std::string shown(const db_value &v) { return v ? *v : "-"; }

// A time bound: a day, optionally with a time of day, in UTC.
bool time_bound(const std::string &t) {
  if (t.size() < 10 || t.size() > 24) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    bool digit = c >= '0' && c <= '9';
    bool ok = i == 4 || i == 7 ? c == '-' : digit || (i >= 10 && strchr("T:.Z", c) != nullptr);
    if (!ok) return false;
  }
  return true;
}

struct period {
  std::string since;
  std::string until;
};

// Bounds compare the start times to the bound's own precision, so that
// --until 2026-12-08 takes in that whole day.
std::string period_filter(const period &p, const char *column, std::vector<db_value> *params) {
  std::string sql;
  if (!p.since.empty()) {
    sql += std::string(" AND substr(") + column + ", 1, CAST(? AS INTEGER)) >= ?";
    params->push_back(std::to_string(p.since.size()));
    params->push_back(p.since);
  }
  if (!p.until.empty()) {
    sql += std::string(" AND substr(") + column + ", 1, CAST(? AS INTEGER)) <= ?";
    params->push_back(std::to_string(p.until.size()));
    params->push_back(p.until);
  }
  return sql;
}

int fail(const std::string &why) {
  fprintf(stderr, "kesp-units: %s\n", why.c_str());
  return 1;
}

int history(unit_store &store, const std::string &serial) {
  db_rows units;
  std::string why = store.query(
      "SELECT id, serial, station, slot, unit_number, started, ended, result, failure, reason"
      " FROM units WHERE serial = ? ORDER BY id",
      {serial}, &units);
  if (!why.empty()) return fail(why);
  if (units.rows.empty()) return fail("no unit has the serial " + serial);
  for (const db_row &u : units.rows) {
    printf("serial %s\n", shown(u[1]).c_str());
    printf("  unit id:     %s\n", shown(u[0]).c_str());
    printf("  station:     %s\n", shown(u[2]).c_str());
    printf("  slot:        %s\n", shown(u[3]).c_str());
    printf("  unit number: %s\n", shown(u[4]).c_str());
    printf("  started:     %s\n", shown(u[5]).c_str());
    printf("  ended:       %s\n", shown(u[6]).c_str());
    printf("  result:      %s\n", shown(u[7]).c_str());
    printf("  failure:     %s\n", shown(u[8]).c_str());
    printf("  reason:      %s\n", shown(u[9]).c_str());
    db_rows steps;
    why = store.query(
        "SELECT step, steps, board, address, mode, device, flash_address, image, size, sha256,"
        " result, failure, reason, flash_id, crc, target_crc, attempts, started, seconds"
        " FROM steps WHERE unit_id = CAST(? AS BIGINT) ORDER BY step",
        {u[0]}, &steps);
    if (!why.empty()) return fail(why);
    for (const db_row &s : steps.rows) {
      printf("  step %s/%s:\n", shown(s[0]).c_str(), shown(s[1]).c_str());
      for (size_t c = 2; c < s.size(); ++c) {
        printf("    %-14s %s\n", (steps.columns[c] + ":").c_str(), shown(s[c]).c_str());
      }
    }
  }
  return 0;
}

int yield(unit_store &store, const std::string &by, const period &p) {
  std::string key;
  if (by == "station") {
    key = "station";
  } else if (by == "slot") {
    key = "station || '/' || slot";
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
  size_t width = by.size();
  for (const db_row &r : rows.rows) width = std::max(width, shown(r[0]).size());
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
  for (const db_row &r : rows.rows) {
    long long n[5];
    for (size_t i = 0; i < 5; ++i) {
      n[i] = db_int(r[i + 1]);
      totals[i] += n[i];
    }
    line(shown(r[0]), n);
  }
  line("all", totals);
  return 0;
}

// RFC 4180: a field is quoted when it holds a comma, a quote or a line
// break, quotes doubled; records end in CRLF. NULL is the empty field.
std::string csv_field(const db_value &v) {
  if (!v) return "";
  if (v->find_first_of(",\"\r\n") == std::string::npos) return *v;
  std::string out = "\"";
  for (char c : *v) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void csv_line(const std::vector<db_value> &fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) line += (i > 0 ? "," : "") + csv_field(fields[i]);
  line += "\r\n";
  fwrite(line.data(), 1, line.size(), stdout);
}

int export_csv(unit_store &store, const std::string &what, const period &p) {
  std::vector<db_value> params;
  std::string sql;
  if (what == "units") {
    sql = "SELECT * FROM units WHERE 1 = 1" + period_filter(p, "started", &params) + " ORDER BY id";
  } else if (what == "steps") {
    sql =
        "SELECT units.serial AS serial, steps.* FROM steps JOIN units ON units.id = steps.unit_id"
        " WHERE 1 = 1" +
        period_filter(p, "units.started", &params) + " ORDER BY steps.unit_id, steps.step";
  } else {
    return usage_error("export takes units or steps, not " + what);
  }
  db_rows rows;
  std::string why = store.query(sql, params, &rows);
  if (!why.empty()) return fail(why);
  csv_line(std::vector<db_value>(rows.columns.begin(), rows.columns.end()));
  for (const db_row &r : rows.rows) csv_line(r);
  return 0;
}

// What is wrong with the lookup's words, or "".
std::string wrong_words(const std::vector<std::string> &words, const period &p,
                        const std::string &db) {
  const std::string bounds[] = {p.since, p.until};
  const std::string *bad =
      std::find_if(std::begin(bounds), std::end(bounds),
                   [](const std::string &t) { return !t.empty() && !time_bound(t); });
  if (bad != std::end(bounds))
    return "a time is YYYY-MM-DD, optionally with THH:MM:SS, not " + *bad;
  if (words.empty()) return "which lookup: history, yield or export?";
  const std::string &command = words[0];
  size_t want = command == "yield" ? 1 : 2;
  if (command != "history" && command != "yield" && command != "export") {
    return "no lookup is called " + command;
  }
  if (words.size() != want) {
    return command + (want == 1 ? " takes no operand" : " takes one operand");
  }
  if (db.empty()) return "--db names the unit record";
  return "";
}

}  // namespace

int main(int argc, char **argv) {
  enum { OPT_DB = 256, OPT_BY, OPT_SINCE, OPT_UNTIL, OPT_VERSION };
  const option options[] = {{"db", required_argument, nullptr, OPT_DB},
                            {"by", required_argument, nullptr, OPT_BY},
                            {"since", required_argument, nullptr, OPT_SINCE},
                            {"until", required_argument, nullptr, OPT_UNTIL},
                            {"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, OPT_VERSION},
                            {nullptr, 0, nullptr, 0}};
  std::string db;
  std::string by = "station";
  period p;
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
        p.since = optarg;
        break;
      case OPT_UNTIL:
        p.until = optarg;
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
  std::string wrong = wrong_words(words, p, db);
  if (!wrong.empty()) return usage_error(wrong);
  const std::string &command = words[0];
  std::string why;
  // Lookups never create a record where there is none.
  if (!is_postgres_url(db) && access(db.c_str(), F_OK) != 0) {
    return fail("--db " + db + ": " + strerror(errno));
  }
  std::unique_ptr<unit_store> store = unit_store::open(db, &why);
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
