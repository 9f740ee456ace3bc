// An image as the run checked it, copied once into sealed memory: whatever
// happens to the file afterwards (rewritten in place, cut short, replaced),
// every board and every retry is sent these bytes and no others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Writes all n bytes to the file fd, continuing short writes and retrying
// EINTR, as a copy into a snapshot's memory is filled. False with errno.
bool write_all(int fd, const void *bytes, size_t n);

struct snapshot_digest;  // a SHA-256 being taken of the sealed copy
struct snapshot_digest_free {
  void operator()(snapshot_digest *d) const;
};

class snapshot {
 public:
  snapshot() = default;
  ~snapshot();
  snapshot(const snapshot &) = delete;
  snapshot &operator=(const snapshot &) = delete;
  snapshot(snapshot &&other) noexcept;
  snapshot &operator=(snapshot &&other) noexcept;

  // Copies the file at path. "" when it can be sent, else why not. The
  // copy is sealed when this returns; its SHA-256 of a large image may
  // still be under way beside the caller.
  std::string take(const std::string &path);

  // The copy, sealed: read it with pread at any offset; nothing can
  // change, grow or shrink it. -1 before a take succeeded.
  [[nodiscard]] int fd() const { return fd_; }
  [[nodiscard]] uint32_t size() const { return size_; }
  // The copy's SHA-256 in 64 lower-case hexadecimal digits; waits for the
  // digest when it is still being taken.
  [[nodiscard]] const std::string &sha256() const;

 private:
  void release();

  int fd_ = -1;
  uint32_t size_ = 0;
  mutable std::unique_ptr<snapshot_digest, snapshot_digest_free>
      digest_;  // until sha256() has its result
  mutable std::string sha256_;
};
