// The simulated target's loader: its flash devices, the faults it can be told
// to commit, and the handling of one connection. Nothing here listens or
// parses a command line, so tests and fuzzers can drive a connection over a
// socketpair.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "wire.h"

// Addresses on the wire are 32 bits wide, so no device may be larger.
inline constexpr uint64_t DEVICE_SIZE_LIMIT = uint64_t{1} << 32;

// The steps of a write to a file-backed device, for tests that make one fail.
enum class write_step {
  journal,  // writing the journal of the new block contents
  apply,    // writing the new contents into the file
};

struct flash_device {
  std::string name;         // "nor" or "nand", for the log
  uint16_t id = 0;          // flash_id in both replies
  uint64_t size = 0;        // bytes, a multiple of block_size
  uint64_t block_size = 0;  // erase unit
  int fd = -1;              // backing store: a regular file or anonymous memory
  std::string path;         // the file's, beside which its journal lies; empty in memory
  // Tests only: an errno value to fail that step with, or 0.
  std::function<int(write_step)> inject;
};

// Checks the geometry; returns an empty string or why it is unusable.
std::string check_geometry(const flash_device &dev);

// Opens path as the device's store, locked against a second simulator. A
// write that a dead simulator left half done is completed from its journal
// (PATH.journal) when that is whole, and otherwise dropped with the old
// content intact.
// A missing or empty file is created erased at the device size, appearing
// under its name only once whole; a file of any other size is refused
// rather than guessed at. Creation gives up, leaving nothing behind, once
// stop_fd is readable, and says so in *stopped. Returns an empty string or
// why it failed.
std::string open_backing_file(flash_device &dev, const std::string &path, int stop_fd = -1,
                              bool *stopped = nullptr);

// Gives the device an erased store in anonymous memory, gone at exit.
std::string open_memory(flash_device &dev);

void close_device(flash_device &dev);

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
};

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
};

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
  bool written = false;  // the flash was changed
  std::string note;      // what went wrong, for the log
};

// Handles one connection: reads the request and the image, answers, and
// leaves fd ready to be closed (a reset fault arms it to reset on close).
// The flash changes only once a whole image has arrived, and the backing
// store is synced before the final reply goes out.
session_record serve_connection(int fd, target &t);

// The log line for a record, without the program's prefix or a line end.
std::string describe(const session_record &rec);
