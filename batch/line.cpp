#include "line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "transcript.h"
#include "engine.h"
#include "net.h"
#include "owner.h"
#include "wire.h"

namespace {

// Image bytes read from the snapshot at once and offered to the socket at once,
// per board at work: large enough that a system call moves a lot, small
// enough that 256 boards at once stay within tens of MiB.
constexpr size_t PIECE_SIZE = size_t{128} * 1024;
// Sends in a row for one board before the loop looks at the others, so
// that a fast board cannot starve the rest.
constexpr int SENDS_PER_TURN = 8;
constexpr size_t RECEIVE_SIZE = 256;  // reply bytes taken per receive; replies are 18
constexpr int LOOK_MS = 1000;         // a board waited on this long is asked whether it vanished
constexpr int RETRY_PAUSE_MS = 1000;  // before a new attempt after a connection failed

// Set by the signal handlers; the pipe wakes the poll. A handler reaches
// nothing else.
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
volatile sig_atomic_t interrupts_seen = 0;
int wake_pipe[2] = {-1, -1};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void on_interrupt(int /*signal*/) {
  int saved = errno;
  interrupts_seen = interrupts_seen + 1;
  char byte = 1;
  ssize_t ignored = write(wake_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

enum class phase : uint8_t {
  waiting,     // not started
  connecting,  // connect in progress
  talking,     // the transaction runs
  pausing,     // before a new attempt
  next,        // the next step is due; started from the loop, not from the last one's end
  finished,
};

struct board_run {
  phase at = phase::waiting;
  bool started = false;  // counted among the boards at work
  size_t step = 0;
  int sock = -1;
  transaction txn;
  peer_watch watch;
  std::unique_ptr<uint8_t[]> piece;  // held only while the board is at work
  size_t piece_size = 0;             // bytes of the piece read from the snapshot
  size_t piece_sent = 0;             // of them gone out
  int64_t connect_deadline = 0;
  int64_t step_deadline = 0;  // 0 for none
  int64_t resume_at = 0;      // when pausing ends
  int64_t last_io = 0;        // when bytes last moved either way
  int64_t last_look = 0;      // when peer_vanished was last asked
  int64_t step_began = 0;     // when the step's first attempt began
};

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

class line {
 public:
  line(const plan &p, line_state *state, const line_observer &observer)
      : p_(p), state_(state), observer_(observer), runs_(p.boards.size()) {
    state_->outcomes.assign(p.boards.size(), std::vector<step_outcome>(p.steps.size()));
    state_->progress.assign(p.boards.size(), board_progress{});
  }

  void run();

 private:
  void start_boards(int64_t now);
  void start_attempt(size_t b, int64_t now);
  void connected(size_t b, int64_t now);
  void on_ready(size_t b, short revents, int64_t now);
  void send_some(size_t b, int64_t now);
  bool refill(size_t b, int64_t now);
  bool send_once(size_t b, int64_t now);
  void dispatch(const std::vector<pollfd> &fds, const std::vector<size_t> &owners, int64_t now);
  void receive_some(size_t b, int64_t now);
  void look_at(size_t b, int64_t now);
  void end_attempt(size_t b, int64_t now);
  void fail_attempt(size_t b, failure_kind kind, const std::string &reason,
                    const std::string &kesp_line, bool retry, int64_t now);
  void end_step(size_t b, int64_t now);
  void finish_board(size_t b, const std::string &reason);
  void close_handles(size_t b);
  void stop_all(int64_t now);
  [[nodiscard]] int poll_timeout(int64_t now) const;
  [[nodiscard]] short events_of(size_t b) const;
  void gather(std::vector<pollfd> *fds, std::vector<size_t> *owners) const;

  const plan &p_;
  line_state *state_;
  const line_observer &observer_;
  std::vector<board_run> runs_;
  size_t next_ = 0;       // the first board not started
  size_t active_ = 0;     // boards at work
  bool stopped_ = false;  // a second interrupt stopped the steps at work
};

void line::close_handles(size_t b) {
  board_run &r = runs_[b];
  if (r.sock >= 0) close(r.sock);
  r.sock = -1;
}

void line::start_boards(int64_t now) {
  while (state_->interrupts == 0 && active_ < p_.opt.jobs && next_ < runs_.size()) {
    size_t b = next_++;
    ++active_;
    runs_[b].started = true;
    runs_[b].piece = std::make_unique<uint8_t[]>(PIECE_SIZE);
    state_->progress[b].active = true;
    start_attempt(b, now);
  }
}

void line::start_attempt(size_t b, int64_t now) {
  board_run &r = runs_[b];
  const board &bd = p_.boards[b];
  const step &s = p_.steps[r.step];
  step_outcome &o = state_->outcomes[b][r.step];
  board_progress &pr = state_->progress[b];
  if (o.attempts == 0) {
    o.started_ms = wall_clock_ms();
    r.step_began = now;
    o.file = bd.files[r.step];
    o.size = bd.sizes[r.step];
    if (s.mode != step_mode::start) o.sha256 = p_.images[bd.copies[r.step]].sha256();
  }
  ++o.attempts;
  pr.step = r.step;
  pr.sent = 0;
  pr.size = s.mode == step_mode::start ? 0 : o.size;
  pr.step_ms = now;
  pr.retrying = false;
  r.piece_size = 0;
  r.piece_sent = 0;
  r.watch = peer_watch{};
  r.step_deadline = p_.opt.step_timeout_ms > 0 ? now + p_.opt.step_timeout_ms : 0;

  if (!bd.resolved) {
    fail_attempt(b, failure_kind::unresolved, "get host by name: " + bd.resolve_error,
                 "get host by name: " + bd.resolve_error + "\n", false, now);
    return;
  }
  r.sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (r.sock < 0) {
    std::string why = strerror(errno);
    fail_attempt(b, failure_kind::local, "create socket: " + why, "create socket: " + why + "\n",
                 false, now);
    return;
  }
  enable_dead_peer_detection(r.sock);
  const sockaddr_in &to = bd.address;
  if (connect(r.sock, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) {
    connected(b, now);
    return;
  }
  if (errno != EINPROGRESS) {
    std::string why = strerror(errno);
    fail_attempt(b, failure_kind::connect, "connect: " + why, "connect: " + why + "\n", true, now);
    return;
  }
  r.at = phase::connecting;
  r.connect_deadline = now + p_.opt.connect_timeout_ms;
}

void line::connected(size_t b, int64_t now) {
  board_run &r = runs_[b];
  const step &s = p_.steps[r.step];
  r.at = phase::talking;
  r.last_io = now;
  r.last_look = now;
  if (s.mode == step_mode::start) {
    txn_begin_start(&r.txn);
  } else {
    step_outcome &o = state_->outcomes[b][r.step];
    txn_begin(&r.txn, o.size, s.flags, s.address);
    o.kesp_lines += captured([&](FILE *out) { print_request_lines(out, s.address, s.flags); });
  }
}

short line::events_of(size_t b) const {
  const board_run &r = runs_[b];
  if (r.at == phase::connecting) return POLLOUT;
  if (r.at != phase::talking) return 0;
  const uint8_t *bytes = nullptr;
  short events = 0;
  if (txn_request_bytes(&r.txn, &bytes) > 0 || txn_image_left(&r.txn) > 0) events |= POLLOUT;
  if (txn_reply_wanted(&r.txn) > 0) events |= POLLIN;
  return events;
}

void line::on_ready(size_t b, short revents, int64_t now) {
  const board_run &r = runs_[b];
  if (r.at == phase::connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(r.sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
      std::string why = strerror(err);
      fail_attempt(b, failure_kind::connect, "connect: " + why, "connect: " + why + "\n", true,
                   now);
      return;
    }
    connected(b, now);
    return;
  }
  if (r.at != phase::talking) return;
  // Whatever the target said is taken before more is sent: its verdict
  // may end the image early.
  if ((revents & (POLLIN | POLLERR | POLLHUP)) != 0) receive_some(b, now);
  if (r.at == phase::talking && (revents & (POLLOUT | POLLERR)) != 0) send_some(b, now);
  if (r.at == phase::talking) {
    txn_state st = r.txn.state;
    if (st == txn_state::done || st == txn_state::failed) end_attempt(b, now);
  }
}

// Refills the board's piece from its image's snapshot when it has all
// gone out: the bytes after those already sent, whatever became of the
// file. False when the attempt failed.
bool line::refill(size_t b, int64_t now) {
  board_run &r = runs_[b];
  if (r.piece_sent < r.piece_size) return true;
  size_t want = std::min<size_t>(txn_image_left(&r.txn), PIECE_SIZE);
  const snapshot &image = p_.images[p_.boards[b].copies[r.step]];
  ssize_t n = pread(image.fd(), r.piece.get(), want, r.txn.sent);
  if (n > 0) {
    r.piece_size = static_cast<size_t>(n);
    r.piece_sent = 0;
    return true;
  }
  if (n < 0 && errno == EINTR) return false;
  std::string why = n < 0 ? std::string(strerror(errno))
                          : "file ended after " + std::to_string(r.txn.sent) + " of " +
                                std::to_string(r.txn.length) + " bytes";
  // The target waits for bytes we do not have: closing the connection
  // ends its wait. kesp's log ends with its last bar, a line end and why.
  const transaction &t = r.txn;
  std::string bar = captured([&](FILE *out) { print_bar(out, t.length, t.sent); });
  fail_attempt(b, failure_kind::local, "read file: " + why, bar + "\nread file: " + why + "\n",
               false, now);
  return false;
}

// Sends what the transaction has to send next: the request words, or
// image bytes from the board's piece. False when nothing more can go now.
bool line::send_once(size_t b, int64_t now) {
  board_run &r = runs_[b];
  const uint8_t *bytes = nullptr;
  size_t request = txn_request_bytes(&r.txn, &bytes);
  if (request == 0) {
    if (txn_image_left(&r.txn) == 0 || !refill(b, now)) return false;
    bytes = r.piece.get() + r.piece_sent;
  }
  size_t count = request > 0 ? request : r.piece_size - r.piece_sent;
  ssize_t n = send(r.sock, bytes, count, MSG_NOSIGNAL);
  if (n < 0) {
    if (errno == EINTR) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK) txn_send_failed(&r.txn, errno);
    return false;
  }
  auto done = static_cast<size_t>(n);
  r.last_io = now;
  r.watch = peer_watch{};
  if (request > 0) return txn_request_sent(&r.txn, done) != txn_event::started;
  txn_image_sent(&r.txn, bytes, done);
  r.piece_sent += done;
  state_->bytes_sent += done;
  state_->progress[b].sent = r.txn.sent;
  state_->outcomes[b][r.step].sent = r.txn.sent;
  // Nothing follows the last byte that Nagle could join it with.
  if (txn_image_left(&r.txn) == 0) push_queued(r.sock);
  return true;
}

void line::send_some(size_t b, int64_t now) {
  for (int turn = 0; turn < SENDS_PER_TURN && send_once(b, now); ++turn) {
  }
}

void line::receive_some(size_t b, int64_t now) {
  board_run &r = runs_[b];
  step_outcome &o = state_->outcomes[b][r.step];
  uint8_t buf[RECEIVE_SIZE];
  ssize_t n = recv(r.sock, buf, sizeof buf, 0);
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
    txn_closed(&r.txn, errno);
    return;
  }
  if (n == 0) {
    txn_closed(&r.txn, 0);
    return;
  }
  r.last_io = now;
  r.watch = peer_watch{};
  size_t at = 0;
  while (at < static_cast<size_t>(n)) {
    size_t used = 0;
    txn_event ev = txn_received(&r.txn, buf + at, static_cast<size_t>(n) - at, &used);
    at += used;
    if (ev == txn_event::first_reply) {
      o.have_flash_id = true;
      o.flash_id = r.txn.first.flash_id;
      o.kesp_lines += captured([&](FILE *out) { print_first_reply_line(out, &r.txn); });
    }
    if (used == 0) break;
  }
}

void line::look_at(size_t b, int64_t now) {
  board_run &r = runs_[b];
  if (r.at == phase::connecting && now >= r.connect_deadline) {
    std::string why = strerror(ETIMEDOUT);
    fail_attempt(b, failure_kind::connect, "connect: " + why, "connect: " + why + "\n", true, now);
    return;
  }
  if (r.at == phase::next) {
    if (state_->interrupts > 0) {
      --r.step;  // the step that passed last; the rest did not run
      finish_board(b, "not run: interrupted");
    } else {
      start_attempt(b, now);
    }
    return;
  }
  if (r.at == phase::pausing && now >= r.resume_at) {
    if (state_->interrupts > 0) {
      end_step(b, now);  // the failed attempt stands: nothing new starts
    } else {
      start_attempt(b, now);
    }
    return;
  }
  if (r.at != phase::connecting && r.at != phase::talking) return;
  if (r.step_deadline != 0 && now >= r.step_deadline) {
    double limit = p_.opt.step_timeout_ms / 1000.0;
    char why[64];
    snprintf(why, sizeof why, "step timed out after %g s", limit);
    fail_attempt(b, failure_kind::timeout, why, "", false, now);
    return;
  }
  if (r.at != phase::talking || now - r.last_io < LOOK_MS || now - r.last_look < LOOK_MS) return;
  r.last_look = now;
  if (peer_vanished(r.sock, &r.watch, now)) {
    txn_closed(&r.txn, ETIMEDOUT);
    end_attempt(b, now);
  }
}

// The transaction is over: done, failed, or the start request sent.
void line::end_attempt(size_t b, int64_t now) {
  const board_run &r = runs_[b];
  const step &s = p_.steps[r.step];
  step_outcome &o = state_->outcomes[b][r.step];
  const transaction &t = r.txn;
  o.sent = t.sent;
  o.crc = t.crc;
  o.have_verdict = t.state == txn_state::done && !t.start;
  if (o.have_verdict) {
    o.error = t.final.error;
    o.target_crc = t.final.crc;
    o.reply_addr = t.final.addr;
    o.reply_size = t.final.size;
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
      close_handles(b);
      o.result = step_result::passed;
      end_step(b, now);
      return;
    case txn_result::target_error:
      snprintf(text, sizeof text, "%s (error %d, addr = %x)", flash_error_str(t.final.error),
               t.final.error, t.final.addr);
      fail_attempt(b, failure_kind::target_error, text, "", false, now);
      return;
    case txn_result::crc_mismatch:
      snprintf(text, sizeof text, "crc mismatch (ours %x, target's %x)", t.crc, t.final.crc);
      fail_attempt(b, failure_kind::crc_mismatch, text, "", false, now);
      return;
    case txn_result::connection_failed:
    case txn_result::pending:
      fail_attempt(b, failure_kind::connection,
                   std::string("connection failed: ") + txn_failure_text(&t), "", true, now);
      return;
  }
}

// An attempt failed. A connection failure is tried again while retries
// are left and no interrupt came; anything else fails the step.
void line::fail_attempt(size_t b, failure_kind kind, const std::string &reason,
                        const std::string &kesp_line, bool retry, int64_t now) {
  board_run &r = runs_[b];
  step_outcome &o = state_->outcomes[b][r.step];
  close_handles(b);
  o.kesp_lines += kesp_line;
  o.result = step_result::failed;
  o.failure = kind;
  o.reason = reason;
  if (retry && o.attempts <= p_.opt.retries && state_->interrupts == 0) {
    r.at = phase::pausing;
    r.resume_at = now + RETRY_PAUSE_MS;
    state_->progress[b].retrying = true;
    return;
  }
  end_step(b, now);
}

void line::end_step(size_t b, int64_t now) {
  board_run &r = runs_[b];
  step_outcome &o = state_->outcomes[b][r.step];
  o.seconds = static_cast<double>(now - r.step_began) / 1000.0;
  if (o.result == step_result::passed) {
    o.failure = failure_kind::none;
    o.reason.clear();
  }
  if (observer_.step_ended) observer_.step_ended(b, r.step);
  if (o.result != step_result::passed) {
    finish_board(b, "not run: step " + std::to_string(r.step + 1) + " failed");
    return;
  }
  if (r.step + 1 == p_.steps.size()) {
    finish_board(b, "");
    return;
  }
  if (state_->interrupts > 0) {
    finish_board(b, "not run: interrupted");
    return;
  }
  ++r.step;
  r.at = phase::next;
}

void line::finish_board(size_t b, const std::string &reason) {
  board_run &r = runs_[b];
  close_handles(b);
  std::vector<step_outcome> &outcomes = state_->outcomes[b];
  for (size_t i = r.started ? r.step + 1 : 0; i < outcomes.size(); ++i) {
    outcomes[i].result = step_result::not_run;
    outcomes[i].reason = reason;
    outcomes[i].file = p_.boards[b].files[i];
    outcomes[i].size = p_.boards[b].sizes[i];
    if (p_.steps[i].mode != step_mode::start) {
      outcomes[i].sha256 = p_.images[p_.boards[b].copies[i]].sha256();
    }
  }
  if (r.started) --active_;
  r.started = false;
  r.at = phase::finished;
  r.piece.reset();
  state_->progress[b].active = false;
  state_->progress[b].finished = true;
  if (observer_.board_ended) observer_.board_ended(b);
}

// The second interrupt: every step at work ends now, as failed.
void line::stop_all(int64_t now) {
  stopped_ = true;
  for (size_t b = 0; b < runs_.size(); ++b) {
    phase at = runs_[b].at;
    if (at == phase::connecting || at == phase::talking || at == phase::pausing) {
      fail_attempt(b, failure_kind::interrupted, "interrupted", "", false, now);
    }
  }
}

int line::poll_timeout(int64_t now) const {
  int64_t next = now + std::max(1, observer_.tick_ms);
  for (const board_run &r : runs_) {
    switch (r.at) {
      case phase::connecting:
        next = std::min(next, r.connect_deadline);
        break;
      case phase::pausing:
        next = std::min(next, r.resume_at);
        break;
      case phase::next:
        next = now;
        break;
      case phase::talking:
        next = std::min(next, std::max(r.last_io, r.last_look) + LOOK_MS);
        break;
      default:
        break;
    }
    if ((r.at == phase::connecting || r.at == phase::talking) && r.step_deadline != 0) {
      next = std::min(next, r.step_deadline);
    }
  }
  return static_cast<int>(std::clamp<int64_t>(next - now, 0, LOOK_MS));
}

// The poll set: the wake pipe first, then every board that waits for its
// socket, *owners saying which.
void line::gather(std::vector<pollfd> *fds, std::vector<size_t> *owners) const {
  fds->clear();
  owners->clear();
  fds->push_back({wake_pipe[0], POLLIN, 0});
  for (size_t b = 0; b < runs_.size(); ++b) {
    short events = events_of(b);
    if (events == 0) continue;
    fds->push_back({runs_[b].sock, events, 0});
    owners->push_back(b);
  }
}

void line::dispatch(const std::vector<pollfd> &fds, const std::vector<size_t> &owners,
                    int64_t now) {
  if ((fds[0].revents & POLLIN) != 0) {
    char sink[16];
    while (read(wake_pipe[0], sink, sizeof sink) > 0) {
    }
  }
  for (size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents != 0) on_ready(owners[i - 1], fds[i].revents, now);
  }
}

void line::run() {
  std::vector<pollfd> fds;
  std::vector<size_t> owners;
  int64_t last_tick = monotonic_ms();
  for (;;) {
    int64_t now = monotonic_ms();
    state_->interrupts = interrupts_seen;
    if (state_->interrupts >= 2 && !stopped_) stop_all(now);
    start_boards(now);
    if (active_ == 0) break;
    gather(&fds, &owners);
    int ready = poll(fds.data(), fds.size(), poll_timeout(now));
    if (ready < 0 && errno != EINTR) {
      perror("kesp-batch: poll");
      abort();
    }
    now = monotonic_ms();
    if (ready > 0) dispatch(fds, owners, now);
    for (size_t b = 0; b < runs_.size(); ++b) look_at(b, now);
    if (observer_.tick && now - last_tick >= observer_.tick_ms) {
      last_tick = now;
      observer_.tick();
    }
  }
  // Boards that never started, after an interrupt.
  for (size_t b = 0; b < runs_.size(); ++b) {
    if (runs_[b].at == phase::waiting) finish_board(b, "not run: interrupted");
  }
}

}  // namespace

int64_t wall_clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool install_interrupt_handlers() {
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0;
}

void run_line(const plan &p, line_state *state, const line_observer &observer) {
  line l(p, state, observer);
  l.run();
}
