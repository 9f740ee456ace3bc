#include "target.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "crc32.h"
#include "net.h"
#include "wire.h"

namespace {

constexpr size_t RECEIVE_CHUNK = size_t{64} * 1024;  // bytes per receive
constexpr int TRICKLE_PAUSE_MS = 5;                  // between the bytes of a trickled reply
constexpr int DRAIN_MS = 2000;                       // at most, for the client's close after ours
constexpr int DRAIN_LATE_CHUNKS = 4;  // reads of what had arrived when DRAIN_MS ran out
constexpr int READS_UNWATCHED = 16;   // reads in a row without a look at the stop and the pull

enum class io { ok, closed, silent, stopped, pulled, expired, failed };

session_end end_for(io r) {
  switch (r) {
    case io::silent:
      return session_end::silent;
    case io::stopped:
      return session_end::stopped;
    case io::pulled:
      return session_end::pulled;
    case io::expired:
      return session_end::expired;
    default:
      return session_end::gone;
  }
}

using clock_type = std::chrono::steady_clock;

int ms_until(clock_type::time_point when) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(when - clock_type::now()).count();
  return static_cast<int>(std::clamp<int64_t>(left, 0, INT_MAX));
}

// Whether the client closed its end with nothing left unread: it left
// then, whatever came to the board after.
bool client_left(int fd) {
  uint8_t byte = 0;
  ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Waits for fd to become readable within the time-out, or for stop_fd; the
// session's own limit bounds every wait.
io wait_readable(int fd, const target &t, int timeout_ms) {
  // A descriptor of -1 is left out by poll.
  pollfd fds[3] = {{fd, POLLIN, 0}, {t.stop_fd, POLLIN, 0}, {t.pull_fd, POLLIN, 0}};
  auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int session_left = ms_until(t.session_deadline);
    int left = ms_until(until);
    int n = poll(fds, 3, std::min(left, session_left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io::failed;
    }
    if (n == 0) return session_left <= left ? io::expired : io::silent;
    // A stop or a pull that finds the client gone came after it left: the
    // log says the client left, as it would have a moment sooner.
    if (fds[1].revents == 0 && fds[2].revents == 0) return io::ok;
    if (fds[0].revents != 0 && client_left(fd)) return io::closed;
    return fds[1].revents != 0 ? io::stopped : io::pulled;
  }
}

// Receives up to n bytes, at least one, into buf, waiting at most
// timeout_ms for them. While data flows it is read without a wait: a poll
// before every read would double the system calls of a transfer. The wait,
// which also looks at the stop and the pull, comes when a read would block,
// and after every READS_UNWATCHED reads in a row, so that a client that
// never pauses is stopped or pulled all the same.
io recv_some(int fd, target &t, uint8_t *buf, size_t n, size_t *got, int timeout_ms) {
  *got = 0;
  if (++t.reads_unwatched < READS_UNWATCHED) {
    ssize_t r = 0;
    do {
      r = recv(fd, buf, n, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r > 0) {
      *got = static_cast<size_t>(r);
      return io::ok;
    }
    if (r == 0) return io::closed;
    if (errno == ECONNRESET) return io::closed;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return io::failed;
  }
  t.reads_unwatched = 0;
  io w = wait_readable(fd, t, timeout_ms);
  if (w != io::ok) return w;
  for (;;) {
    ssize_t r = recv(fd, buf, n, 0);
    if (r < 0 && errno == EINTR) continue;
    // A reset is the client going away as much as a close is.
    if (r < 0) return errno == ECONNRESET ? io::closed : io::failed;
    if (r == 0) return io::closed;
    *got = static_cast<size_t>(r);
    return io::ok;
  }
}

// The same within the idle time-out.
io recv_some(int fd, target &t, uint8_t *buf, size_t n, size_t *got) {
  return recv_some(fd, t, buf, n, got, t.idle_timeout_ms);
}

io recv_exact(int fd, target &t, uint8_t *buf, size_t n, size_t *got) {
  *got = 0;
  while (*got < n) {
    size_t part = 0;
    io r = recv_some(fd, t, buf + *got, n - *got, &part);
    *got += part;
    if (r != io::ok) return r;
  }
  return io::ok;
}

// Sleeps, but wakes early when the simulator must stop or the board is
// pulled. False when either came (interruption tells which).
bool pause_ms(const target &t, int ms) {
  if (ms <= 0) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd ends[2] = {{t.stop_fd, POLLIN, 0}, {t.pull_fd, POLLIN, 0}};
    int n = poll(ends, 2, static_cast<int>(left.count()));
    if (n > 0) return false;
  }
}

// What ended a pause early: a pull, or else the stop.
session_end interruption(const target &t) {
  pollfd pull = {t.pull_fd, POLLIN, 0};
  return poll(&pull, 1, 0) > 0 ? session_end::pulled : session_end::stopped;
}

bool send_bytes(int fd, const uint8_t *buf, size_t n) {
  return send_all(fd, buf, n) == static_cast<ssize_t>(n);
}

// Sends the reply, or its first cut bytes only; on failure says why in
// rec's note.
io send_reply(int fd, const target &t, const flash_reply &reply, std::optional<size_t> cut,
              session_record &rec) {
  uint8_t buf[REPLY_SIZE];
  encode_reply(buf, reply);
  size_t n = std::min(cut.value_or(REPLY_SIZE), REPLY_SIZE);
  bool sent = true;
  if (t.faults.trickle) {
    for (size_t i = 0; i < n && sent; ++i) {
      if (i > 0 && !pause_ms(t, TRICKLE_PAUSE_MS)) {
        rec.reply_sent = i;
        return interruption(t) == session_end::pulled ? io::pulled : io::stopped;
      }
      sent = send_bytes(fd, buf + i, 1);
    }
  } else {
    sent = send_bytes(fd, buf, n);
  }
  if (!sent) {
    rec.note = std::string("reply not delivered: ") + strerror(errno);
    return io::failed;
  }
  return io::ok;
}

// Ends our side in order and drops whatever the client still sends until
// it closes, so that it reads our close rather than a reset, which unread
// data would turn a plain close into. A client that goes on sending gets
// the reset after a short while: it must not hold the target.
void close_in_order(int fd, target &t) {
  shutdown(fd, SHUT_WR);
  std::array<uint8_t, RECEIVE_CHUNK> sink{};
  size_t got = 0;
  auto until = clock_type::now() + std::chrono::milliseconds(std::min(DRAIN_MS, t.idle_timeout_ms));
  // Once the time is up, what had already arrived is still taken, a few
  // chunks at most: whether a client that sent its last bytes and closed
  // gets a plain close must not depend on how soon we were scheduled.
  int late = 0;
  for (;;) {
    int left = ms_until(until);
    if (left == 0 && ++late > DRAIN_LATE_CHUNKS) break;
    if (recv_some(fd, t, sink.data(), sink.size(), &got, left) != io::ok) break;
  }
}

void arm_reset(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

// The request's error before any image byte, judged by subtraction so that
// an address near the top of the 32-bit range cannot wrap.
int32_t check_request(const flash_device *dev, uint32_t addr, uint32_t length) {
  if (dev == nullptr) return ERR_NO_DEVICE;
  if (addr >= dev->size) return ERR_INVALID_ADDRESS;
  if (length > dev->size - addr) return ERR_INVALID_SIZE;
  return ERR_NONE;
}

std::string hex(uint32_t value) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%x", value);
  return buf;
}

// Reads the header and, when flagged, the address word. False when the
// connection ends there: a start request, or a client that went away.
bool read_request(int fd, target &t, session_record &rec) {
  uint8_t request[2 * WORD_SIZE];
  size_t got = 0;
  io r = recv_exact(fd, t, request, WORD_SIZE, &got);
  rec.request_bytes = got;
  if (r != io::ok) {
    rec.end = end_for(r);
    return false;
  }
  request_header header = decode_header(request);
  if (header.length == 0 && header.flags == 0) {
    rec.end = session_end::start;
    return false;
  }
  rec.flags = header.flags;
  rec.length = header.length;
  if ((rec.flags & FLAG_ADDRESS) != 0) {
    r = recv_exact(fd, t, request + WORD_SIZE, WORD_SIZE, &got);
    rec.request_bytes += got;
    if (r != io::ok) {
      rec.end = end_for(r);
      return false;
    }
    rec.addr = get_be32(request + WORD_SIZE);
  }
  rec.have_request = true;
  rec.reply_addr = rec.addr;
  return true;
}

void end_injected(int fd, target &t, std::string note, session_record &rec) {
  rec.note = std::move(note);
  rec.end = session_end::injected;
  close_in_order(fd, t);
}

// Sends one reply, cut short when the fault plan says so. False when the
// connection ends with it.
bool reply_and_go_on(int fd, target &t, const flash_reply &reply, std::optional<size_t> cut,
                     const char *which, session_record &rec) {
  io r = send_reply(fd, t, reply, cut, rec);
  if (r != io::ok) {
    rec.end = r == io::stopped  ? session_end::stopped
              : r == io::pulled ? session_end::pulled
                                : session_end::send_fail;
    return false;
  }
  if (cut) {
    end_injected(
        fd, t,
        std::string(which) + " reply cut after " + std::to_string(*cut) + " bytes (injected)", rec);
    return false;
  }
  return true;
}

// Commits an injected close or reset once that many image bytes arrived.
// True when it did.
bool stop_injected(int fd, target &t, session_record &rec) {
  const fault_plan &faults = t.faults;
  if (faults.close_after == rec.received) {
    end_injected(fd, t, "closed after " + std::to_string(rec.received) + " bytes (injected)", rec);
    return true;
  }
  if (faults.reset_after == rec.received) {
    rec.note = "reset after " + std::to_string(rec.received) + " bytes (injected)";
    rec.end = session_end::injected;
    arm_reset(fd);
    return true;
  }
  return false;
}

// Checks n received bytes against the flash; records the first difference.
void compare_chunk(const flash_device &dev, const uint8_t *bytes, size_t n, uint8_t *flash,
                   session_record &rec, bool &differs) {
  uint64_t at = uint64_t{rec.addr} + rec.received;
  if (!read_flash(dev, flash, n, at)) {
    differs = true;
    rec.reply_addr = static_cast<uint32_t>(at);
    rec.trouble = std::string(dev.path) + ": " + strerror(errno);
    return;
  }
  const uint8_t *mine = std::mismatch(flash, flash + n, bytes).first;
  if (mine != flash + n) {
    differs = true;
    rec.reply_addr = static_cast<uint32_t>(at + static_cast<uint64_t>(mine - flash));
  }
}

// Reads the announced image to its end. A refused image (dev null) is still
// read: the client sends it anyway and waits for the final reply. Only an
// accepted download is kept (by write, if there is one), and never more than
// the device holds, whatever the header announced. False when the
// connection ended first.
bool receive_image(int fd, target &t, const flash_device *dev, session_record &rec,
                   staged_write *write, bool &differs) {
  const bool compare = (rec.flags & FLAG_COMPARE) != 0;
  claim_buffers(t);
  for (;;) {
    if (stop_injected(fd, t, rec)) return false;
    if (rec.received == rec.length) return true;
    uint32_t want = std::min<uint32_t>(rec.length - rec.received, RECEIVE_CHUNK);
    for (auto stop_at : {t.faults.close_after, t.faults.reset_after}) {
      if (stop_at && *stop_at > rec.received) want = std::min(want, *stop_at - rec.received);
    }
    uint8_t *into = t.chunk.data();
    size_t n = 0;
    io r = recv_some(fd, t, into, want, &n);
    if (r != io::ok) {
      rec.end = end_for(r);
      return false;
    }
    rec.crc = crc32_update(rec.crc, into, n);
    if (write != nullptr) write->take(into, n);
    if (compare && dev != nullptr && !differs) {
      compare_chunk(*dev, into, n, t.scratch.data(), rec, differs);
    }
    rec.received += static_cast<uint32_t>(n);
  }
}

}  // namespace

namespace {

// The first reply's error code, before any image byte.
int32_t first_verdict(const target &t, flash_device *dev, session_record &rec) {
  int32_t refusal = check_request(dev, rec.addr, rec.length);
  // A write that failed half way is completed before the device does
  // anything else; until it can be, the device can neither erase nor be
  // read truly.
  if (refusal == ERR_NONE) {
    rec.trouble = settle_pending(*dev);
    if (!rec.trouble.empty()) refusal = ERR_ERASE;
  }
  // An injected refusal only replaces an acceptance: past a real refusal
  // there is no device or no room to work on.
  if (refusal == ERR_NONE && t.faults.first_error) refusal = *t.faults.first_error;
  rec.refusal = refusal;
  return refusal;
}

// The final reply's error code once the whole image has arrived; an
// accepted download goes into the flash here.
int32_t final_verdict(target &t, staged_write &write, bool differs, session_record &rec) {
  if (t.faults.final_error) return *t.faults.final_error;
  if (rec.refusal != ERR_NONE) return rec.refusal;
  if ((rec.flags & FLAG_COMPARE) != 0) return differs ? ERR_COMPARE_FAILED : ERR_NONE;
  int32_t verdict =
      write.finish(t.scratch.data(), [&t] { return pause_ms(t, t.faults.write_delay_ms); });
  rec.trouble = write.trouble();
  rec.written = verdict == ERR_NONE && rec.length > 0;
  return verdict;
}

}  // namespace

int flash_time_ms(const fault_plan &faults, const flash_device &dev, uint32_t addr,
                  uint32_t length) {
  if (length == 0 || dev.block_size == 0) return 0;
  const uint64_t blocks =
      (uint64_t{addr} + length - 1) / dev.block_size - addr / dev.block_size + 1;
  const uint64_t kib = (uint64_t{length} + 1023) / 1024;
  const uint64_t ms = blocks * static_cast<uint64_t>(faults.erase_time_ms) +
                      (kib * static_cast<uint64_t>(faults.program_time_us) + 999) / 1000;
  return static_cast<int>(std::min<uint64_t>(ms, INT_MAX));
}

void claim_buffers(target &t) {
  if (t.chunk.size() != RECEIVE_CHUNK) t.chunk.assign(RECEIVE_CHUNK, 0);
  if (t.scratch.size() != FLASH_CHUNK) t.scratch.assign(FLASH_CHUNK, 0);
}

session_record serve_connection(int fd, target &t) {
  t.session_deadline = clock_type::now() + std::chrono::milliseconds(t.session_limit_ms);
  session_record rec;
  const fault_plan &faults = t.faults;
  if (!read_request(fd, t, rec)) return rec;

  flash_device *dev = &t.nor;
  if ((rec.flags & FLAG_NAND) != 0) dev = t.nand ? &*t.nand : nullptr;
  uint16_t id = dev != nullptr ? dev->id : 0;
  if (dev == &t.nor && faults.nor_id) id = *faults.nor_id;
  const int32_t refusal = first_verdict(t, dev, rec);

  if (!pause_ms(t, faults.reply_delay_ms)) {
    rec.end = interruption(t);
    return rec;
  }
  if (!reply_and_go_on(fd, t, {id, refusal, rec.addr, rec.length, 0}, faults.cut_first, "first",
                       rec)) {
    return rec;
  }

  // Only a download that may be written is kept, and it goes towards the
  // flash as it comes: into the journal, or into memory of its own.
  const bool update = refusal == ERR_NONE && (rec.flags & FLAG_COMPARE) == 0;
  staged_write write;
  if (update && !faults.final_error) write.begin(*dev, rec.addr, rec.length);
  bool differs = false;
  if (!receive_image(fd, t, refusal == ERR_NONE ? dev : nullptr, rec,
                     update && !faults.final_error ? &write : nullptr, differs)) {
    return rec;
  }

  // The delay stands for the erase and program time, so a stop or a pull
  // during it leaves the flash as it was.
  const int64_t flash_ms =
      update && !faults.final_error ? flash_time_ms(faults, *dev, rec.addr, rec.length) : 0;
  if (!pause_ms(t,
                static_cast<int>(std::min<int64_t>(
                    int64_t{faults.reply_delay_ms} + faults.final_delay_ms + flash_ms, INT_MAX)))) {
    rec.end = interruption(t);
    return rec;
  }
  rec.verdict = final_verdict(t, write, differs, rec);
  rec.judged = true;

  if (faults.no_final_reply) {
    end_injected(fd, t, "final reply withheld (injected)", rec);
    return rec;
  }
  if (rec.verdict == ERR_NONE) rec.reply_addr = rec.addr;
  if (reply_and_go_on(fd, t, {id, rec.verdict, rec.reply_addr, rec.received, rec.crc},
                      faults.cut_final, "final", rec)) {
    rec.end = session_end::replied;
    close_in_order(fd, t);
  }
  return rec;
}

namespace {

// How a stop after the verdict is told: the work is done whatever became of
// the reply.
std::string stopped_after_verdict(const session_record &rec) {
  std::string text = rec.written ? ", image written, stopped " : ", stopped ";
  if (rec.reply_sent == 0) return text + "before the final reply went out";
  return text + "after " + std::to_string(rec.reply_sent) + " of " + std::to_string(REPLY_SIZE) +
         " bytes of the final reply";
}

// A connection that ended before its request was whole.
std::string before_request(const session_record &rec) {
  std::string why = rec.end == session_end::silent    ? "client went silent"
                    : rec.end == session_end::stopped ? "stopped"
                    : rec.end == session_end::pulled  ? "board pulled"
                    : rec.end == session_end::expired ? "session limit reached"
                                                      : "client went away";
  return why + " before a whole request (" + std::to_string(rec.request_bytes) + " bytes)";
}

}  // namespace

std::string describe(const session_record &rec) {
  if (rec.end == session_end::start) return "start request";
  if (!rec.have_request) return before_request(rec);
  char crc[16];
  snprintf(crc, sizeof crc, "%08x", rec.crc);
  std::string line = (rec.flags & FLAG_COMPARE) != 0 ? "compare" : "update";
  line += (rec.flags & FLAG_NAND) != 0 ? " nand" : " nor";
  line += " addr=" + hex(rec.addr) + " size=" + std::to_string(rec.length) + " crc=" + crc + ": ";
  std::string progress =
      " after " + std::to_string(rec.received) + " of " + std::to_string(rec.length) + " bytes";
  // Trouble of the simulator's own host is told apart from the board's.
  const std::string trouble = rec.trouble.empty() ? "" : " [host: " + rec.trouble + "]";
  std::string verdict = rec.verdict == ERR_NONE
                            ? std::string("done")
                            : "failed (addr = " + hex(rec.reply_addr) + ", error = \"" +
                                  flash_error_str(rec.verdict) + "\")";
  verdict += trouble;
  if (!rec.judged) verdict.clear();
  // A connection that ends before the verdict after a refusal says so.
  const std::string refused = rec.judged || rec.refusal == ERR_NONE
                                  ? std::string()
                                  : std::string("refused (error = \"") +
                                        flash_error_str(rec.refusal) + "\")" + trouble + ", then ";
  switch (rec.end) {
    case session_end::replied:
      return line + verdict;
    case session_end::gone:
      return line + refused + "client went away" + progress;
    case session_end::silent:
      return line + refused + "client went silent" + progress;
    case session_end::stopped:
      return line +
             (rec.judged ? verdict + stopped_after_verdict(rec) : refused + "stopped" + progress);
    case session_end::expired:
      return line + refused + "session limit reached" + progress;
    case session_end::pulled:
      return line + (rec.judged ? verdict + ", board pulled before the final reply went out"
                                : refused + "board pulled" + progress);
    case session_end::send_fail:
    case session_end::injected:
      return line + (rec.judged ? verdict + ", " : refused) + rec.note;
    default:
      return line + verdict;
  }
}
