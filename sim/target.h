// The simulated target's loader: the faults it can be told to commit, and
// the handling of one connection over its flash devices. Nothing here
// listens or parses a command line, so tests and fuzzers can drive a
// connection over a socketpair.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "flash.h"
#include "wire.h"

// Misbehaviour to commit on every connection; all off by default.
struct fault_plan {
  std::optional<int32_t> first_error;   // refuse the request with this code
  std::optional<int32_t> final_error;   // report this instead of the verdict; write nothing
  std::optional<uint32_t> close_after;  // image bytes, then an orderly close
  std::optional<uint32_t> reset_after;  // image bytes, then a reset
  bool no_final_reply = false;          // do the work, then close instead of replying
  std::optional<size_t> cut_first;      // reply bytes of the first reply, then close
  std::optional<size_t> cut_final;      // reply bytes of the final reply, then close
  bool trickle = false;                 // replies one byte at a time
  int reply_delay_ms = 0;               // before each reply
  int final_delay_ms = 0;               // before the final reply, on top of the above
  int write_delay_ms = 0;               // after each 64 KiB written into the flash
  int erase_time_ms = 0;                // per erase block an update touches
  int program_time_us = 0;              // per KiB an update programs
  std::optional<uint16_t> nor_id;       // flash_id the NOR reports instead of its own
};

// How long an update of length bytes at addr takes the part to erase and
// program, by the plan's flash timing.
int flash_time_ms(const fault_plan &faults, const flash_device &dev, uint32_t addr,
                  uint32_t length);

struct target {
  flash_device nor;
  std::optional<flash_device> nand;
  fault_plan faults;
  int idle_timeout_ms = 10000;  // a client silent this long is dropped
  // A client still connected this long after it came is dropped, however
  // it trickles: no real transfer comes near it.
  int session_limit_ms = 3600 * 1000;
  std::chrono::steady_clock::time_point session_deadline;  // of the connection being served
  int stop_fd = -1;  // readable once the simulator must stop; -1 for never
  // Readable once the board is pulled out of its slot: the connection
  // being served ends at its next wait, as stop_fd ends it. -1 for never.
  int pull_fd = -1;
  // What a connection works in: received bytes, and flash read or copied.
  // Taken by claim_buffers, or by the first connection that needs them.
  std::vector<uint8_t> chunk;
  std::vector<uint8_t> scratch;
  int reads_unwatched = 0;  // reads since the connection last looked at stop_fd and pull_fd
};

// Takes the memory every connection of t works in, so that a simulator can
// hold it before it says it is ready.
void claim_buffers(target &t);
// The memory claim_buffers takes.
inline constexpr size_t SESSION_BUFFERS = 2 * FLASH_CHUNK;

// How a connection ended.
enum class session_end {
  start,      // a start request
  replied,    // both replies went out, whatever the verdict
  gone,       // the client closed or reset before the transaction was over
  silent,     // the client sent nothing for the idle time-out
  expired,    // the session limit passed
  stopped,    // stop_fd fired
  injected,   // a fault ended it early
  send_fail,  // a reply could not be sent
  pulled,     // pull_fd fired: the board left its slot
};

struct session_record {
  session_end end = session_end::gone;
  bool have_request = false;  // header (and address) arrived whole
  size_t request_bytes = 0;   // request bytes that arrived, when not whole
  uint32_t flags = 0;
  uint32_t addr = 0;
  uint32_t length = 0;    // announced image bytes
  uint32_t received = 0;  // image bytes that arrived
  uint32_t crc = 0;       // of the bytes that arrived
  bool judged = false;    // the whole image arrived and the verdict was reached
  int32_t verdict = 0;    // error code of the final reply (or the one it would have had)
  uint32_t reply_addr = 0;
  int32_t refusal = 0;    // error code of the first reply
  bool written = false;   // the image went into the flash
  size_t reply_sent = 0;  // bytes of a reply that went out before a stop
  std::string note;       // what went wrong, for the log
  std::string trouble;    // the simulator's own host trouble behind the verdict, for the log
};

// Handles one connection: reads the request and the image, answers, and
// leaves fd ready to be closed (a reset fault arms it to reset on close).
// The flash changes only once a whole image has arrived, and the backing
// store is synced before the final reply goes out.
session_record serve_connection(int fd, target &t);

// The log line for a record, without the program's prefix or a line end.
std::string describe(const session_record &rec);
