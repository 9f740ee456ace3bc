#include "serial_claims.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

namespace {

int64_t power_of_ten(size_t n) {
  int64_t v = 1;
  while (n-- > 0) v *= 10;
  return v;
}

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int64_t ceil_div(int64_t a, int64_t b) { return -floor_div(-a, b); }

// The pool's serials laid out, '#' for each digit of the number.
std::string layout(const serial_pool &p) {
  return p.prefix + std::string(static_cast<size_t>(p.width), '#') + p.suffix;
}

// The value of the number's digits that the other serial's letters fix,
// the digits in [from, to) (those both numbers hold) left 0; false when a
// letter that is no digit stands where this pool has one.
bool fixed_digits(const serial_pool &p, const std::string &other, size_t from, size_t to,
                  int64_t *value) {
  size_t begin = p.prefix.size();
  *value = 0;
  for (size_t i = begin; i < begin + static_cast<size_t>(p.width); ++i) {
    int digit = 0;
    if (i < from || i >= to) {
      if (isdigit(static_cast<unsigned char>(other[i])) == 0) return false;
      digit = other[i] - '0';
    }
    *value = *value * 10 + digit;
  }
  return true;
}

}  // namespace

// Two serials are equal only where each letter of one meets the same
// letter or a digit of the other's number. The digits the two numbers
// share form one run, x; every other digit of either number is fixed by
// the other's letters. Each number then grows with x alone, so the x that
// keep both in their ranges form an interval: empty, or the serials clash.
std::string shared_serial(const serial_pool &a, const serial_pool &b) {
  std::string la = layout(a);
  std::string lb = layout(b);
  if (la.size() != lb.size()) return "";
  for (size_t i = 0; i < la.size(); ++i) {
    if (la[i] != '#' && lb[i] != '#' && la[i] != lb[i]) return "";
  }
  size_t a_end = a.prefix.size() + static_cast<size_t>(a.width);
  size_t b_end = b.prefix.size() + static_cast<size_t>(b.width);
  size_t from = std::max(a.prefix.size(), b.prefix.size());
  size_t to = std::min(a_end, b_end);
  if (to < from) to = from;  // the numbers share no digit: x is 0
  int64_t base_a = 0;
  int64_t base_b = 0;
  if (!fixed_digits(a, lb, from, to, &base_a) || !fixed_digits(b, la, from, to, &base_b)) return "";
  // x stands at the same place of both serials, so its digits end as far
  // from each number's end as the shared run ends from it.
  int64_t scale_a = power_of_ten(a_end - to);
  int64_t scale_b = power_of_ten(b_end - to);
  int64_t low = 0;
  int64_t high = power_of_ten(to - from) - 1;
  low = std::max({low, ceil_div(a.first - base_a, scale_a), ceil_div(b.first - base_b, scale_b)});
  high = std::min({high, floor_div(a.last - base_a, scale_a), floor_div(b.last - base_b, scale_b)});
  if (low > high) return "";
  return format_serial(a, base_a + low * scale_a);
}

std::string claim_serials(unit_store &store, serial_pool *pool) {
  bool pg = store.postgres();
  // IMMEDIATE on SQLite, the creation lock on PostgreSQL: stations that
  // start together see each other's pools.
  std::string fail = store.query(pg ? "BEGIN" : "BEGIN IMMEDIATE", {}, nullptr);
  if (!fail.empty()) return fail;
  auto give_up = [&store](const std::string &why) {
    store.query("ROLLBACK", {}, nullptr);
    return why;
  };
  if (pg) fail = store.query("SELECT pg_advisory_xact_lock(5700017)", {}, nullptr);
  db_rows pools;
  db_rows used;
  if (fail.empty()) {
    fail = store.query("SELECT format, first_number, last_number FROM serial_pools ORDER BY format",
                       {}, &pools);
  }
  // A range given anew moves a pool's bounds; what it handed out before
  // stays taken.
  if (fail.empty()) {
    fail = store.query(
        "SELECT serial_format, MIN(serial_number), MAX(serial_number) FROM units"
        " WHERE serial_format IS NOT NULL GROUP BY serial_format",
        {}, &used);
  }
  if (!fail.empty()) return give_up(fail);
  std::map<std::string, std::pair<int64_t, int64_t>> handed_out;
  for (const db_row &r : used.rows) {
    if (r[0]) handed_out[*r[0]] = {db_int(r[1]), db_int(r[2])};
  }
  std::string same;
  for (const db_row &r : pools.rows) {
    serial_pool theirs;
    if (!r[0] || !parse_serials(*r[0], &theirs).empty()) continue;
    theirs.first = db_int(r[1]);
    theirs.last = db_int(r[2]);
    auto h = handed_out.find(theirs.format);
    if (h != handed_out.end()) {
      theirs.first = std::min(theirs.first, h->second.first);
      theirs.last = std::max(theirs.last, h->second.second);
    }
    if (theirs.prefix == pool->prefix && theirs.width == pool->width &&
        theirs.suffix == pool->suffix) {
      if (!same.empty()) {
        return give_up("the record holds " + same + " and " + theirs.format +
                       ", one format spelt two ways, whose serials clash: give a format of"
                       " another prefix or suffix");
      }
      same = theirs.format;
      continue;
    }
    std::string serial = shared_serial(*pool, theirs);
    if (!serial.empty()) {
      return give_up("the record's pool " + theirs.format + " (numbers " +
                     std::to_string(theirs.first) + " to " + std::to_string(theirs.last) +
                     ") makes serials this one makes too, such as " + serial +
                     ": give a prefix, suffix or range whose serials no other pool makes");
    }
  }
  if (!same.empty()) pool->format = same;
  std::string first = std::to_string(pool->first);
  fail = store.query(
      "INSERT INTO serial_pools (format, next_number, first_number, last_number)"
      " VALUES (?, CAST(? AS BIGINT), CAST(? AS BIGINT), CAST(? AS BIGINT))"
      " ON CONFLICT (format) DO NOTHING",
      {pool->format, first, first, std::to_string(pool->last)}, nullptr);
  if (!fail.empty()) return give_up(fail);
  return store.query("COMMIT", {}, nullptr);
}

namespace {

// The number a station's name is locked by: the first 8 bytes of the
// SHA-256 of "kesp station NAME", the same on every host and every build,
// so that stations that never met agree on it.
uint64_t station_name_key(const std::string &name) {
  uint8_t md[SHA256_DIGEST_SIZE];
  std::string text = "kesp station " + name;
  sha256_ctx ctx{};
  sha256_init(&ctx);
  sha256_update(&ctx, text.size(), reinterpret_cast<const uint8_t *>(text.data()));
  sha256_digest(&ctx, sizeof md, md);
  uint64_t key = 0;
  for (size_t i = 0; i < 8; ++i) key = key << 8 | md[i];
  return key;
}

std::string holder_key(const std::string &name) { return "station " + name; }

// Who holds the name, as the record says: for the station refused.
std::string holder(unit_store &store, const std::string &name) {
  db_rows rows;
  if (store.query("SELECT value FROM meta WHERE key = ?", {holder_key(name)}, &rows).empty() &&
      !rows.rows.empty() && rows.rows[0][0]) {
    return *rows.rows[0][0];
  }
  return "whose host and process the record does not say";
}

// Far beyond any byte SQLite locks (its own sit at 1 GiB) and any size the
// file reaches: the lock never meets the engine's.
constexpr off_t NAME_LOCKS_AT = off_t{1} << 40;

}  // namespace

std::unique_ptr<station_claim> station_claim::take(const std::string &db, const std::string &name,
                                                   std::string *why) {
  std::unique_ptr<unit_store> store = unit_store::open(db, why);
  if (store == nullptr) return nullptr;
  std::unique_ptr<station_claim> claim(new station_claim());
  uint64_t key = station_name_key(name);
  bool held = false;
  if (store->postgres()) {
    // A session lock: it lasts as long as this connection, which the
    // server ends when the process ends, however it ends.
    db_rows rows;
    std::string fail = store->query("SELECT pg_try_advisory_lock(CAST(? AS BIGINT))",
                                    {std::to_string(static_cast<int64_t>(key >> 1))}, &rows);
    if (!fail.empty()) {
      *why = fail;
      return nullptr;
    }
    held = !rows.rows.empty() && rows.rows[0][0] == "t";
  } else {
    // An open file description's lock: unlike a process's, it survives
    // SQLite closing its own descriptors of the file.
    claim->fd_ = open(db.c_str(), O_RDWR | O_CLOEXEC);
    if (claim->fd_ < 0) {
      *why = db + ": " + strerror(errno);
      return nullptr;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = NAME_LOCKS_AT + static_cast<off_t>(key % (uint64_t{1} << 40));
    lock.l_len = 1;
    held = fcntl(claim->fd_, F_OFD_SETLK, &lock) == 0;
    if (!held && errno != EAGAIN && errno != EACCES) {
      *why = "locking " + db + ": " + strerror(errno);
      return nullptr;
    }
  }
  if (!held) {
    *why = "a station named " + name + " is running on this record (" + holder(*store, name) +
           "): give this one another --station-name";
    return nullptr;
  }
  char host[256] = "";
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  std::string fail = store->query(
      "INSERT INTO meta (key, value) VALUES (?, ?)"
      " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
      {holder_key(name), std::string("host ") + host + ", process " + std::to_string(getpid()) +
                             ", since " + unit_time_now()},
      nullptr);
  if (!fail.empty()) {
    *why = fail;
    return nullptr;
  }
  if (store->postgres()) claim->store_ = std::move(store);
  return claim;
}

station_claim::~station_claim() {
  if (fd_ >= 0) close(fd_);
}
