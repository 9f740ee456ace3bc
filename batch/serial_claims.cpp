#include "serial_claims.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

// SHA-256 (FIPS 180-4) of a short text, for the name's lock alone: the
// record links no cryptographic library, so that kesp-units carries none.
std::array<uint8_t, 32> sha256_of(const std::string &text) {
  static constexpr uint32_t K[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  // The message padded: a 1 bit, zeros, and its length in bits, to a
  // whole number of 64-byte blocks.
  std::string m = text;
  m += static_cast<char>(0x80);
  while (m.size() % 64 != 56) m += '\0';
  uint64_t bits = static_cast<uint64_t>(text.size()) * 8;
  for (int i = 7; i >= 0; --i) m += static_cast<char>((bits >> (8 * i)) & 0xff);
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[64];
    for (size_t i = 0; i < 16; ++i) {
      w[i] = 0;
      for (size_t b = 0; b < 4; ++b) w[i] = w[i] << 8 | static_cast<uint8_t>(m[block + 4 * i + b]);
    }
    for (size_t i = 16; i < 64; ++i) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t v[8];
    std::copy(h, h + 8, v);
    for (size_t i = 0; i < 64; ++i) {
      uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
      uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
      uint32_t t1 = v[7] + s1 + ch + K[i] + w[i];
      uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
      uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      uint32_t t2 = s0 + maj;
      std::copy_backward(v, v + 7, v + 8);
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (size_t i = 0; i < 8; ++i) h[i] += v[i];
  }
  std::array<uint8_t, 32> md{};
  for (size_t i = 0; i < 32; ++i) md[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  return md;
}

}  // namespace

uint64_t station_name_key(const std::string &name) {
  std::array<uint8_t, 32> md = sha256_of("kesp station " + name);
  uint64_t key = 0;
  for (size_t i = 0; i < 8; ++i) key = key << 8 | md[i];
  return key;
}

namespace {

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
