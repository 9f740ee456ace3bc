// A large unit record for the dashboard's bench: UNITS units of four steps
// each, started evenly over the 30 days before now by 8 stations of 4
// slots, one in 50 failed (board, part or link) and one in 997 abandoned.
// Made by the database itself from a sequence, so that it takes seconds.
// usage: web_record DB UNITS    (a SQLite file or a postgresql:// URL)
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "unit_store.h"

namespace {

int die(const std::string &why) {
  fprintf(stderr, "web_record: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) return die("usage: web_record DB UNITS");
  std::string why;
  std::unique_ptr<unit_store> store = unit_store::open(argv[1], &why);
  if (store == nullptr) return die(why);
  long units = atol(argv[2]);
  bool pg = store->postgres();
  double span = 30.0 * 86400;
  std::string base = std::to_string(static_cast<long>(time(nullptr)) - static_cast<long>(span));
  std::string every = std::to_string(span / static_cast<double>(units));
  std::string n = std::to_string(units);
  auto at = [&](const std::string &offset) {
    std::string t = base + " + i * " + every + " + " + offset;
    return pg ? "to_char(to_timestamp(" + t +
                    ") AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"
              : "strftime('%Y-%m-%dT%H:%M:%fZ', " + t + ", 'unixepoch')";
  };
  std::string seq = pg ? "generate_series(1, " + n + ") AS g(i)"
                       : "(WITH RECURSIVE q(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM q WHERE i < " +
                             n + ") SELECT i FROM q) AS g";
  std::string serial = pg ? "'KX' || lpad(i::text, 7, '0')" : "'KX' || substr('0000000' || i, -7, 7)";
  std::string units_sql =
      "INSERT INTO units (id, serial, serial_format, serial_number, station, slot, unit_number,"
      " started, ended, result, failure, reason, failure_class) SELECT i, " +
      serial + ", 'KX{:07}', i, 'line-' || (i % 8), 's' || (i % 4), i, " + at("0") + ", " +
      at("40 + i % 17") +
      ", CASE WHEN i % 50 = 0 THEN 'failed' WHEN i % 997 = 0 THEN 'abandoned' ELSE 'passed' END,"
      " CASE WHEN i % 50 = 0 THEN (CASE i % 3 WHEN 0 THEN 'verify' WHEN 1 THEN 'erase' ELSE"
      " 'connect' END) WHEN i % 997 = 0 THEN 'abandoned' END,"
      " CASE WHEN i % 50 = 0 THEN 'the image did not verify' END,"
      " CASE WHEN i % 50 = 0 THEN (CASE i % 3 WHEN 0 THEN 'board' WHEN 1 THEN 'part' ELSE 'link'"
      " END) END FROM " +
      seq;
  std::string steps_sql =
      "INSERT INTO steps (unit_id, step, steps, board, mode, device, image, size, result, attempts,"
      " started, seconds) SELECT i, k, 4, '127.0.0.' || (i % 4 + 1), 'update', 'nor', 'app.bin',"
      " 1048576, 'passed', 1, " +
      at("k * 10") + ", 5.0 + ((i * 7 + k * 13) % 1000) / 100.0 FROM " + seq +
      " CROSS JOIN (SELECT 1 AS k UNION ALL SELECT 2 UNION ALL SELECT 3 UNION ALL SELECT 4) AS s";
  // The record's own statement limit is for stations, not for this.
  if (pg) why = store->query("SET statement_timeout = 0", {}, nullptr);
  if (!why.empty()) return die(why);
  for (const std::string &sql : {std::string("BEGIN"), units_sql, steps_sql, std::string("COMMIT"),
                                 std::string("ANALYZE")}) {
    why = store->query(sql, {}, nullptr);
    if (!why.empty()) return die(why + " in " + sql.substr(0, 60));
  }
  if (pg) {
    why = store->query("SELECT setval(pg_get_serial_sequence('units', 'id'), " + n + ")", {},
                       nullptr);
    if (!why.empty()) return die(why);
  }
  printf("web_record: %ld units, %ld steps\n", units, units * 4);
  return 0;
}
