// One loader transaction as a state machine that does no I/O of its own.
// The caller moves bytes between it and a socket however suits it: kesp
// with blocking calls, kesp-batch from one poll loop over many boards, the
// tests and fuzzers by feeding it bytes. It never prints, exits, blocks or
// allocates, so one record per board is all the state there is.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire.h"

enum class txn_state : uint8_t {
  request,      // header (and address) words still to send
  first_reply,  // waiting for the target's first reply
  image,        // image bytes still to send
  final_reply,  // waiting for the target's verdict
  start,        // the start request still to send
  done,         // verdict in, or the start request sent
  failed,       // the connection ended before a verdict
};

// What a call has to report to the caller.
enum class txn_event : uint8_t {
  none,
  first_reply,  // first holds the first reply: the flash id
  verdict,      // final holds the target's verdict
  started,      // the start request went out whole
  failed,       // the connection ended first: txn_failure_text says why
};

// How a finished transaction is to be judged.
enum class txn_result : uint8_t {
  pending,            // not finished
  passed,             // start sent, or error 0, the whole image sent, CRCs agree
  crc_mismatch,       // error 0 and the whole image sent, but the CRCs differ
  target_error,       // the target's verdict carries an error code
  connection_failed,  // no verdict, or an error-0 verdict on an image that never went out whole
};

struct transaction {
  txn_state state = txn_state::done;
  uint32_t length = 0;              // image bytes announced in the header
  uint32_t flags = 0;               // FLAG_* bits
  uint32_t address = 0;             // sent when flags has FLAG_ADDRESS
  uint8_t out[2 * WORD_SIZE] = {};  // request words, sent together so Nagle cannot split them
  uint8_t out_size = 0;
  uint8_t out_done = 0;
  uint8_t in[REPLY_SIZE] = {};  // the reply being gathered
  uint8_t in_size = 0;
  uint32_t sent = 0;        // image bytes handed over as sent
  uint32_t crc = 0;         // CRC-32 of the image bytes sent so far
  int send_errno = 0;       // why a send failed; 0 if none did
  int recv_errno = 0;       // why the connection ended; 0 for a close by the target
  bool start = false;       // a start request, not a download
  bool have_first = false;  // the first reply is in
  bool early = false;       // the verdict came before the whole image went out
  flash_reply first{};
  flash_reply final{};
};

// A download (or, with FLAG_COMPARE, a compare) of an image of length
// bytes, 1 to LENGTH_LIMIT - 1.
void txn_begin(transaction *t, uint32_t length, uint32_t flags, uint32_t address);
// The start request: four zero bytes and nothing after them.
void txn_begin_start(transaction *t);

// The request bytes still to send (request and start states); 0 otherwise.
size_t txn_request_bytes(const transaction *t, const uint8_t **bytes);
// n of them went out. Reports started when the start request is whole.
txn_event txn_request_sent(transaction *t, size_t n);

// Image bytes still to send; 0 outside the image state.
uint32_t txn_image_left(const transaction *t);
// n image bytes (at most txn_image_left) went out: they are folded into
// the CRC. After the last one the verdict is awaited.
void txn_image_sent(transaction *t, const uint8_t *bytes, size_t n);

// Reply bytes that would complete the reply awaited now, so that a
// blocking caller never reads past it; 0 when none is awaited. The verdict
// is awaited while the image streams too, since a target may give up early.
size_t txn_reply_wanted(const transaction *t);
// Takes received bytes. *used tells how many were taken: a caller that
// reads more than txn_reply_wanted feeds the rest in the next call.
txn_event txn_received(transaction *t, const uint8_t *bytes, size_t n, size_t *used);

// A send failed with err. The transaction goes on to the verdict, which a
// target that closed or reset may still have sent, but can no longer pass.
// A start request has no verdict to wait for: it reports failed at once.
// After the end, it changes nothing.
txn_event txn_send_failed(transaction *t, int err);
// The connection ended: err 0 for a close by the target, else the error.
// Reports failed unless the verdict (or the start request) was complete.
txn_event txn_closed(transaction *t, int err);

// The transaction is over: done, failed, or the start request sent.
bool txn_finished(const transaction *t);
// The target's verdict is in t->final: a download or compare that got its
// final reply (a start request gets none).
bool txn_has_verdict(const transaction *t);

txn_result txn_judge(const transaction *t);
// Why the connection failed: a failed send is the root cause, so its text
// wins; then the receive's error; then "closed by target".
const char *txn_failure_text(const transaction *t);
