// The record's front: which engine a name opens, the schema's check on
// opening, and the few statements a station writes, the same on both.
#include "unit_store.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <utility>

#include "schema.h"
#include "store_engines.h"
#include "text.h"

namespace {

const char *const STEP_COLUMNS[] = {
    "unit_id", "step",       "steps",         "board",    "address", "mode",
    "device",  "flags",      "flash_address", "image",    "size",    "sha256",
    "result",  "failure",    "reason",        "flash_id", "error",   "error_text",
    "crc",     "target_crc", "sent",          "attempts", "started", "seconds"};
// Schema version 3's, after them.
const char *const STEP_COLUMNS_3[] = {"failure_class", "kept"};

db_value num(std::optional<int64_t> v) {
  if (!v) return std::nullopt;
  return std::to_string(*v);
}

db_value num(std::optional<double> v) {
  if (!v) return std::nullopt;
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, *v);
  if (ec != std::errc()) return std::nullopt;
  return std::string(text, end);
}

db_value text_or_null(const std::string &s) {
  if (s.empty()) return std::nullopt;
  return s;
}

}  // namespace

std::vector<db_value> valid_params(const std::vector<db_value> &params) {
  std::vector<db_value> valid(params.size());
  std::transform(params.begin(), params.end(), valid.begin(),
                 [](const db_value &p) { return p ? db_value(valid_utf8(*p)) : std::nullopt; });
  return valid;
}

int64_t db_int(const db_value &v) {
  int64_t n = 0;
  if (v) std::from_chars(v->data(), v->data() + v->size(), n);
  return n;
}

bool is_postgres_url(const std::string &db) {
  return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::string record_name(const std::string &db) {
  return is_postgres_url(db) ? postgres_name(db) : db;
}

std::string unit_time_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return iso_time(static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

const char *unit_result_name(unit_result r) {
  switch (r) {
    case unit_result::unfinished:
      return "unfinished";
    case unit_result::passed:
      return "passed";
    case unit_result::failed:
      return "failed";
    case unit_result::abandoned:
      return "abandoned";
  }
  return "unfinished";
}

std::unique_ptr<unit_store> unit_store::open(const std::string &db, std::string *why, int version) {
  std::unique_ptr<unit_store> store =
      is_postgres_url(db) ? connect_postgres(db, why) : open_sqlite(db, why);
  if (store == nullptr) return nullptr;
  std::string fail = store->migrate(version);
  if (!fail.empty()) {
    *why = fail;
    return nullptr;
  }
  return store;
}

std::unique_ptr<unit_store> unit_store::open_for_reading(const std::string &db, std::string *why,
                                                         int *schema) {
  std::unique_ptr<unit_store> store;
  db_rows rows;
  const char *version_sql = "SELECT value FROM meta WHERE key = 'schema_version'";
  if (is_postgres_url(db)) {
    store = connect_postgres(db, why);
    if (store == nullptr) return nullptr;
    // Set after connecting, so that no options in the URL can undo it. A
    // table locked for good (LOCK TABLE, a long migration) is the only
    // writer a PostgreSQL reader waits for. A lookup's own statement has no
    // limit: a year's export may take its time, and the person who asked
    // for it is there to stop it.
    for (const char *sql : {"SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY",
                            "SET lock_timeout = '5s'", "SET statement_timeout = 0"}) {
      *why = store->query(sql, {}, nullptr);
      if (!why->empty()) return nullptr;
    }
    *why = store->query(version_sql, {}, &rows);
  } else {
    store = open_sqlite_for_reading(db, false, why);
    if (store != nullptr) *why = store->query(version_sql, {}, &rows);
    // A read-only connection to a WAL file needs its -shm, which it cannot
    // make in a folder it may not write. Without a -wal file no station
    // has the file open, and everything committed is in the file itself.
    std::string wal = db + "-wal";
    if (!why->empty() && access(wal.c_str(), F_OK) != 0 && errno == ENOENT) {
      std::string again;
      std::unique_ptr<unit_store> whole = open_sqlite_for_reading(db, true, &again);
      if (whole != nullptr && whole->query(version_sql, {}, &rows).empty()) {
        store = std::move(whole);
        why->clear();
      }
    }
  }
  if (!why->empty()) return nullptr;
  if (rows.rows.empty() || !rows.rows[0][0]) {
    *why = "the table meta has no schema_version";
    return nullptr;
  }
  *schema = static_cast<int>(db_int(rows.rows[0][0]));
  if (*schema < 1) {
    *why = "the table meta's schema_version " + *rows.rows[0][0] + " is no version";
    return nullptr;
  }
  if (*schema > UNIT_SCHEMA_VERSION) {
    *why = newer_schema(*schema);
    return nullptr;
  }
  store->schema_ = *schema;
  return store;
}

std::string unit_store::begin_unit(const unit_start &u, const serial_pool *pool, begun_unit *out) {
  begun_unit b;
  std::string fail = begin(true);
  if (!fail.empty()) return fail;
  auto give_up = [this](const std::string &why) {
    query("ROLLBACK", {}, nullptr);
    return why;
  };
  db_rows rows;
  db_value format;
  db_value number;
  if (pool != nullptr) {
    std::string first = std::to_string(pool->first);
    std::string last = std::to_string(pool->last);
    fail = query(
        "INSERT INTO serial_pools (format, next_number, first_number, last_number)"
        " VALUES (?, CAST(? AS BIGINT), CAST(? AS BIGINT), CAST(? AS BIGINT))"
        " ON CONFLICT (format) DO NOTHING",
        {pool->format, first, first, last}, nullptr);
    if (!fail.empty()) return give_up(fail);
    // The row stays locked to this transaction until it commits: a number
    // read here is this unit's alone, whichever station asks at once.
    // A range given anew moves the pool's bounds; numbers once handed out
    // are never handed out again, so the next number never goes back.
    const char *next =
        "(CASE WHEN next_number < CAST(? AS BIGINT) THEN CAST(? AS BIGINT)"
        " ELSE next_number END)";
    fail = query(std::string("UPDATE serial_pools SET next_number = ") + next +
                     " + 1, first_number = CAST(? AS BIGINT), last_number = CAST(? AS BIGINT)"
                     " WHERE format = ? AND " +
                     next +
                     " <= CAST(? AS BIGINT)"
                     " RETURNING next_number - 1",
                 {first, first, first, last, pool->format, first, first, last}, &rows);
    if (!fail.empty()) return give_up(fail);
    if (rows.rows.empty() || !rows.rows[0][0]) {
      return give_up("the serial numbers of " + pool->format + " from " + first + " to " + last +
                     " are all used: no new unit can start (give --serials a new range or format)");
    }
    b.serial_number = db_int(rows.rows[0][0]);
    b.serial = format_serial(*pool, b.serial_number);
    // Another pool made this serial: the unique serial would refuse the
    // unit, the number would go back, and every board after it would meet
    // the same serial again.
    fail = query("SELECT station FROM units WHERE serial = ?", {b.serial}, &rows);
    if (!fail.empty()) return give_up(fail);
    if (!rows.rows.empty()) {
      out->serials_clash = true;
      return give_up("serial " + b.serial + " of " + pool->format + " is a unit's of station " +
                     rows.rows[0][0].value_or("") +
                     " already, made by another pool: no new unit can start (give --serials a"
                     " format or range whose serials no other pool makes)");
    }
    b.serials_left = pool->last - b.serial_number;
    b.serials_low = b.serials_left <= serial_warning_margin(*pool);
    format = pool->format;
    number = std::to_string(b.serial_number);
  }
  fail = query(
      "INSERT INTO units (serial, serial_format, serial_number, station, slot,"
      " unit_number, started, result) VALUES (?, ?, CAST(? AS BIGINT), ?, ?,"
      " CAST(? AS BIGINT), ?, 'unfinished') RETURNING id",
      {pool != nullptr ? db_value(b.serial) : std::nullopt, format, number, u.station, u.slot,
       std::to_string(u.unit_number), unit_time_now()},
      &rows);
  if (!fail.empty()) return give_up(fail);
  if (rows.rows.empty() || !rows.rows[0][0]) return give_up("the unit's row got no id");
  b.id = db_int(rows.rows[0][0]);
  fail = query("COMMIT", {}, nullptr);
  if (!fail.empty()) return fail;
  *out = b;
  return "";
}

std::string kept_text(const std::string &bytes) {
  bool text = valid_utf8(bytes) == bytes && std::ranges::none_of(bytes, [](char c) {
                auto byte = static_cast<unsigned char>(c);
                return (byte < 0x20 && c != '\n' && c != '\t' && c != '\r') || byte == 0x7f;
              });
  if (text) return bytes;
  std::string hex = "hex:";
  for (char c : bytes) {
    char two[3];
    snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
    hex += two;
  }
  return hex;
}

std::string unit_store::record_step(const step_record &s) {
  std::string columns;
  std::string marks;
  std::string updates;
  std::vector<const char *> names(std::begin(STEP_COLUMNS), std::end(STEP_COLUMNS));
  if (schema_ >= 3) names.insert(names.end(), std::begin(STEP_COLUMNS_3), std::end(STEP_COLUMNS_3));
  for (const char *c : names) {
    std::string name(c);
    if (!columns.empty()) columns += ", ";
    columns += name;
    marks += marks.empty() ? "?" : ", ?";
    if (name != "unit_id" && name != "step") {
      if (!updates.empty()) updates += ", ";
      updates += name;
      updates += " = excluded.";
      updates += name;
    }
  }
  std::vector<db_value> values = {std::to_string(s.unit_id),
                                  std::to_string(s.step),
                                  std::to_string(s.steps),
                                  s.board,
                                  s.address,
                                  s.mode,
                                  s.device,
                                  s.flags,
                                  s.flash_address,
                                  s.image,
                                  num(s.size),
                                  s.sha256,
                                  s.result,
                                  s.failure,
                                  s.reason,
                                  s.flash_id,
                                  num(s.error),
                                  s.error_text,
                                  s.crc,
                                  s.target_crc,
                                  num(s.sent),
                                  std::to_string(s.attempts),
                                  s.started,
                                  num(s.seconds)};
  if (schema_ >= 3) values.insert(values.end(), {s.failure_class, s.kept});
  return query("INSERT INTO steps (" + columns + ") VALUES (" + marks +
                   ") ON CONFLICT (unit_id, step) DO UPDATE SET " + updates,
               values, nullptr);
}

std::string unit_store::end_unit(int64_t unit_id, unit_result result, const std::string &failure,
                                 const std::string &reason, const std::string &ended,
                                 const std::string &failure_class) {
  if (schema_ < 3) {
    return query(
        "UPDATE units SET result = ?, failure = ?, reason = ?, ended = ?"
        " WHERE id = CAST(? AS BIGINT)",
        {unit_result_name(result), text_or_null(failure), text_or_null(reason), ended,
         std::to_string(unit_id)},
        nullptr);
  }
  return query(
      "UPDATE units SET result = ?, failure = ?, reason = ?, ended = ?, failure_class = ?"
      " WHERE id = CAST(? AS BIGINT)",
      {unit_result_name(result), text_or_null(failure), text_or_null(reason), ended,
       text_or_null(failure_class), std::to_string(unit_id)},
      nullptr);
}

std::string unit_store::mark_abandoned(const std::string &station, int64_t *count) {
  db_rows rows;
  std::string fail =
      query(std::string("UPDATE units SET result = 'abandoned', failure = 'abandoned',") +
                (schema_ >= 3 ? " failure_class = 'station'," : "") +
                " reason = 'the station stopped before the unit ended', ended = ?"
                " WHERE station = ? AND result = 'unfinished' RETURNING id",
            {unit_time_now(), station}, &rows);
  if (fail.empty() && count != nullptr) *count = static_cast<int64_t>(rows.rows.size());
  return fail;
}

std::string unit_store::announce_station(const station_row &r) {
  return query(
      "INSERT INTO stations (name, host, pid, started, last_seen, recipe, images, slots)"
      " VALUES (?, ?, CAST(? AS BIGINT), ?, ?, ?, ?, ?) ON CONFLICT (name) DO UPDATE SET"
      " host = excluded.host, pid = excluded.pid, started = excluded.started,"
      " last_seen = excluded.last_seen, recipe = excluded.recipe, images = excluded.images,"
      " slots = excluded.slots",
      {r.name, r.host, std::to_string(r.pid), r.started, unit_time_now(), r.recipe, r.images,
       r.slots},
      nullptr);
}

void *open_client_library(const client_library &lib, std::string *why) {
  void *handle = dlopen(lib.soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    *why = std::string("the ") + lib.what + " " + lib.soname +
           " could not be loaded: " + dlerror() + "; install " + lib.package;
  }
  return handle;
}

void *client_symbol(const client_library &lib, void *handle, const char *name, std::string *why) {
  void *found = dlsym(handle, name);
  if (found == nullptr && why->empty()) {
    *why = std::string("the ") + lib.what + " " + lib.soname + " has no " + name + "; install " +
           lib.package;
  }
  return found;
}
