#include "target.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "crc32.h"
#include "wire.h"

namespace {

constexpr size_t IO_CHUNK = size_t{64} * 1024;  // bytes per receive, flash read and erase write
constexpr uint8_t ERASED = 0xFF;                // the value of every byte of an erased block
constexpr int TRICKLE_PAUSE_MS = 5;             // between the bytes of a trickled reply
constexpr int DRAIN_MS = 2000;                  // at most, for the client's close after ours
constexpr int DRAIN_LATE_CHUNKS = 4;            // reads of what had arrived when DRAIN_MS ran out

std::string errno_text(const std::string &what) { return what + ": " + strerror(errno); }

// Opens a name the simulator makes up beside a flash file (its journal, the
// temporary it creates the file under) without following what someone may
// have planted there: a symbolic link is refused by the open itself, and a
// FIFO, a device or a second name of another file by the look that
// follows. Opening never waits for a FIFO's other end. Returns the
// descriptor, or -1 with *why saying what is in the way (left empty when
// the name is free and flags do not create it).
int open_own_name(const std::string &name, int flags, std::string *why) {
  constexpr char REMOVE_IT[] = "; kesp-sim makes that name itself: remove what is there";
  why->clear();
  int fd = open(name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    // ENXIO: a FIFO opened for writing with no reader.
    if (errno == ELOOP) {
      *why = name + ": a symbolic link, which kesp-sim does not follow" + REMOVE_IT;
    } else if (errno == ENXIO) {
      *why = name + ": not a regular file" + REMOVE_IT;
    } else if (errno != ENOENT || (flags & O_CREAT) != 0) {
      *why = errno_text(name);
    }
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    *why = errno_text(name);
  } else if (!S_ISREG(st.st_mode)) {
    *why = name + ": not a regular file" + REMOVE_IT;
  } else if (st.st_nlink != 1) {
    *why = name + ": another name of some other file" + REMOVE_IT;
  } else {
    return fd;
  }
  close(fd);
  return -1;
}


bool pwrite_all(int fd, const uint8_t *buf, uint64_t n, uint64_t offset) {
  while (n > 0) {
    ssize_t w = pwrite(fd, buf, static_cast<size_t>(std::min<uint64_t>(n, SSIZE_MAX)),
                       static_cast<off_t>(offset));
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    buf += w;
    n -= static_cast<uint64_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

bool pread_all(int fd, uint8_t *buf, size_t n, uint64_t offset) {
  while (n > 0) {
    ssize_t r = pread(fd, buf, n, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    buf += r;
    n -= static_cast<size_t>(r);
    offset += static_cast<uint64_t>(r);
  }
  return true;
}

bool fill_erased(int fd, uint64_t from, uint64_t to) {
  static const std::vector<uint8_t> erased(IO_CHUNK, ERASED);
  for (uint64_t at = from; at < to;) {
    uint64_t n = std::min<uint64_t>(to - at, erased.size());
    if (!pwrite_all(fd, erased.data(), n, at)) return false;
    at += n;
  }
  return true;
}

void sync_folder_of(const std::string &path) {
  auto dir = std::filesystem::absolute(path).parent_path();
  int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    fsync(dir_fd);
    close(dir_fd);
  }
}

// The journal beside a flash file holds the new content of the blocks one
// download touches, so that the file changes all at once: it is written
// and synced before the file is touched, and dropped once the file is
// synced. Found at start, a whole one is applied again and a torn one
// dropped, so that the blocks read wholly old or wholly new whenever the
// simulator died.
//
// Layout, numbers big-endian: the header (JOURNAL_MAGIC, the offset in the
// device as two words, the length likewise, the CRC-32 of the content, the
// CRC-32 of the header before it), the content, then the commit marker
// (JOURNAL_COMMIT and the content's CRC-32 again), written only once the
// rest is on disk.
constexpr char JOURNAL_SUFFIX[] = ".journal";
constexpr uint8_t JOURNAL_MAGIC[8] = {'K', 'S', 'I', 'M', 'J', 'R', 'N', '1'};
constexpr uint8_t JOURNAL_COMMIT[8] = {'K', 'S', 'I', 'M', 'D', 'O', 'N', 'E'};
constexpr size_t JOURNAL_HEADER = sizeof JOURNAL_MAGIC + 6 * WORD_SIZE;
constexpr size_t JOURNAL_MARKER = sizeof JOURNAL_COMMIT + WORD_SIZE;

struct journal_header {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint32_t crc = 0;
};

void put_be64(uint8_t *out, uint64_t value) {
  put_be32(out, static_cast<uint32_t>(value >> 32));
  put_be32(out + WORD_SIZE, static_cast<uint32_t>(value));
}

uint64_t get_be64(const uint8_t *in) {
  return uint64_t{get_be32(in)} << 32 | get_be32(in + WORD_SIZE);
}

void encode_journal_header(uint8_t *out, const journal_header &h) {
  std::copy(std::begin(JOURNAL_MAGIC), std::end(JOURNAL_MAGIC), out);
  uint8_t *p = out + sizeof JOURNAL_MAGIC;
  put_be64(p, h.offset);
  put_be64(p + 2 * WORD_SIZE, h.length);
  put_be32(p + 4 * WORD_SIZE, h.crc);
  put_be32(p + 5 * WORD_SIZE, crc32_update(0, out, JOURNAL_HEADER - WORD_SIZE));
}

// The new content of the touched blocks, in pieces: erased up to the image,
// the image, erased after it.
struct block_content {
  uint64_t first_block;
  uint64_t past_last_block;
  uint32_t addr;
  const std::vector<uint8_t> &image;

  // Calls put(bytes, n, device offset) for each piece in order; false as
  // soon as put fails.
  template <typename Put>
  [[nodiscard]] bool each_piece(Put put) const {
    static const std::vector<uint8_t> erased(IO_CHUNK, ERASED);
    auto fill = [&](uint64_t from, uint64_t to) {
      for (uint64_t at = from; at < to; at += IO_CHUNK) {
        if (!put(erased.data(), std::min<uint64_t>(IO_CHUNK, to - at), at)) return false;
      }
      return true;
    };
    auto copy = [&] {
      for (size_t at = 0; at < image.size(); at += IO_CHUNK) {
        if (!put(image.data() + at, std::min(IO_CHUNK, image.size() - at), addr + at)) {
          return false;
        }
      }
      return true;
    };
    return fill(first_block, addr) && copy() &&
           fill(uint64_t{addr} + image.size(), past_last_block);
  }
};

bool fail_step(const flash_device &dev, write_step step) {
  if (!dev.inject) return false;
  int code = dev.inject(step);
  if (code == 0) return false;
  errno = code;
  return true;
}

// Writes the journal of content and syncs it; false, with nothing left
// behind, if any of that failed.
bool write_journal(const flash_device &dev, const block_content &content) {
  const std::string journal = dev.path + JOURNAL_SUFFIX;
  if (fail_step(dev, write_step::journal)) return false;
  journal_header h{content.first_block, content.past_last_block - content.first_block, 0};
  if (!content.each_piece([&](const uint8_t *bytes, uint64_t n, uint64_t) {
        h.crc = crc32_update(h.crc, bytes, static_cast<size_t>(n));
        return true;
      })) {
    return false;
  }
  // Truncated only once it is known to be ours alone.
  std::string why;
  int fd = open_own_name(journal, O_WRONLY | O_CREAT, &why);
  if (fd < 0) return false;
  if (ftruncate(fd, 0) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return false;
  }
  uint8_t header[JOURNAL_HEADER];
  encode_journal_header(header, h);
  uint8_t marker[JOURNAL_MARKER];
  std::copy(std::begin(JOURNAL_COMMIT), std::end(JOURNAL_COMMIT), marker);
  put_be32(marker + sizeof JOURNAL_COMMIT, h.crc);
  bool ok = pwrite_all(fd, header, sizeof header, 0) &&
            content.each_piece([&](const uint8_t *bytes, uint64_t n, uint64_t at) {
              return pwrite_all(fd, bytes, n, JOURNAL_HEADER + at - content.first_block);
            }) &&
            fdatasync(fd) == 0 &&
            pwrite_all(fd, marker, sizeof marker, JOURNAL_HEADER + h.length) && fdatasync(fd) == 0;
  int saved = errno;
  close(fd);
  if (!ok) {
    unlink(journal.c_str());
    errno = saved;
    return false;
  }
  // The journal's name must be on disk before the file changes.
  sync_folder_of(journal);
  return true;
}

bool pause_ms(const target &t, int ms);

// Erases the blocks the image touches and programs it. A real part has no
// half-erased block, so everything around the image within them reads
// erased afterwards. A file-backed device changes all at once through the
// journal; the new content is synced before this returns.
int32_t program(const target &t, const flash_device &dev, uint32_t addr,
                const std::vector<uint8_t> &image) {
  if (image.empty()) return ERR_NONE;
  uint64_t end = uint64_t{addr} + image.size();
  block_content content{addr - addr % dev.block_size,
                        (end + dev.block_size - 1) / dev.block_size * dev.block_size, addr, image};
  const bool journaled = !dev.path.empty();
  // Nothing has been erased when the journal cannot be written: the file
  // is as it was, and the erase is what failed.
  if (journaled && !write_journal(dev, content)) return ERR_ERASE;
  // A slow part takes its time per piece; a stop cuts that short, never the
  // writing.
  bool hurry = false;
  bool ok = !fail_step(dev, write_step::apply) &&
            content.each_piece([&](const uint8_t *bytes, uint64_t n, uint64_t at) {
              if (!pwrite_all(dev.fd, bytes, n, at)) return false;
              hurry = hurry || !pause_ms(t, t.faults.write_delay_ms);
              return true;
            }) &&
            fdatasync(dev.fd) == 0;
  // A file left half written keeps its journal, so that the next start
  // completes the write.
  if (!ok) return ERR_REPROGRAM;
  if (journaled) unlink((dev.path + JOURNAL_SUFFIX).c_str());
  return ERR_NONE;
}

// Settles the journal that a simulator which died mid-write left beside
// dev's file: applied and synced when whole, dropped when torn. Returns an
// empty string or why the file could not be brought up to date.
std::string settle_journal(const flash_device &dev) {
  const std::string journal = dev.path + JOURNAL_SUFFIX;
  std::string refused;
  int fd = open_own_name(journal, O_RDONLY, &refused);
  if (fd < 0) return refused;
  auto verdict = [&](std::string why) {
    close(fd);
    unlink(journal.c_str());
    return why;
  };
  struct stat st {};
  uint8_t header[JOURNAL_HEADER];
  if (fstat(fd, &st) != 0 || !pread_all(fd, header, sizeof header, 0)) return verdict({});
  journal_header h{get_be64(header + sizeof JOURNAL_MAGIC),
                   get_be64(header + sizeof JOURNAL_MAGIC + 2 * WORD_SIZE),
                   get_be32(header + sizeof JOURNAL_MAGIC + 4 * WORD_SIZE)};
  uint8_t expected[JOURNAL_HEADER];
  encode_journal_header(expected, h);
  uint8_t marker[JOURNAL_MARKER];
  const bool whole =
      std::equal(header, header + sizeof header, expected) && h.offset <= dev.size &&
      h.length <= dev.size - h.offset &&
      static_cast<uint64_t>(st.st_size) == JOURNAL_HEADER + h.length + JOURNAL_MARKER &&
      pread_all(fd, marker, sizeof marker, JOURNAL_HEADER + h.length) &&
      std::equal(std::begin(JOURNAL_COMMIT), std::end(JOURNAL_COMMIT), marker) &&
      get_be32(marker + sizeof JOURNAL_COMMIT) == h.crc;
  if (!whole) return verdict({});
  // The content is checked whole before any of it reaches the file.
  std::vector<uint8_t> chunk(IO_CHUNK);
  uint32_t crc = 0;
  for (uint64_t at = 0; at < h.length; at += IO_CHUNK) {
    auto n = static_cast<size_t>(std::min<uint64_t>(IO_CHUNK, h.length - at));
    if (!pread_all(fd, chunk.data(), n, JOURNAL_HEADER + at)) return verdict({});
    crc = crc32_update(crc, chunk.data(), n);
  }
  if (crc != h.crc) return verdict({});
  for (uint64_t at = 0; at < h.length; at += IO_CHUNK) {
    auto n = static_cast<size_t>(std::min<uint64_t>(IO_CHUNK, h.length - at));
    if (!pread_all(fd, chunk.data(), n, JOURNAL_HEADER + at) ||
        !pwrite_all(dev.fd, chunk.data(), n, h.offset + at)) {
      std::string why = errno_text(dev.path);
      close(fd);
      return why;
    }
  }
  if (fdatasync(dev.fd) != 0) {
    std::string why = errno_text(dev.path);
    close(fd);
    return why;
  }
  return verdict({});
}

enum class io { ok, closed, silent, stopped, expired, failed };

session_end end_for(io r) {
  switch (r) {
    case io::silent:
      return session_end::silent;
    case io::stopped:
      return session_end::stopped;
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

// Waits for fd to become readable within the time-out, or for stop_fd; the
// session's own limit bounds every wait.
io wait_readable(int fd, const target &t, int timeout_ms) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {t.stop_fd, POLLIN, 0}};
  nfds_t count = t.stop_fd >= 0 ? 2 : 1;
  auto until = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int session_left = ms_until(t.session_deadline);
    int left = ms_until(until);
    int n = poll(fds, count, std::min(left, session_left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return io::failed;
    }
    if (n == 0) return session_left <= left ? io::expired : io::silent;
    if (count == 2 && fds[1].revents != 0) return io::stopped;
    return io::ok;
  }
}

// Receives up to n bytes, at least one, into buf, waiting at most
// timeout_ms for them.
io recv_some(int fd, const target &t, uint8_t *buf, size_t n, size_t *got, int timeout_ms) {
  *got = 0;
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
io recv_some(int fd, const target &t, uint8_t *buf, size_t n, size_t *got) {
  return recv_some(fd, t, buf, n, got, t.idle_timeout_ms);
}

io recv_exact(int fd, const target &t, uint8_t *buf, size_t n, size_t *got) {
  *got = 0;
  while (*got < n) {
    size_t part = 0;
    io r = recv_some(fd, t, buf + *got, n - *got, &part);
    *got += part;
    if (r != io::ok) return r;
  }
  return io::ok;
}

// Sleeps, but wakes early when the simulator must stop. False when stopped.
bool pause_ms(const target &t, int ms) {
  if (ms <= 0) return true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd stop = {t.stop_fd, POLLIN, 0};
    int n = poll(&stop, t.stop_fd >= 0 ? 1 : 0, static_cast<int>(left.count()));
    if (n > 0) return false;
  }
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
      if (i > 0 && !pause_ms(t, TRICKLE_PAUSE_MS)) return io::stopped;
      sent = send_bytes(fd, buf + i, 1);
    }
  } else {
    sent = send_bytes(fd, buf, n);
  }
  if (!sent) {
    rec.note = errno_text("reply not delivered");
    return io::failed;
  }
  return io::ok;
}

// Ends our side in order and drops whatever the client still sends until
// it closes, so that it reads our close rather than a reset, which unread
// data would turn a plain close into. A client that goes on sending gets
// the reset after a short while: it must not hold the target.
void close_in_order(int fd, const target &t) {
  shutdown(fd, SHUT_WR);
  std::array<uint8_t, IO_CHUNK> sink{};
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
bool read_request(int fd, const target &t, session_record &rec) {
  uint8_t request[2 * WORD_SIZE];
  size_t got = 0;
  io r = recv_exact(fd, t, request, WORD_SIZE, &got);
  rec.request_bytes = got;
  if (r != io::ok) {
    rec.end = end_for(r);
    return false;
  }
  uint32_t header = get_be32(request);
  if (header == 0) {
    rec.end = session_end::start;
    return false;
  }
  rec.flags = header & FLAG_MASK;
  rec.length = header & ~FLAG_MASK;
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

void end_injected(int fd, const target &t, std::string note, session_record &rec) {
  rec.note = std::move(note);
  rec.end = session_end::injected;
  close_in_order(fd, t);
}

// Sends one reply, cut short when the fault plan says so. False when the
// connection ends with it.
bool reply_and_go_on(int fd, const target &t, const flash_reply &reply, std::optional<size_t> cut,
                     const char *which, session_record &rec) {
  io r = send_reply(fd, t, reply, cut, rec);
  if (r != io::ok) {
    rec.end = r == io::stopped ? session_end::stopped : session_end::send_fail;
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
bool stop_injected(int fd, const target &t, session_record &rec) {
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
void compare_chunk(const flash_device &dev, const uint8_t *bytes, size_t n,
                   std::vector<uint8_t> &flash, session_record &rec, bool &differs) {
  uint64_t at = uint64_t{rec.addr} + rec.received;
  flash.resize(n);
  if (!pread_all(dev.fd, flash.data(), n, at)) {
    differs = true;
    rec.reply_addr = static_cast<uint32_t>(at);
    return;
  }
  auto mine = std::mismatch(flash.begin(), flash.end(), bytes).first;
  if (mine != flash.end()) {
    differs = true;
    rec.reply_addr = static_cast<uint32_t>(at + static_cast<uint64_t>(mine - flash.begin()));
  }
}

// Reads the announced image to its end. A refused image (dev null) is still
// read: the client sends it anyway and waits for the final reply. Only an
// accepted download is kept, and never more than the device holds, whatever
// the header announced. False when the connection ended first.
bool receive_image(int fd, const target &t, const flash_device *dev, session_record &rec,
                   std::vector<uint8_t> &image, bool &differs) {
  const bool compare = (rec.flags & FLAG_COMPARE) != 0;
  const bool keep = dev != nullptr && !compare;
  std::vector<uint8_t> chunk(IO_CHUNK);
  std::vector<uint8_t> flash;
  for (;;) {
    if (stop_injected(fd, t, rec)) return false;
    if (rec.received == rec.length) return true;
    uint32_t want = std::min<uint32_t>(rec.length - rec.received, IO_CHUNK);
    for (auto stop_at : {t.faults.close_after, t.faults.reset_after}) {
      if (stop_at && *stop_at > rec.received) want = std::min(want, *stop_at - rec.received);
    }
    uint8_t *into = chunk.data();
    if (keep) {
      image.resize(rec.received + want);
      into = image.data() + rec.received;
    }
    size_t n = 0;
    io r = recv_some(fd, t, into, want, &n);
    if (keep) image.resize(rec.received + n);
    if (r != io::ok) {
      rec.end = end_for(r);
      return false;
    }
    rec.crc = crc32_update(rec.crc, into, n);
    if (compare && dev != nullptr && !differs) compare_chunk(*dev, into, n, flash, rec, differs);
    rec.received += static_cast<uint32_t>(n);
  }
}

// create_erased's word for "the file appeared meanwhile: look again".
const char RECHECK[] = "recheck";
// What a file being made is called until it is whole; one per file, so a
// leftover from a killed simulator is found and reused, never piled up.
const char CREATING_SUFFIX[] = ".kesp-sim-new";
constexpr int STOP_CHECK_CHUNKS = 16;  // erased chunks written between looks at the stop request

bool stop_requested(int stop_fd) {
  if (stop_fd < 0) return false;
  pollfd p = {stop_fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

// Makes path an erased file of the device's size that appears under its
// name only once whole: filled under a temporary name beside it, synced,
// renamed, and the folder synced, so that neither a crash nor a stop nor a
// full disk leaves a short file that would block every restart. On success
// dev.fd is the new file, locked.
std::string create_erased(flash_device &dev, const std::string &path, int stop_fd, bool *stopped) {
  const std::string temp = path + CREATING_SUFFIX;
  std::string refused;
  int fd = open_own_name(temp, O_RDWR | O_CREAT, &refused);
  if (fd < 0) return refused;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    std::string why =
        errno == EWOULDBLOCK ? path + ": in use by another simulator" : errno_text(temp);
    close(fd);
    return why;
  }
  // Whoever held the temporary before us may have finished with it: then
  // the name now leads to a whole file, and ours is a fresh stray.
  auto drop = [&](std::string why) {
    unlink(temp.c_str());
    close(fd);
    return why;
  };
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_size != 0) return drop(RECHECK);
  // A leftover of a killed simulator is ours to reuse.
  if (ftruncate(fd, 0) != 0) return drop(errno_text(temp));
  // Reserving the space first makes a full disk fail at once.
  int rc = posix_fallocate(fd, 0, static_cast<off_t>(dev.size));
  if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) {
    errno = rc;
    return drop("cannot create " + errno_text(path));
  }
  static const std::vector<uint8_t> erased(IO_CHUNK, ERASED);
  int chunks = 0;
  for (uint64_t at = 0; at < dev.size; at += IO_CHUNK) {
    if (++chunks % STOP_CHECK_CHUNKS == 0 && stop_requested(stop_fd)) {
      if (stopped != nullptr) *stopped = true;
      return drop({});
    }
    if (!pwrite_all(fd, erased.data(), std::min<uint64_t>(IO_CHUNK, dev.size - at), at)) {
      return drop("cannot create " + errno_text(path));
    }
  }
  if (fsync(fd) != 0) return drop("cannot create " + errno_text(path));
  // The name must still lead to what we filled: what took its place
  // meanwhile is not ours to move under the flash file's name.
  struct stat named {};
  if (fstat(fd, &st) != 0 || lstat(temp.c_str(), &named) != 0 || named.st_dev != st.st_dev ||
      named.st_ino != st.st_ino) {
    close(fd);
    return temp + ": replaced by something else while kesp-sim made the file";
  }
  if (rename(temp.c_str(), path.c_str()) != 0) return drop("cannot create " + errno_text(path));
  // The new name must survive a crash as well as the bytes.
  sync_folder_of(path);
  // A journal beside a file that was not there belongs to another one.
  unlink((path + JOURNAL_SUFFIX).c_str());
  dev.fd = fd;
  dev.path = path;
  return {};
}

// Takes the file open on fd as the device's store: locked, of the device's
// size (or empty, then made anew) and with any journal settled.
std::string open_existing(flash_device &dev, const std::string &path, int fd, int stop_fd,
                          bool *stopped) {
  auto fail = [&](const std::string &why) {
    close(fd);
    return why;
  };
  // Two simulators writing one file would each believe they own the flash.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return fail(errno == EWOULDBLOCK ? path + ": in use by another simulator" : errno_text(path));
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(errno_text(path));
  if (!S_ISREG(st.st_mode)) return fail(path + ": not a regular file");
  auto held = static_cast<uint64_t>(st.st_size);
  if (held == dev.size) {
    dev.fd = fd;
    dev.path = path;
    std::string why = settle_journal(dev);
    if (!why.empty()) close_device(dev);
    return why;
  }
  if (held != 0) {
    return fail(path + ": holds " + std::to_string(held) + " bytes but the " + dev.name +
                " device has " + std::to_string(dev.size));
  }
  // An empty file is made anew like a missing one; our lock on it keeps
  // others out meanwhile.
  std::string why = create_erased(dev, path, stop_fd, stopped);
  close(fd);
  return why == RECHECK ? path + ": in use by another simulator" : why;
}

}  // namespace

std::string check_geometry(const flash_device &dev) {
  if (dev.block_size == 0) return dev.name + ": erase-block size must not be 0";
  if (dev.size == 0 || dev.size > DEVICE_SIZE_LIMIT) {
    return dev.name + ": size must be between 1 byte and 4 GiB";
  }
  if (dev.size % dev.block_size != 0) {
    return dev.name + ": size must be a multiple of the erase-block size";
  }
  return {};
}

std::string open_backing_file(flash_device &dev, const std::string &path, int stop_fd,
                              bool *stopped) {
  if (stopped != nullptr) *stopped = false;
  // A second look is needed at most once: when another simulator finished
  // making the file while we waited to make it.
  for (int look = 0; look < 2; ++look) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) return open_existing(dev, path, fd, stop_fd, stopped);
    if (errno != ENOENT) return errno_text(path);
    std::string why = create_erased(dev, path, stop_fd, stopped);
    if (why != RECHECK) return why;
  }
  return path + ": in use by another simulator";
}

std::string open_memory(flash_device &dev) {
  int fd = memfd_create(("kesp-sim-" + dev.name).c_str(), MFD_CLOEXEC);
  if (fd < 0) return errno_text(dev.name + " memory");
  if (ftruncate(fd, static_cast<off_t>(dev.size)) != 0 || !fill_erased(fd, 0, dev.size)) {
    std::string why = errno_text(dev.name + " memory");
    close(fd);
    return why;
  }
  dev.fd = fd;
  return {};
}

void close_device(flash_device &dev) {
  if (dev.fd >= 0) close(dev.fd);
  dev.fd = -1;
}

session_record serve_connection(int fd, target &t) {
  t.session_deadline = clock_type::now() + std::chrono::milliseconds(t.session_limit_ms);
  session_record rec;
  const fault_plan &faults = t.faults;
  if (!read_request(fd, t, rec)) return rec;

  const flash_device *dev = &t.nor;
  if ((rec.flags & FLAG_NAND) != 0) dev = t.nand ? &*t.nand : nullptr;
  const uint16_t id = dev != nullptr ? dev->id : 0;
  // An injected refusal only replaces an acceptance: past a real refusal
  // there is no device or no room to work on.
  int32_t refusal = check_request(dev, rec.addr, rec.length);
  if (refusal == ERR_NONE && faults.first_error) refusal = *faults.first_error;

  if (!pause_ms(t, faults.reply_delay_ms)) {
    rec.end = session_end::stopped;
    return rec;
  }
  if (!reply_and_go_on(fd, t, {id, refusal, rec.addr, rec.length, 0}, faults.cut_first, "first",
                       rec)) {
    return rec;
  }

  std::vector<uint8_t> image;
  bool differs = false;
  if (!receive_image(fd, t, refusal == ERR_NONE ? dev : nullptr, rec, image, differs)) return rec;

  // The delay stands for the erase and program time, so a stop during it
  // leaves the flash as it was.
  if (!pause_ms(t, faults.reply_delay_ms + faults.final_delay_ms)) {
    rec.end = session_end::stopped;
    return rec;
  }
  if (faults.final_error) {
    rec.verdict = *faults.final_error;
  } else if (refusal != ERR_NONE) {
    rec.verdict = refusal;
  } else if ((rec.flags & FLAG_COMPARE) != 0) {
    rec.verdict = differs ? ERR_COMPARE_FAILED : ERR_NONE;
  } else {
    rec.verdict = program(t, *dev, rec.addr, image);
    rec.written = !image.empty();
  }
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

std::string describe(const session_record &rec) {
  if (rec.end == session_end::start) return "start request";
  if (!rec.have_request) {
    std::string why = rec.end == session_end::silent    ? "client went silent"
                      : rec.end == session_end::stopped ? "stopped"
                      : rec.end == session_end::expired ? "session limit reached"
                                                        : "client went away";
    return why + " before a whole request (" + std::to_string(rec.request_bytes) + " bytes)";
  }
  char crc[16];
  snprintf(crc, sizeof crc, "%08x", rec.crc);
  std::string line = (rec.flags & FLAG_COMPARE) != 0 ? "compare" : "update";
  line += (rec.flags & FLAG_NAND) != 0 ? " nand" : " nor";
  line += " addr=" + hex(rec.addr) + " size=" + std::to_string(rec.length) + " crc=" + crc + ": ";
  std::string progress =
      " after " + std::to_string(rec.received) + " of " + std::to_string(rec.length) + " bytes";
  std::string verdict = rec.verdict == ERR_NONE
                            ? std::string("done")
                            : "failed (addr = " + hex(rec.reply_addr) + ", error = \"" +
                                  flash_error_str(rec.verdict) + "\")";
  if (!rec.judged) verdict.clear();
  switch (rec.end) {
    case session_end::replied:
      return line + verdict;
    case session_end::gone:
      return line + "client went away" + progress;
    case session_end::silent:
      return line + "client went silent" + progress;
    case session_end::stopped:
      return line + "stopped" + progress;
    case session_end::expired:
      return line + "session limit reached" + progress;
    case session_end::send_fail:
    case session_end::injected:
      return line + (rec.judged ? verdict + ", " : std::string()) + rec.note;
    default:
      return line + verdict;
  }
}
