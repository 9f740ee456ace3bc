// The record in a SQLite file, through SQLite's own library, which is
// loaded when the first file is named rather than linked: a line without a
// record then never pays for loading it at its start.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "store_engines.h"

namespace {

// Every SQLite function the engine calls, each with the type sqlite3.h
// gives it, so that a call cannot go out with the wrong arguments.
// clang-format off
#define KESP_SQLITE_FUNCTIONS(F) \
  F(sqlite3_open_v2) F(sqlite3_close) F(sqlite3_errmsg) F(sqlite3_busy_handler) \
  F(sqlite3_busy_timeout) F(sqlite3_interrupt) \
  F(sqlite3_prepare_v2) F(sqlite3_bind_text) F(sqlite3_bind_null) F(sqlite3_step) \
  F(sqlite3_finalize) F(sqlite3_column_count) F(sqlite3_column_name) F(sqlite3_column_text) \
  F(sqlite3_column_bytes)
// clang-format on

struct sqlite_calls {
// A declaration, where a macro argument cannot go in parentheses.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define KESP_SQLITE_POINTER(name) decltype(&::name) name = nullptr;
  KESP_SQLITE_FUNCTIONS(KESP_SQLITE_POINTER)
#undef KESP_SQLITE_POINTER
  void *library = nullptr;  // never closed: a store may live until the process ends
  std::string why;          // "" once every function is found
};

// The soname for this ABI: the one the package ships.
constexpr client_library LIBSQLITE{"SQLite library", "libsqlite3.so.0", "libsqlite3-0"};

sqlite_calls load_sqlite() {
  sqlite_calls calls;
  calls.library = open_client_library(LIBSQLITE, &calls.why);
  if (calls.library == nullptr) return calls;
#define KESP_SQLITE_FIND(name)                         \
  calls.name = reinterpret_cast<decltype(calls.name)>( \
      client_symbol(LIBSQLITE, calls.library, #name, &calls.why));
  KESP_SQLITE_FUNCTIONS(KESP_SQLITE_FIND)
#undef KESP_SQLITE_FIND
  return calls;
}

// Loaded once for the process, by whichever thread asks first.
const sqlite_calls &lite() {
  static const sqlite_calls calls = load_sqlite();
  return calls;
}

class sqlite_store : public unit_store {
 public:
  explicit sqlite_store(sqlite3 *db) : db_(db) {
    // Lookups and other stations' processes may hold the file for a
    // moment; a wait of our own rather than sqlite3_busy_timeout's, so that
    // interrupt() can end it.
    lite().sqlite3_busy_handler(db_, busy, this);
  }
  ~sqlite_store() override { lite().sqlite3_close(db_); }
  sqlite_store(const sqlite_store &) = delete;
  sqlite_store &operator=(const sqlite_store &) = delete;
  sqlite_store(sqlite_store &&) = delete;
  sqlite_store &operator=(sqlite_store &&) = delete;

  std::string query(const std::string &sql, const std::vector<db_value> &texts,
                    db_rows *out) override {
    if (out != nullptr) *out = db_rows{};
    std::vector<db_value> params = valid_params(texts);
    sqlite3_stmt *st = nullptr;
    int rc = lite().sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
    if (rc != SQLITE_OK) return failed(rc);
    for (size_t i = 0; i < params.size(); ++i) {
      int at = static_cast<int>(i) + 1;
      rc = params[i] ? lite().sqlite3_bind_text(st, at, params[i]->c_str(), -1, SQLITE_TRANSIENT)
                     : lite().sqlite3_bind_null(st, at);
      if (rc != SQLITE_OK) {
        lite().sqlite3_finalize(st);
        return failed(rc);
      }
    }
    int columns = lite().sqlite3_column_count(st);
    if (out != nullptr) {
      for (int c = 0; c < columns; ++c)
        out->columns.emplace_back(lite().sqlite3_column_name(st, c));
    }
    while ((rc = lite().sqlite3_step(st)) == SQLITE_ROW) {
      if (out == nullptr) continue;
      db_row row;
      for (int c = 0; c < columns; ++c) {
        const unsigned char *v = lite().sqlite3_column_text(st, c);
        if (v == nullptr) {
          row.emplace_back(std::nullopt);
        } else {
          row.emplace_back(std::string(reinterpret_cast<const char *>(v),
                                       static_cast<size_t>(lite().sqlite3_column_bytes(st, c))));
        }
      }
      out->rows.push_back(std::move(row));
    }
    lite().sqlite3_finalize(st);
    if (rc != SQLITE_DONE) return failed(rc);
    lost_ = false;
    return "";
  }

  [[nodiscard]] bool lost() const override { return lost_; }
  [[nodiscard]] bool postgres() const override { return false; }
  void interrupt() override {
    interrupted_ = true;
    lite().sqlite3_interrupt(db_);
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
    return lite().sqlite3_errmsg(db_);
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
  if (!lite().why.empty()) {
    *why = lite().why;
    return nullptr;
  }
  sqlite3 *db = nullptr;
  int rc = lite().sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *why = db != nullptr ? lite().sqlite3_errmsg(db) : "out of memory";
    lite().sqlite3_close(db);
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
  if (!lite().why.empty()) {
    *why = lite().why;
    return nullptr;
  }
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
  int rc = lite().sqlite3_open_v2(
      uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    *why = db != nullptr ? lite().sqlite3_errmsg(db) : "out of memory";
    lite().sqlite3_close(db);
    return nullptr;
  }
  lite().sqlite3_busy_timeout(db, 1000);
  return std::make_unique<sqlite_store>(db);
}
