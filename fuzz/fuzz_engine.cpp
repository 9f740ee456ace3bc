// Fuzzes the transaction engine with no socket at all: the input is a
// script of what the network does (request bytes going out, bytes arriving
// in any split, image bytes going out, sends failing, the connection
// ending), and every step is held against rules worked out independently:
// bytes are never lost or invented, events come in order and once, and a
// pass is only ever given to an image that went out whole, unbroken, and
// whose checksum the target confirmed.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.h"

namespace {

constexpr uint32_t CRC_POLY = 0xEDB88320;  // CRC-32, reflected
constexpr size_t MAX_RECEIVE = 48;         // bytes per arrival: more than two replies

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_engine: %s\n", what);
  abort();
}

uint8_t image_byte(uint32_t i) { return static_cast<uint8_t>(i * 131 + 7); }

uint32_t bitwise_crc32_update(uint32_t crc, uint8_t b) {
  crc = ~crc ^ b;
  for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ CRC_POLY : crc >> 1;
  return ~crc;
}

struct reader {
  const uint8_t *data;
  size_t size;
  size_t at = 0;
  bool more() const { return at < size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
};

struct watcher {
  int first_replies = 0;
  int verdicts = 0;
  int failures = 0;
  int starts = 0;
  bool ended = false;  // a verdict, a failure or a start was reported

  void see(txn_event e) {
    if (e == txn_event::none) return;
    if (ended) fail("an event after the transaction ended");
    switch (e) {
      case txn_event::first_reply:
        if (++first_replies > 1) fail("two first replies");
        break;
      case txn_event::verdict:
        if (first_replies == 0) fail("a verdict before the first reply");
        ++verdicts;
        ended = true;
        break;
      case txn_event::failed:
        ++failures;
        ended = true;
        break;
      case txn_event::started:
        ++starts;
        ended = true;
        break;
      case txn_event::none:
        break;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  reader in{data, size};
  transaction t;
  const uint8_t mode = in.byte();
  const bool start = (mode & 1) != 0;
  const uint32_t flags = (mode & 2) != 0 ? FLAG_ADDRESS | FLAG_NAND : (mode & 4) ? FLAG_COMPARE : 0;
  const uint32_t length = 1 + (uint32_t{in.byte()} << 8 | in.byte()) % 4000;
  if (start) {
    txn_begin_start(&t);
  } else {
    txn_begin(&t, length, flags, 0x10000);
  }
  uint8_t expected_request[2 * WORD_SIZE];
  size_t request_size = WORD_SIZE;
  if (start) {
    encode_start(expected_request);
  } else {
    encode_header(expected_request, length, flags);
    if ((flags & FLAG_ADDRESS) != 0) {
      encode_address(expected_request + WORD_SIZE, 0x10000);
      request_size += WORD_SIZE;
    }
  }

  watcher w;
  size_t request_sent = 0;
  uint32_t crc = 0;
  bool send_failed = false;
  size_t received = 0;  // reply bytes the engine took
  uint8_t image[4096];

  while (in.more()) {
    switch (in.byte() % 5) {
      case 0: {
        const uint8_t *bytes = nullptr;
        size_t left = txn_request_bytes(&t, &bytes);
        if (left > request_size - request_sent) fail("more request bytes than the request has");
        if (left > 0 && memcmp(bytes, expected_request + request_sent, left) != 0) {
          fail("request bytes differ from the encoded header and address");
        }
        size_t n = left == 0 ? 0 : 1 + in.byte() % left;
        w.see(txn_request_sent(&t, n));
        request_sent += n;
        break;
      }
      case 1: {
        uint8_t bytes[MAX_RECEIVE];
        size_t n = in.byte() % (MAX_RECEIVE + 1);
        for (size_t i = 0; i < n; ++i) bytes[i] = in.byte();
        size_t at = 0;
        while (at < n) {
          size_t wanted = txn_reply_wanted(&t);
          size_t used = 0;
          w.see(txn_received(&t, bytes + at, n - at, &used));
          if (used == 0 || used > n - at) fail("received bytes neither taken nor refused whole");
          if (wanted != 0 && used > wanted) fail("took more than the reply it awaited");
          if (wanted != 0) received += used;
          at += used;
        }
        break;
      }
      case 2: {
        uint32_t left = txn_image_left(&t);
        if (left == 0) break;
        if (request_sent < request_size || t.state != txn_state::image) {
          fail("image bytes asked for before the request and the first reply");
        }
        uint32_t n = 1 + (uint32_t{in.byte()} << 8 | in.byte()) % left;
        if (n > sizeof image) n = sizeof image;
        for (uint32_t i = 0; i < n; ++i) image[i] = image_byte(t.sent + i);
        txn_image_sent(&t, image, n);
        for (uint32_t i = 0; i < n; ++i) crc = bitwise_crc32_update(crc, image[i]);
        break;
      }
      case 3:
        if (!w.ended) send_failed = true;
        w.see(txn_send_failed(&t, EPIPE));
        if (txn_image_left(&t) != 0) fail("the image goes on after a failed send");
        break;
      default:
        w.see(txn_closed(&t, (in.byte() & 1) != 0 ? ECONNRESET : 0));
        break;
    }
    if (t.sent > t.length) fail("more image bytes sent than announced");
    if (t.crc != crc) fail("checksum differs from the bytes handed over");
  }

  const txn_result result = txn_judge(&t);
  if (w.ended != (result != txn_result::pending)) fail("judged without an end, or the other way");
  if (received > 2 * REPLY_SIZE) fail("took more bytes than two replies");
  if (result == txn_result::passed) {
    if (send_failed) fail("passed after a failed send");
    if (start) {
      if (w.starts != 1 || request_sent != WORD_SIZE) fail("a start passed without its 4 bytes");
    } else if (w.verdicts != 1 || t.final.error != 0 || t.sent != length || t.final.crc != crc ||
               request_sent != request_size) {
      fail("passed without a whole image and a confirmed checksum");
    }
  }
  if (result == txn_result::connection_failed) {
    const char *why = txn_failure_text(&t);
    if (why == nullptr || *why == '\0') fail("a connection failure without a reason");
  }
  return 0;
}
