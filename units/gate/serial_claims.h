// What a station claims in a shared unit record before it touches a
// board: the serial numbers its format makes, which no other pool may make
// too, and its name, which one live station holds at a time. Both are
// checked where the record is, so that stations started on different
// hosts cannot get past each other.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "unit_store.h"

// A serial that both pools can make, "" when they cannot make one alike.
// Pools of one format however spelt (KX{:06} and KX{:006}) share all their
// serials; so may formats that differ (A1{:02},23-23 and A{:03},123-125
// both make A123).
std::string shared_serial(const serial_pool &a, const serial_pool &b);

// Enters the pool in the record, or finds it there: a pool whose format is
// spelt differently but is the same (prefix, width and suffix) is the one
// the record knows, and its numbers go on from there, so *pool takes that
// spelling as its name. A pool of the record that could make one of this
// pool's serials, or two spellings of this one, refuse it: "" or why.
std::string claim_serials(unit_store &store, serial_pool *pool);

// A station's hold on its name: while one lives, a second station of the
// name on the same record is refused, and cannot mark the first's units at
// work as abandoned. The hold ends with the process, however it ends.
class station_claim {
 public:
  // Takes the name on db, recording who holds it. nullptr and why when a
  // live station holds it, or the record cannot be reached.
  static std::unique_ptr<station_claim> take(const std::string &db, const std::string &name,
                                             std::string *why);
  ~station_claim();
  station_claim(const station_claim &) = delete;
  station_claim &operator=(const station_claim &) = delete;
  station_claim(station_claim &&) = delete;
  station_claim &operator=(station_claim &&) = delete;

 private:
  station_claim() = default;
  std::unique_ptr<unit_store> store_;  // PostgreSQL: its session holds an advisory lock
  int fd_ = -1;                        // SQLite: an open file description holds a byte's lock
};
