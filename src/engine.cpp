#include "engine.h"

#include <cstring>

#include "crc32.h"

void txn_begin(transaction *t, uint32_t length, uint32_t flags, uint32_t address) {
  *t = transaction{};
  t->state = txn_state::request;
  t->length = length;
  t->flags = flags;
  t->address = address;
  encode_header(t->out, length, flags);
  t->out_size = WORD_SIZE;
  if ((flags & FLAG_ADDRESS) != 0) {
    encode_address(t->out + WORD_SIZE, address);
    t->out_size += WORD_SIZE;
  }
}

void txn_begin_start(transaction *t) {
  *t = transaction{};
  t->state = txn_state::start;
  t->start = true;
  encode_start(t->out);
  t->out_size = WORD_SIZE;
}

namespace {

// Nothing more is sent once a send failed: the verdict is all that is left.
void enter_image(transaction *t) {
  bool more = t->sent < t->length && t->send_errno == 0;
  t->state = more ? txn_state::image : txn_state::final_reply;
}

// The image phase ends early when the target stops taking it (a send
// failed) or gives its verdict before the last byte.
void stop_streaming(transaction *t) {
  if (t->state == txn_state::image) t->state = txn_state::final_reply;
}

}  // namespace

size_t txn_request_bytes(const transaction *t, const uint8_t **bytes) {
  if (t->state != txn_state::request && t->state != txn_state::start) return 0;
  *bytes = t->out + t->out_done;
  return static_cast<size_t>(t->out_size - t->out_done);
}

txn_event txn_request_sent(transaction *t, size_t n) {
  if (t->state != txn_state::request && t->state != txn_state::start) return txn_event::none;
  auto left = static_cast<size_t>(t->out_size - t->out_done);
  t->out_done = static_cast<uint8_t>(t->out_done + (n < left ? n : left));
  if (t->out_done < t->out_size) return txn_event::none;
  if (t->state == txn_state::start) {
    t->state = txn_state::done;
    return txn_event::started;
  }
  // A target may answer before the whole request went out; its reply
  // was gathered meanwhile.
  if (t->have_first) {
    enter_image(t);
  } else {
    t->state = txn_state::first_reply;
  }
  return txn_event::none;
}

uint32_t txn_image_left(const transaction *t) {
  return t->state == txn_state::image ? t->length - t->sent : 0;
}

void txn_image_sent(transaction *t, const uint8_t *bytes, size_t n) {
  uint32_t left = txn_image_left(t);
  if (n > left) n = left;
  t->crc = crc32_update(t->crc, bytes, n);
  t->sent += static_cast<uint32_t>(n);
  if (t->state == txn_state::image && t->sent == t->length) t->state = txn_state::final_reply;
}

size_t txn_reply_wanted(const transaction *t) {
  switch (t->state) {
    case txn_state::request:
    case txn_state::first_reply:
    case txn_state::image:
    case txn_state::final_reply:
      return REPLY_SIZE - t->in_size;
    default:
      return 0;
  }
}

txn_event txn_received(transaction *t, const uint8_t *bytes, size_t n, size_t *used) {
  size_t want = txn_reply_wanted(t);
  if (want == 0) {
    // Nothing is awaited: what a target says after its verdict, or on a
    // start request, means nothing to the transaction.
    *used = n;
    return txn_event::none;
  }
  size_t take = n < want ? n : want;
  memcpy(t->in + t->in_size, bytes, take);
  t->in_size = static_cast<uint8_t>(t->in_size + take);
  *used = take;
  if (t->in_size < REPLY_SIZE) return txn_event::none;

  t->in_size = 0;
  if (!t->have_first) {
    t->first = decode_reply(t->in);
    t->have_first = true;
    if (t->state == txn_state::first_reply) enter_image(t);
    return txn_event::first_reply;
  }
  t->final = decode_reply(t->in);
  t->early = t->state == txn_state::request || t->sent < t->length;
  t->state = txn_state::done;
  return txn_event::verdict;
}

txn_event txn_send_failed(transaction *t, int err) {
  // Once judged, a transaction stays judged.
  if (txn_finished(t)) return txn_event::none;
  if (t->send_errno == 0) t->send_errno = err;
  // No reply follows a start request to say anything more.
  if (t->state == txn_state::start) {
    t->state = txn_state::failed;
    return txn_event::failed;
  }
  if (t->state == txn_state::request) {
    // The replies may still come, and say why.
    if (t->have_first) {
      t->state = txn_state::final_reply;
    } else {
      t->state = txn_state::first_reply;
    }
  }
  stop_streaming(t);
  return txn_event::none;
}

txn_event txn_closed(transaction *t, int err) {
  if (txn_finished(t)) return txn_event::none;
  t->recv_errno = err;
  t->state = txn_state::failed;
  return txn_event::failed;
}

bool txn_finished(const transaction *t) {
  return t->state == txn_state::done || t->state == txn_state::failed;
}

bool txn_has_verdict(const transaction *t) { return t->state == txn_state::done && !t->start; }

txn_result txn_judge(const transaction *t) {
  if (t->state == txn_state::failed) return txn_result::connection_failed;
  if (t->state != txn_state::done) return txn_result::pending;
  if (t->start) return txn_result::passed;
  if (t->final.error != ERR_NONE) return txn_result::target_error;
  // An error-0 verdict is only worth something for an image the target
  // had whole: after a failed send or before the last byte it cannot be.
  if (t->send_errno != 0 || t->early) return txn_result::connection_failed;
  if (t->final.crc != t->crc) return txn_result::crc_mismatch;
  return txn_result::passed;
}

const char *txn_failure_text(const transaction *t) {
  if (t->send_errno != 0) return strerror(t->send_errno);
  if (t->recv_errno != 0) return strerror(t->recv_errno);
  if (t->early) return "target replied before the whole image";
  return "closed by target";
}
