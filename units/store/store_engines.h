// What the record's front (unit_store.cpp) and its two engines share: the
// engines' openers and the limits both keep to. Private to the record.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "unit_store.h"

// The longest any statement may run, and wait for a lock, before it is
// given up: a table locked by someone else or a server that hangs never
// holds a station for longer. Written in man/kesp-batch.1.
constexpr int STATEMENT_LIMIT_MS = 10000;
constexpr int LOCK_LIMIT_MS = 5000;

// The parameters as valid_utf8 makes them: the same text on both engines.
std::vector<db_value> valid_params(const std::vector<db_value> &params);

// A SQLite file opened for writing, in WAL with a sync at every commit.
std::unique_ptr<unit_store> open_sqlite(const std::string &path, std::string *why);
// Lookups read while stations write: WAL readers never wait for a writer,
// and the short busy wait covers the moment a WAL file is being recovered.
// immutable reads a file that no connection can have open for writing.
std::unique_ptr<unit_store> open_sqlite_for_reading(const std::string &path, bool immutable,
                                                    std::string *why);
// An engine's client library, loaded only when a record of its kind is
// named: what the messages call it, its soname for this ABI, and the
// Debian package that ships it.
struct client_library {
  const char *what, *soname, *package;
};
// The library opened for good (a store may live until the process ends);
// null, with why, without it.
void *open_client_library(const client_library &lib, std::string *why);
// Its function of that name; null, and why said once, without.
void *client_symbol(const client_library &lib, void *handle, const char *name, std::string *why);

// The URL's user, host, port and database, as record_name shows them.
std::string postgres_name(const std::string &url);

// A session on the database the URL names, with the limits above set.
std::unique_ptr<unit_store> connect_postgres(const std::string &url, std::string *why);
