// The unit record: one row per unit a station starts, with its serial
// number and its steps, in a SQLite file or a PostgreSQL database shared by
// the stations of a plant. A thin layer over each engine's own C library,
// so that the same few statements run on both and nothing else is between
// the station and the engine's guarantees.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "serial_format.h"

// The newest schema this build writes; schema_version in table meta.
inline constexpr int UNIT_SCHEMA_VERSION = 4;

// The current time as the report writes it.
std::string unit_time_now();

enum class unit_result { unfinished, passed, failed, abandoned };
const char *unit_result_name(unit_result r);

struct unit_start {
  std::string station;
  std::string slot;
  int64_t unit_number = 0;  // station-wide, from 1
};

struct begun_unit {
  int64_t id = 0;
  std::string serial;  // "" without serial numbers
  int64_t serial_number = 0;
  int64_t serials_left = 0;  // numbers still free after this one
  bool serials_low = false;  // within serial_warning_margin of the end
  // Set even when the unit was refused: the pool's next serial is another
  // unit's already, so no unit of this pool can start.
  bool serials_clash = false;
};

// One step of a unit, as kesp-batch's JSON report holds it: absent values
// are the report's nulls, texts in the report's formats (hex words as
// "0x0001a2b3", times as ISO 8601 UTC with milliseconds).
struct step_record {
  int64_t unit_id = 0;
  int step = 0;  // from 1
  int steps = 0;
  std::string board;
  std::optional<std::string> address, mode, device, flags, flash_address, image;
  std::optional<int64_t> size;
  std::optional<std::string> sha256;
  std::string result;
  std::optional<std::string> failure, reason, flash_id;
  std::optional<int64_t> error;
  std::optional<std::string> error_text, crc, target_crc;
  std::optional<int64_t> sent;
  int64_t attempts = 0;
  std::optional<std::string> started;
  std::optional<double> seconds;
  // Schema version 3 on: board, part, link, operator or station for a
  // failed step; the step's per-unit data as kept_text writes it (--keep).
  std::optional<std::string> failure_class, kept;
};

// Per-unit data as steps.kept holds it: as written when it is UTF-8 text
// (lines, tabs), else "hex:" and its bytes in lower-case hexadecimal.
std::string kept_text(const std::string &bytes);

// A station's own row: who runs it and what its slots do now. images and
// slots are JSON: [{"name","sha256"}] and [{"label","state","unit","since"}].
struct station_row {
  std::string name, host;
  int64_t pid = 0;
  std::string started, recipe, images, slots;
};

using db_value = std::optional<std::string>;
// A value as a lookup shows it: NULL as "-", or as nothing.
inline std::string shown(const db_value &v) { return v ? *v : "-"; }
inline std::string text_of(const db_value &v) { return v ? *v : ""; }
using db_row = std::vector<db_value>;

struct db_rows {
  std::vector<std::string> columns;
  std::vector<db_row> rows;
};

class unit_store {
 public:
  // db is a SQLite file's path, or a postgresql:// (postgres://) URL.
  // Creates the schema or migrates an older one up to version (the newest
  // unless a test asks for an older one); refuses a newer one. nullptr and
  // why when the store cannot be used.
  static std::unique_ptr<unit_store> open(const std::string &db, std::string *why,
                                          int version = UNIT_SCHEMA_VERSION);
  // For lookups: never writes, never migrates and never waits long behind
  // a writer (a read-only SQLite connection, a read-only session on
  // PostgreSQL). *schema is the record's version, which may be older than
  // this build's; a newer one is refused as open refuses it.
  static std::unique_ptr<unit_store> open_for_reading(const std::string &db, std::string *why,
                                                      int *schema);
  virtual ~unit_store() = default;
  unit_store(const unit_store &) = delete;
  unit_store &operator=(const unit_store &) = delete;
  unit_store(unit_store &&) = delete;
  unit_store &operator=(unit_store &&) = delete;

  // Allocates the pool's next serial (none when pool is nullptr) and
  // inserts the unit as unfinished, in one transaction, committed durably
  // before it returns. "" or why not.
  std::string begin_unit(const unit_start &u, const serial_pool *pool, begun_unit *out);
  // Inserts or replaces the step (unit_id, step): writing it twice is harmless.
  std::string record_step(const step_record &s);
  // ended is when the unit ended, which may be well before the record is
  // written (after an outage, say).
  // failure_class ("" for none) goes into a record of schema version 3
  // on; an older one a test made is written without it.
  std::string end_unit(int64_t unit_id, unit_result result, const std::string &failure,
                       const std::string &reason, const std::string &ended = unit_time_now(),
                       const std::string &failure_class = "");
  // A station that starts marks what it left unfinished before as
  // abandoned, its failure the station's.
  std::string mark_abandoned(const std::string &station, int64_t *count);
  // Writes the station's row, its last_seen now.
  std::string announce_station(const station_row &r);

  // Any statement, "?" for each parameter; for kesp-units and tests. Every
  // text parameter goes in as valid_utf8 makes it, so that both engines
  // store the same text and neither refuses it for its bytes.
  virtual std::string query(const std::string &sql, const std::vector<db_value> &params,
                            db_rows *out) = 0;
  // After a failure: whether the connection itself is gone, so that a
  // caller reconnects rather than blaming the statement.
  [[nodiscard]] virtual bool lost() const = 0;
  [[nodiscard]] virtual bool postgres() const = 0;
  // From another thread, while a statement may be running: ends it soon,
  // with an error, whatever the database does (the connection is cut
  // under it, or SQLite's wait for a lock given up). The store is of no
  // further use.
  virtual void interrupt() = 0;

 protected:
  unit_store() = default;
  virtual std::string begin(bool write) = 0;
  std::string migrate(int version);
  // The schema version written to: the record's, once migrated.
  int schema_ = UNIT_SCHEMA_VERSION;
};

// Whether db names a PostgreSQL database rather than a SQLite file.
bool is_postgres_url(const std::string &db);
// db as messages name it: a SQLite file's path, or a URL's user, host,
// port and database without its other parameters, which may be private.
std::string record_name(const std::string &db);
// For libpq's message of a failed log-in, the line that tells where the
// password comes from; "" for any other message.
std::string postgres_password_hint(const std::string &message);
// A number the database gave as text; 0 for NULL or anything else.
int64_t db_int(const db_value &v);
