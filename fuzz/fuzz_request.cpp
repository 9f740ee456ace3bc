// Fuzzes the simulated target's handling of one connection. The input's
// first bytes choose how the client leaves and which fault the target
// commits; the rest is every byte the client ever sends. The whole stream is
// in the socket before the target looks at it, so nothing here should ever
// wait. The replies, the session record and both flash devices afterwards
// are held against what an independent reading of the same bytes says.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crc32.h"
#include "target.h"
#include "wire.h"

namespace {

constexpr size_t CONTROL_SIZE = 3;         // mode byte, then a 16-bit big-endian fault parameter
constexpr size_t STREAM_LIMIT = 8 * 1024;  // client bytes per run: several blocks, a few receives
constexpr uint8_t CLIENT_CLOSES = 0x01;    // mode bit: close instead of shutting down sending
constexpr uint8_t NO_NAND = 0x02;          // mode bit: the target has no NAND device
constexpr unsigned FAULT_SHIFT = 2;        // mode bits 2..4 pick the fault
constexpr unsigned FAULT_MASK = 0x7;
// Only a wait that should not happen can take this long, and it then shows
// as a silent client, which the checks reject.
constexpr int IDLE_MS = 100;
constexpr uint8_t ERASED = 0xFF;    // every byte of an erased block
constexpr size_t ID_AND_ERROR = 6;  // flash_id and error: all of the first reply a client uses

// Small devices so that addresses and lengths reach the edges; the NAND
// differs in size and block so that using the wrong geometry shows.
constexpr uint64_t NOR_SIZE = 64 * 1024;
constexpr uint64_t NOR_BLOCK = 4 * 1024;
constexpr uint64_t NAND_SIZE = 32 * 1024;
constexpr uint64_t NAND_BLOCK = 8 * 1024;
constexpr uint16_t NOR_ID = 0x0189;   // flash_id of the NOR device
constexpr uint16_t NAND_ID = 0x2CDA;  // flash_id of the NAND device

// Trickled and delayed replies are left out: they change only the timing,
// and each would cost a run tens of milliseconds.
enum fault_kind : unsigned {
  NO_FAULT,
  FIRST_ERROR,
  FINAL_ERROR,
  CLOSE_AFTER,
  RESET_AFTER,
  NO_FINAL_REPLY,
  CUT_FIRST,
  CUT_FINAL,
};

// A device with what every run starts from, and room to read what a run
// left.
struct device_slot {
  flash_device dev;
  std::vector<uint8_t> initial;  // what every run starts from
  std::vector<uint8_t> now;      // what the flash holds after a run
};

device_slot nor_slot;
device_slot nand_slot;

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "fuzz_request: %s\n", what);
  abort();
}

void check(bool ok, const char *what) {
  if (!ok) fail(what);
}

// Programmed content that is never the erased value, so that an erase shows,
// with the last block left erased as on a part not filled up.
void open_slot(device_slot &slot, const char *name, uint16_t id, uint64_t size, uint64_t block,
               unsigned salt) {
  slot.dev = {name, id, size, block, -1, {}, {}};
  if (!open_memory(slot.dev).empty()) fail("open_memory");
  slot.initial.assign(size, ERASED);
  for (size_t i = 0; i + block < size; ++i) {
    slot.initial[i] = static_cast<uint8_t>((i * 131 + salt) % 251);
  }
  slot.now.resize(size);
  check(write_flash(slot.dev, slot.initial.data(), size, 0), "write_flash");
}

struct run_setup {
  bool client_closes;
  bool nand_present;
  fault_kind fault;
  uint16_t param;
  const uint8_t *stream;
  size_t n;
};

fault_plan plan_for(const run_setup &r) {
  fault_plan plan;
  // Error codes are signed on the wire; the parameter reaches both signs.
  auto error = static_cast<int32_t>(static_cast<int16_t>(r.param));
  switch (r.fault) {
    case FIRST_ERROR:
      plan.first_error = error;
      break;
    case FINAL_ERROR:
      plan.final_error = error;
      break;
    case CLOSE_AFTER:
      plan.close_after = r.param;
      break;
    case RESET_AFTER:
      plan.reset_after = r.param;
      break;
    case NO_FINAL_REPLY:
      plan.no_final_reply = true;
      break;
    case CUT_FIRST:
      plan.cut_first = r.param;
      break;
    case CUT_FINAL:
      plan.cut_final = r.param;
      break;
    case NO_FAULT:
      break;
  }
  return plan;
}

// What the target must do with the stream, worked out from the bytes alone.
struct outcome {
  session_end end = session_end::gone;
  bool have_request = false;
  uint32_t flags = 0;
  uint32_t addr = 0;
  uint32_t length = 0;
  uint32_t received = 0;
  uint32_t crc = 0;
  bool judged = false;
  int32_t verdict = ERR_NONE;
  const device_slot *written_to = nullptr;  // the device a download changed
  const uint8_t *image = nullptr;
  flash_reply first{};
  flash_reply final{};
  size_t first_bytes = 0;  // of the first reply, as the client receives it
  size_t final_bytes = 0;
  // The target may drop the connection with client bytes unread, which the
  // client sees as a reset: when told to, and after a start request, which
  // has no reply for anyone to wait for.
  bool may_reset = false;
};

outcome expect(const run_setup &r) {
  outcome o;
  const uint8_t *s = r.stream;
  if (r.n < WORD_SIZE) return o;
  const request_header header = decode_header(s);
  if (header.length == 0 && header.flags == 0) {
    o.end = session_end::start;
    o.may_reset = true;
    return o;
  }
  o.flags = header.flags;
  o.length = header.length;
  size_t at = WORD_SIZE;
  if ((o.flags & FLAG_ADDRESS) != 0) {
    if (r.n < 2 * WORD_SIZE) return o;
    o.addr = get_be32(s + WORD_SIZE);
    at += WORD_SIZE;
  }
  o.have_request = true;

  const bool compare = (o.flags & FLAG_COMPARE) != 0;
  const device_slot *slot = &nor_slot;
  if ((o.flags & FLAG_NAND) != 0) slot = r.nand_present ? &nand_slot : nullptr;
  const uint16_t id = slot != nullptr ? slot->dev.id : 0;
  int32_t refusal = ERR_NONE;
  if (slot == nullptr) {
    refusal = ERR_NO_DEVICE;
  } else if (o.addr >= slot->dev.size) {
    refusal = ERR_INVALID_ADDRESS;
  } else if (uint64_t{o.addr} + o.length > slot->dev.size) {
    refusal = ERR_INVALID_SIZE;
  }
  const fault_plan plan = plan_for(r);
  if (refusal == ERR_NONE && plan.first_error) refusal = *plan.first_error;
  o.first = {id, refusal, o.addr, o.length, 0};

  const size_t first_size = std::min(plan.cut_first.value_or(REPLY_SIZE), REPLY_SIZE);
  // A client that closed has nowhere to take a reply: the first byte sent fails.
  if (r.client_closes && first_size > 0) {
    o.end = session_end::send_fail;
    return o;
  }
  o.first_bytes = r.client_closes ? 0 : first_size;
  if (plan.cut_first) {
    o.end = session_end::injected;
    return o;
  }

  const size_t available = r.n - at;
  std::optional<uint32_t> stop;
  if (r.fault == CLOSE_AFTER || r.fault == RESET_AFTER) {
    if (r.param <= o.length) stop = r.param;
  }
  const uint32_t needed = stop.value_or(o.length);
  o.received = static_cast<uint32_t>(std::min<size_t>(available, needed));
  o.crc = crc32_update(0, s + at, o.received);
  if (available < needed) return o;
  if (stop) {
    o.end = session_end::injected;
    o.may_reset = r.fault == RESET_AFTER;
    return o;
  }

  o.image = s + at;
  o.judged = true;
  std::optional<uint32_t> first_difference;
  if (compare && refusal == ERR_NONE) {
    const uint8_t *flash = slot->initial.data() + o.addr;
    auto [mine, theirs] = std::mismatch(flash, flash + o.length, o.image);
    if (mine != flash + o.length) first_difference = o.addr + static_cast<uint32_t>(mine - flash);
  }
  if (plan.final_error) {
    o.verdict = *plan.final_error;
  } else if (refusal != ERR_NONE) {
    o.verdict = refusal;
  } else if (first_difference) {
    o.verdict = ERR_COMPARE_FAILED;
  }
  if (!plan.final_error && refusal == ERR_NONE && !compare && o.length > 0) o.written_to = slot;
  const uint32_t reply_addr =
      o.verdict != ERR_NONE && first_difference ? *first_difference : o.addr;
  o.final = {id, o.verdict, reply_addr, o.received, o.crc};

  if (plan.no_final_reply) {
    o.end = session_end::injected;
    return o;
  }
  o.final_bytes = std::min(plan.cut_final.value_or(REPLY_SIZE), REPLY_SIZE);
  o.end = plan.cut_final ? session_end::injected : session_end::replied;
  return o;
}

void check_record(const session_record &rec, const outcome &o, const run_setup &r) {
  check(rec.end != session_end::silent, "the target waited for input that was never coming");
  check(rec.end == o.end, "the session ended another way than the stream says");
  check(rec.have_request == o.have_request, "request taken as whole when it was not, or not");
  if (!o.have_request) {
    if (o.end == session_end::gone) check(rec.request_bytes == r.n, "request bytes miscounted");
    return;
  }
  check(rec.flags == o.flags && rec.addr == o.addr && rec.length == o.length,
        "request words misread");
  check(rec.received == o.received, "image bytes miscounted");
  check(rec.crc == o.crc, "checksum is not that of the bytes received");
  check(rec.judged == o.judged, "judged without the whole image, or not judged with it");
  if (o.judged) check(rec.verdict == o.verdict, "wrong verdict");
  check(rec.written == (o.written_to != nullptr), "record says written when it was not, or not");
  check(!describe(rec).empty(), "no log line for the session");
}

void check_replies(const std::vector<uint8_t> &got, const outcome &o) {
  check(got.size() == o.first_bytes + o.final_bytes,
        "replies are not whole records (nor cut where the fault says)");
  uint8_t want[REPLY_SIZE];
  if (o.first_bytes > 0) {
    encode_reply(want, o.first);
    const size_t n = std::min(o.first_bytes, ID_AND_ERROR);
    check(memcmp(got.data(), want, n) == 0, "first reply has the wrong flash_id or error");
  }
  if (o.final_bytes > 0) {
    encode_reply(want, o.final);
    check(memcmp(got.data() + o.first_bytes, want, o.final_bytes) == 0,
          "final reply differs from the verdict on the bytes received");
  }
}

bool all_equal(const uint8_t *p, size_t n, uint8_t value) {
  return std::all_of(p, p + n, [value](uint8_t b) { return b == value; });
}

// A download erases whole blocks around the image and leaves every other
// block alone; anything else must be exactly as before.
void check_flash(device_slot &slot, const outcome &o) {
  const size_t size = slot.dev.size;
  check(read_flash(slot.dev, slot.now.data(), size, 0), "read_flash");
  const uint8_t *now = slot.now.data();
  const uint8_t *before = slot.initial.data();
  if (o.written_to != &slot) {
    check(memcmp(now, before, size) == 0, "flash changed without a completed download");
    return;
  }
  const size_t block = slot.dev.block_size;
  const size_t addr = o.addr;
  const size_t end = addr + o.length;
  const size_t first_block = addr / block * block;
  const size_t past_block = (end + block - 1) / block * block;
  check(memcmp(now, before, first_block) == 0, "a download changed blocks before the image");
  check(memcmp(now + past_block, before + past_block, size - past_block) == 0,
        "a download changed blocks after the image");
  check(all_equal(now + first_block, addr - first_block, ERASED) &&
            all_equal(now + end, past_block - end, ERASED),
        "the image's blocks are not erased around it");
  check(memcmp(now + addr, o.image, o.length) == 0, "the image is not in the flash at its address");
}

void restore(device_slot &slot) {
  if (slot.now != slot.initial) {
    check(write_flash(slot.dev, slot.initial.data(), slot.initial.size(), 0), "write_flash");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  open_slot(nor_slot, "nor", NOR_ID, NOR_SIZE, NOR_BLOCK, 7);
  open_slot(nand_slot, "nand", NAND_ID, NAND_SIZE, NAND_BLOCK, 91);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < CONTROL_SIZE) return 0;
  const uint8_t mode = data[0];
  run_setup r{};
  r.client_closes = (mode & CLIENT_CLOSES) != 0;
  r.nand_present = (mode & NO_NAND) == 0;
  r.fault = static_cast<fault_kind>(mode >> FAULT_SHIFT & FAULT_MASK);
  r.param = static_cast<uint16_t>(data[1] << 8 | data[2]);
  r.stream = data + CONTROL_SIZE;
  r.n = std::min(size - CONTROL_SIZE, STREAM_LIMIT);

  target t;
  t.nor = nor_slot.dev;
  if (r.nand_present) t.nand = nand_slot.dev;
  t.faults = plan_for(r);
  t.idle_timeout_ms = IDLE_MS;

  int pair[2];
  check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  const int target_end = pair[0];
  const int client_end = pair[1];
  // Non-blocking, so that a stream the socket cannot hold fails the run
  // instead of hanging it; the limit keeps it far below the buffer.
  check(fcntl(client_end, F_SETFL, O_NONBLOCK) == 0, "fcntl");
  if (r.n > 0) {
    check(send(client_end, r.stream, r.n, MSG_NOSIGNAL) == static_cast<ssize_t>(r.n),
          "the stream does not fit in the socket");
  }
  if (r.client_closes) {
    close(client_end);
  } else {
    shutdown(client_end, SHUT_WR);
  }

  const session_record rec = serve_connection(target_end, t);
  close(target_end);

  // The target's end is closed, so this reads up to an end of stream that
  // is already there.
  const outcome o = expect(r);
  std::vector<uint8_t> replies;
  if (!r.client_closes) {
    uint8_t buf[256];
    ssize_t got = 0;
    while ((got = recv(client_end, buf, sizeof buf, 0)) > 0) {
      replies.insert(replies.end(), buf, buf + got);
    }
    check(got == 0 || (o.may_reset && errno == ECONNRESET),
          "replies did not end in an orderly close");
    close(client_end);
  }

  check_record(rec, o, r);
  check_replies(replies, o);
  check_flash(nor_slot, o);
  check_flash(nand_slot, o);
  restore(nor_slot);
  restore(nand_slot);
  return 0;
}
