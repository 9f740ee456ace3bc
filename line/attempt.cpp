#include "attempt.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "owner.h"
#include "reach.h"
#include "text.h"
#include "transcript.h"
#include "wire.h"

namespace {

// Image bytes read from the snapshot at once and offered to the socket at
// once, per board at work: large enough that a system call moves a lot,
// small enough that 256 boards at once stay within tens of MiB. A board's
// piece is no larger than its image needs.
constexpr size_t PIECE_SIZE = size_t{128} * 1024;
// Sends in a row for one board before the loop looks at the others, so
// that a fast board cannot starve the rest.
constexpr int SENDS_PER_TURN = 8;
constexpr size_t RECEIVE_SIZE = 256;  // reply bytes taken per receive; replies are 18
constexpr int RETRY_PAUSE_MS = 1000;  // before a new attempt after a connection failed
// A board that has sent every byte of its image copied so far looks again
// this often; copying runs far ahead of any link, so it waits only at the
// very start.
constexpr int COPY_WAIT_MS = 1;

// open_memstream, its stream marked as owned for the checks.
gsl::owner<FILE *> memory_stream(gsl::owner<char *> *text, size_t *size) {
  return static_cast<gsl::owner<FILE *>>(open_memstream(text, size));
}

// Whatever a function writes to a stream, as a string: kesp's line
// writers take a FILE *.
template <typename F>
std::string captured(F write) {
  gsl::owner<char *> text = nullptr;
  size_t size = 0;
  gsl::owner<FILE *> out = memory_stream(&text, &size);
  if (out == nullptr) return {};
  write(out);
  fclose(out);
  std::string result(text, size);
  free(text);  // NOLINT(cppcoreguidelines-no-malloc): open_memstream's buffer is malloc's
  return result;
}

// Why a connection that ended before the verdict failed, told by where it
// stopped, for a close or reset by the target: mid-image, or after the
// whole image with the verdict cut short. kesp's line says "closed by
// target" for both; *own tells that this says more, and goes into the log
// after it. Other causes (a board that vanished) keep kesp's words.
std::string connection_reason(const transaction &t, bool *own) {
  int err = t.send_errno != 0 ? t.send_errno : t.recv_errno;
  *own = t.state == txn_state::failed && !t.start && t.have_first &&
         (err == 0 || err == ECONNRESET || err == EPIPE);
  if (!*own) return std::string("connection failed: ") + txn_failure_text(&t);
  const char *ended = err == 0 ? "closed" : "reset";
  if (t.sent < t.length) {
    return cat({"target ", ended, " the connection after ", std::to_string(t.sent), " of ",
                std::to_string(t.length), " image bytes"});
  }
  if (t.in_size > 0) {
    return cat({"the whole image was sent; the verdict was cut short after ",
                std::to_string(t.in_size), " of ", std::to_string(REPLY_SIZE), " bytes"});
  }
  return cat(
      {"the whole image was sent; the target ", ended, " the connection before its verdict"});
}

}  // namespace

board_worker::board_worker(const plan &p, size_t board, line_state *state,
                           const line_observer &observer)
    : p_(p), board_(board), state_(state), observer_(&observer) {}

bool board_worker::never_started() const { return at_ == phase::waiting; }

bool board_worker::at_work() const { return started_; }

void board_worker::close_socket() {
  if (sock_ >= 0) close(sock_);
  sock_ = -1;
}

void board_worker::begin(int64_t now) {
  started_ = true;
  state_->progress[board_].active = true;
  start_attempt(now);
}

// The bookkeeping of a new attempt at the step at work, before its
// connection is made.
void board_worker::prepare_attempt(int64_t now) {
  const step &s = p_.steps[step_];
  step_outcome &o = outcome();
  board_progress &pr = state_->progress[board_];
  if (o.attempts == 0) {
    o.started_ms = wall_clock_ms();
    step_began_ = now;
    note_image(step_, &o);
  }
  ++o.attempts;
  pr.step = step_;
  pr.sent = 0;
  pr.size = s.mode == step_mode::start ? 0 : o.size;
  pr.step_ms = now;
  pr.retrying = false;
  piece_size_ = 0;
  piece_sent_ = 0;
  awaiting_copy_ = false;
  watch_ = peer_watch{};
  step_deadline_ = p_.opt.step_timeout_ms > 0 ? now + p_.opt.step_timeout_ms : 0;
}

void board_worker::start_attempt(int64_t now) {
  const board &bd = p_.boards[board_];
  prepare_attempt(now);
  if (!bd.resolved) {
    fail_attempt(failure_kind::unresolved, "get host by name: " + bd.resolve_error, logged::yes,
                 false, now);
    return;
  }
  std::string why;
  sock_ = open_board_socket(bd, &why);
  if (sock_ < 0) {
    fail_attempt(failure_kind::local, why, logged::yes, false, now);
    return;
  }
  enable_dead_peer_detection(sock_);
  if (start_connect(sock_, bd) == 0) {
    connected(now);
    return;
  }
  if (errno != EINPROGRESS) {
    connect_failed(errno, now);
    return;
  }
  at_ = phase::connecting;
  connect_deadline_ = now + p_.opt.connect_timeout_ms;
}

void board_worker::begin_connected(int sock, int64_t now) {
  started_ = true;
  state_->progress[board_].active = true;
  prepare_attempt(now);
  sock_ = sock;
  enable_dead_peer_detection(sock_);
  connected(now);
}

void board_worker::rearm() {
  close_socket();
  at_ = phase::waiting;
  started_ = false;
  step_ = 0;
  txn_ = transaction{};
  state_->progress[board_] = board_progress{};
  state_->outcomes[board_].assign(p_.steps.size(), step_outcome{});
}

void board_worker::connected(int64_t now) {
  const step &s = p_.steps[step_];
  at_ = phase::talking;
  last_io_ = now;
  last_look_ = now;
  if (s.mode == step_mode::start) {
    txn_begin_start(&txn_);
  } else {
    step_outcome &o = outcome();
    txn_begin(&txn_, o.size, s.flags, s.address);
    o.kesp_lines += captured([&](FILE *out) { print_request_lines(out, s.address, s.flags); });
  }
}

void board_worker::connect_failed(int err, int64_t now) {
  fail_attempt(failure_kind::connect, std::string("connect: ") + strerror(err), logged::yes, true,
               now);
}

short board_worker::events() const {
  if (at_ == phase::connecting) return POLLOUT;
  if (at_ != phase::talking) return 0;
  const uint8_t *bytes = nullptr;
  short events = 0;
  if (txn_request_bytes(&txn_, &bytes) > 0 || (txn_image_left(&txn_) > 0 && !awaiting_copy_)) {
    events |= POLLOUT;
  }
  if (txn_reply_wanted(&txn_) > 0) events |= POLLIN;
  return events;
}

void board_worker::on_ready(short revents, int64_t now) {
  if (at_ == phase::connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(sock_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
      connect_failed(err, now);
      return;
    }
    connected(now);
    return;
  }
  if (at_ != phase::talking) return;
  // Whatever the target said is taken before more is sent: its verdict
  // may end the image early.
  if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) receive_some(now);
  if (at_ == phase::talking && (revents & (POLLOUT | POLLERR)) != 0) send_some(now);
  if (at_ == phase::talking && txn_finished(&txn_)) end_attempt(now);
}

// Refills the board's piece from its image's snapshot when it has all
// gone out: the bytes after those already sent, whatever became of the
// file. False when the attempt failed.
bool board_worker::refill(int64_t now) {
  if (piece_sent_ < piece_size_) return true;
  size_t want = std::min<size_t>(txn_image_left(&txn_), PIECE_SIZE);
  const snapshot &image = image_of(step_);
  // Only bytes already in the copy go out: a large image is still being
  // copied while the first boards send.
  std::string copy_failed;
  size_t ready = image.ready(&copy_failed);
  awaiting_copy_ = ready <= txn_.sent && copy_failed.empty();
  if (awaiting_copy_) return false;
  if (ready > txn_.sent) want = std::min<size_t>(want, ready - txn_.sent);
  if (piece_room_ < want) {
    // Not cleared: every byte sent is read into it first.
    piece_ = std::make_unique_for_overwrite<uint8_t[]>(want);
    piece_room_ = want;
  }
  ssize_t n = ready > txn_.sent ? pread(image.fd(), piece_.get(), want, txn_.sent) : 0;
  if (n > 0) {
    piece_size_ = static_cast<size_t>(n);
    piece_sent_ = 0;
    return true;
  }
  if (n < 0 && errno == EINTR) return false;
  std::string why = n < 0                  ? std::string(strerror(errno))
                    : !copy_failed.empty() ? copy_failed
                                           : "file ended after " + std::to_string(txn_.sent) +
                                                 " of " + std::to_string(txn_.length) + " bytes";
  // The target waits for bytes we do not have: closing the connection
  // ends its wait. kesp's log ends with its last bar, a line end and why.
  const transaction &t = txn_;
  outcome().kesp_lines += captured([&](FILE *out) {
    print_bar(out, t.length, t.sent);
    fputs("\n", out);
  });
  fail_attempt(failure_kind::local, "read file: " + why, logged::yes, false, now);
  return false;
}

// Sends what the transaction has to send next: the request words, or
// image bytes from the board's piece. False when nothing more can go now.
bool board_worker::send_once(int64_t now) {
  const uint8_t *bytes = nullptr;
  size_t request = txn_request_bytes(&txn_, &bytes);
  if (request == 0) {
    if (txn_image_left(&txn_) == 0 || !refill(now)) return false;
    bytes = piece_.get() + piece_sent_;
  }
  size_t count = request > 0 ? request : piece_size_ - piece_sent_;
  ssize_t n = send(sock_, bytes, count, MSG_NOSIGNAL);
  if (n < 0) {
    if (errno == EINTR) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK) txn_send_failed(&txn_, errno);
    return false;
  }
  auto done = static_cast<size_t>(n);
  last_io_ = now;
  watch_ = peer_watch{};
  if (request > 0) return txn_request_sent(&txn_, done) != txn_event::started;
  txn_image_sent(&txn_, bytes, done);
  piece_sent_ += done;
  state_->bytes_sent += done;
  state_->progress[board_].sent = txn_.sent;
  outcome().sent = txn_.sent;
  // Nothing follows the last byte that Nagle could join it with.
  if (txn_image_left(&txn_) == 0) push_queued(sock_);
  return true;
}

void board_worker::send_some(int64_t now) {
  for (int turn = 0; turn < SENDS_PER_TURN && send_once(now); ++turn) {
  }
}

void board_worker::receive_some(int64_t now) {
  step_outcome &o = outcome();
  uint8_t buf[RECEIVE_SIZE];
  ssize_t n = recv(sock_, buf, sizeof buf, 0);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
    txn_closed(&txn_, errno);
    return;
  }
  if (n == 0) {
    txn_closed(&txn_, 0);
    return;
  }
  last_io_ = now;
  watch_ = peer_watch{};
  size_t at = 0;
  while (at < static_cast<size_t>(n)) {
    size_t used = 0;
    txn_event ev = txn_received(&txn_, buf + at, static_cast<size_t>(n) - at, &used);
    at += used;
    if (ev == txn_event::first_reply) {
      o.have_flash_id = true;
      o.flash_id = txn_.first.flash_id;
      o.kesp_lines += captured([&](FILE *out) { print_first_reply_line(out, &txn_); });
      // The wrong part gets no image byte: the connection closes here,
      // before the loop can send.
      const step &s = p_.steps[step_];
      if (s.check_id && o.flash_id != s.expect_id) {
        char why[64];
        snprintf(why, sizeof why, "flash id %04x, expected %04x", o.flash_id, s.expect_id);
        fail_attempt(failure_kind::flash_id, why, logged::yes, false, now);
        return;
      }
    }
    if (used == 0) break;
  }
}

void board_worker::look(int64_t now) {
  if (at_ == phase::connecting && now >= connect_deadline_) {
    connect_failed(ETIMEDOUT, now);
    return;
  }
  if (at_ == phase::next) {
    if (state_->interrupts > 0) {
      finish("not run: interrupted");
    } else {
      ++step_;
      start_attempt(now);
    }
    return;
  }
  if (at_ == phase::pausing && now >= resume_at_) {
    if (state_->interrupts > 0) {
      end_step(now);  // the failed attempt stands: nothing new starts
    } else {
      start_attempt(now);
    }
    return;
  }
  if (at_ != phase::connecting && at_ != phase::talking) return;
  if (at_ == phase::talking && awaiting_copy_) {
    send_some(now);
    if (at_ == phase::talking && txn_finished(&txn_)) end_attempt(now);
    if (at_ != phase::talking) return;
  }
  if (step_deadline_ != 0 && now >= step_deadline_) {
    double limit = p_.opt.step_timeout_ms / 1000.0;
    char why[64];
    snprintf(why, sizeof why, "step timed out after %g s", limit);
    fail_attempt(failure_kind::timeout, why, logged::no, false, now);
    return;
  }
  if (at_ != phase::talking || now - last_io_ < LOOK_MS || now - last_look_ < LOOK_MS) return;
  last_look_ = now;
  if (peer_vanished(sock_, &watch_, now)) {
    txn_closed(&txn_, ETIMEDOUT);
    end_attempt(now);
  }
}

int64_t board_worker::wake_time(int64_t now, int64_t next) const {
  switch (at_) {
    case phase::connecting:
      next = std::min(next, connect_deadline_);
      break;
    case phase::pausing:
      next = std::min(next, resume_at_);
      break;
    case phase::next:
      next = now;
      break;
    case phase::talking:
      next = std::min(next, std::max(last_io_, last_look_) + LOOK_MS);
      if (awaiting_copy_) next = std::min(next, now + COPY_WAIT_MS);
      break;
    default:
      break;
  }
  if ((at_ == phase::connecting || at_ == phase::talking) && step_deadline_ != 0) {
    next = std::min(next, step_deadline_);
  }
  return next;
}

// The transaction is over: done, failed, or the start request sent.
void board_worker::end_attempt(int64_t now) {
  const step &s = p_.steps[step_];
  step_outcome &o = outcome();
  const transaction &t = txn_;
  o.sent = t.sent;
  o.crc = t.crc;
  o.have_verdict = txn_has_verdict(&t);
  if (o.have_verdict) {
    o.error = t.final.error;
    o.target_crc = t.final.crc;
  }
  if (s.mode != step_mode::start) {
    o.kesp_lines += captured([&](FILE *out) {
      // kesp draws its bar only once the first reply is in.
      if (t.have_first) {
        print_bar(out, t.length, t.sent);
        fputs("\n", out);
      }
      print_outcome_lines(out, &t);
    });
  }
  char text[160];
  switch (txn_judge(&t)) {
    case txn_result::passed:
      close_socket();
      o.result = step_result::passed;
      end_step(now);
      return;
    case txn_result::target_error:
      snprintf(text, sizeof text, "%s (error %d, addr = %x)", flash_error_str(t.final.error),
               t.final.error, t.final.addr);
      fail_attempt(failure_kind::target_error, text, logged::no, false, now);
      return;
    case txn_result::crc_mismatch:
      snprintf(text, sizeof text, "crc mismatch (ours %x, target's %x)", t.crc, t.final.crc);
      fail_attempt(failure_kind::crc_mismatch, text, logged::no, false, now);
      return;
    case txn_result::connection_failed:
    case txn_result::pending: {
      bool own = false;
      std::string why = connection_reason(t, &own);
      fail_attempt(failure_kind::connection, why, own ? logged::yes : logged::no, true, now);
      return;
    }
  }
}

// An attempt failed. A connection failure is tried again while retries
// are left and no interrupt came; anything else fails the step.
void board_worker::fail_attempt(failure_kind kind, const std::string &reason, logged log,
                                bool retry, int64_t now) {
  step_outcome &o = outcome();
  close_socket();
  if (log == logged::yes) o.kesp_lines += reason + "\n";
  o.result = step_result::failed;
  o.failure = kind;
  o.reason = reason;
  if (retry && o.attempts <= p_.opt.retries && state_->interrupts == 0) {
    at_ = phase::pausing;
    resume_at_ = now + RETRY_PAUSE_MS;
    state_->progress[board_].retrying = true;
    return;
  }
  end_step(now);
}

void board_worker::end_step(int64_t now) {
  step_outcome &o = outcome();
  note_digest(step_, &o);
  o.seconds = static_cast<double>(now - step_began_) / 1000.0;
  if (o.result == step_result::passed) {
    o.failure = failure_kind::none;
    o.reason.clear();
  }
  if (observer_->step_ended) observer_->step_ended(board_, step_);
  if (o.result != step_result::passed) {
    finish("not run: step " + std::to_string(step_ + 1) + " failed");
    return;
  }
  if (step_ + 1 == p_.steps.size()) {
    finish("");
    return;
  }
  if (state_->interrupts > 0) {
    finish("not run: interrupted");
    return;
  }
  at_ = phase::next;
}

void board_worker::skip(const std::string &reason) { finish(reason); }

const snapshot &board_worker::image_of(size_t step) const {
  if (unit_images_ != nullptr && unit_images_->images[step] != nullptr) {
    return *unit_images_->images[step];
  }
  return p_.images[p_.boards[board_].copies[step]];
}

// The image a step sends: its size and name, as the reports give them.
void board_worker::note_image(size_t step, step_outcome *o) const {
  const board &bd = p_.boards[board_];
  o->file = bd.files[step];
  o->size = bd.sizes[step];
  if (p_.steps[step].mode == step_mode::start) return;
  if (unit_images_ != nullptr && unit_images_->images[step] != nullptr) {
    o->file = unit_images_->files[step];
    o->size = unit_images_->images[step]->size();
  }
}

// The image's SHA-256, as the reports give it. Noted once the step is
// over, not as it starts: the digest of a large image is still being
// taken while the first boards send.
void board_worker::note_digest(size_t step, step_outcome *o) const {
  if (p_.steps[step].mode == step_mode::start) return;
  if (unit_images_ != nullptr && unit_images_->images[step] != nullptr) {
    o->sha256 = unit_images_->images[step]->sha256();
    return;
  }
  // A unit's own image that was never made has no bytes to name.
  if (per_unit_image(p_.steps[step])) return;
  o->sha256 = p_.images[p_.boards[board_].copies[step]].sha256();
}

void board_worker::fail_before(int sock, size_t step, const std::string &reason) {
  if (sock >= 0) close(sock);
  started_ = true;
  step_ = step;
  step_outcome &o = outcome();
  note_image(step, &o);
  note_digest(step, &o);
  o.result = step_result::failed;
  o.failure = failure_kind::local;
  o.reason = reason;
  o.started_ms = wall_clock_ms();
  std::vector<step_outcome> &outcomes = state_->outcomes[board_];
  for (size_t i = 0; i < step; ++i) {
    note_image(i, &outcomes[i]);
    note_digest(i, &outcomes[i]);
    outcomes[i].reason = "not run: the unit's data could not be made";
  }
  state_->progress[board_].step = step;
  if (observer_->step_ended) observer_->step_ended(board_, step);
  finish("not run: step " + std::to_string(step + 1) + " failed");
}

// The steps after step_ (every step, for a board that never started) are
// not run, for reason.
void board_worker::finish(const std::string &reason) {
  close_socket();
  std::vector<step_outcome> &outcomes = state_->outcomes[board_];
  for (size_t i = started_ ? step_ + 1 : 0; i < outcomes.size(); ++i) {
    outcomes[i].result = step_result::not_run;
    outcomes[i].reason = reason;
    note_image(i, &outcomes[i]);
    note_digest(i, &outcomes[i]);
  }
  started_ = false;
  at_ = phase::finished;
  piece_.reset();
  piece_room_ = 0;
  state_->progress[board_].active = false;
  state_->progress[board_].finished = true;
  if (observer_->board_ended) observer_->board_ended(board_);
}

void board_worker::stop(int64_t now) {
  if (at_ == phase::connecting || at_ == phase::talking || at_ == phase::pausing) {
    fail_attempt(failure_kind::interrupted, "interrupted", logged::no, false, now);
  }
}
