// The record in a SQLite file, through SQLite's own library.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "store_engines.h"

namespace {

class sqlite_store : public unit_store {
 public:
  explicit sqlite_store(sqlite3 *db) : db_(db) {
    // Lookups and other stations' processes may hold the file for a
    // moment; a wait of our own rather than sqlite3_busy_timeout's, so that
    // interrupt() can end it.
    sqlite3_busy_handler(db_, busy, this);
  }
  ~sqlite_store() override { sqlite3_close(db_); }
  sqlite_store(const sqlite_store &) = delete;
  sqlite_store &operator=(const sqlite_store &) = delete;
  sqlite_store(sqlite_store &&) = delete;
  sqlite_store &operator=(sqlite_store &&) = delete;

  std::string query(const std::string &sql, const std::vector<db_value> &texts,
                    db_rows *out) override {
    if (out != nullptr) *out = db_rows{};
    std::vector<db_value> params = valid_params(texts);
    sqlite3_stmt *st = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
    if (rc != SQLITE_OK) return failed(rc);
    for (size_t i = 0; i < params.size(); ++i) {
      int at = static_cast<int>(i) + 1;
      rc = params[i] ? sqlite3_bind_text(st, at, params[i]->c_str(), -1, SQLITE_TRANSIENT)
                     : sqlite3_bind_null(st, at);
      if (rc != SQLITE_OK) {
        sqlite3_finalize(st);
        return failed(rc);
      }
    }
    int columns = sqlite3_column_count(st);
    if (out != nullptr) {
      for (int c = 0; c < columns; ++c) out->columns.emplace_back(sqlite3_column_name(st, c));
    }
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      if (out == nullptr) continue;
      db_row row;
      for (int c = 0; c < columns; ++c) {
        const unsigned char *v = sqlite3_column_text(st, c);
        if (v == nullptr) {
          row.emplace_back(std::nullopt);
        } else {
          row.emplace_back(std::string(reinterpret_cast<const char *>(v),
                                       static_cast<size_t>(sqlite3_column_bytes(st, c))));
        }
      }
      out->rows.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return failed(rc);
    lost_ = false;
    return "";
  }

  [[nodiscard]] bool lost() const override { return lost_; }
  [[nodiscard]] bool postgres() const override { return false; }
  void interrupt() override {
    interrupted_ = true;
    sqlite3_interrupt(db_);
  }

 protected:
  // IMMEDIATE takes the write lock at once, so that two processes cannot
  // both read the same next serial before either writes it.
  std::string begin(bool write) override {
    return query(write ? "BEGIN IMMEDIATE" : "BEGIN", {}, nullptr);
  }

 private:
  std::string failed(int rc) {
    // A busy or full file, or one the disk fails on, may come right: the
    // caller keeps its records and tries again.
    int primary = rc & 0xff;
    lost_ = primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_IOERR ||
            primary == SQLITE_FULL || primary == SQLITE_CANTOPEN;
    return sqlite3_errmsg(db_);
  }

  static int busy(void *self, int count) {
    auto *store = static_cast<sqlite_store *>(self);
    auto now = std::chrono::steady_clock::now();
    if (count == 0) store->busy_since_ = now;
    if (store->interrupted_ ||
        now - store->busy_since_ >= std::chrono::milliseconds(STATEMENT_LIMIT_MS)) {
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return 1;
  }

  sqlite3 *db_;
  bool lost_ = false;
  std::atomic<bool> interrupted_ = false;
  std::chrono::steady_clock::time_point busy_since_;
};

}  // namespace

std::unique_ptr<unit_store> open_sqlite(const std::string &path, std::string *why) {
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  auto store = std::make_unique<sqlite_store>(db);
  // WAL with a sync at every commit: a unit's row is on the disk before
  // its board is touched, at one fsync per unit.
  db_rows mode;
  for (const char *pragma :
       {"PRAGMA journal_mode = WAL", "PRAGMA synchronous = FULL", "PRAGMA foreign_keys = ON"}) {
    std::string fail = store->query(pragma, {}, &mode);
    if (!fail.empty()) {
      *why = fail;
      return nullptr;
    }
  }
  return store;
}

std::unique_ptr<unit_store> open_sqlite_for_reading(const std::string &path, bool immutable,
                                                    std::string *why) {
  std::string uri = "file:";
  if (path.starts_with("/")) uri += "//";
  for (char c : path) {
    if (c == '%' || c == '?' || c == '#') {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
      uri += hex;
    } else {
      uri += c;
    }
  }
  uri += immutable ? "?mode=ro&immutable=1" : "?mode=ro";
  sqlite3 *db = nullptr;
  int rc = sqlite3_open_v2(uri.c_str(), &db,
                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *why = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 1000);
  return std::make_unique<sqlite_store>(db);
}
