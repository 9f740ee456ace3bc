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

struct snapshot_copy;  // the copy and its SHA-256 as they are being made
struct snapshot_copy_free {
  void operator()(snapshot_copy *c) const;
};

class snapshot {
 public:
  snapshot() = default;
  ~snapshot();
  snapshot(const snapshot &) = delete;
  snapshot &operator=(const snapshot &) = delete;
  snapshot(snapshot &&other) noexcept;
  snapshot &operator=(snapshot &&other) noexcept;

  // Copies the file at path: its first size() bytes, the size it had when
  // judged. "" when it can be sent, else why not. A small image is copied
  // when this returns; a large one is still being copied beside the
  // caller, ready() saying how far.
  std::string take(const std::string &path);

  // The copy: read it with pread below ready(); nothing can change, grow
  // or shrink those bytes. -1 before a take succeeded.
  [[nodiscard]] int fd() const { return fd_; }
  // Bytes from the start of the copy that are final: size() once it is
  // made. Below size(), *why (when given) says why no more will come, or
  // is left alone while more are on their way.
  size_t ready(std::string *why = nullptr) const;
  [[nodiscard]] uint32_t size() const { return size_; }
  // The copy's SHA-256 in 64 lower-case hexadecimal digits; waits for the
  // copy when it is still being made; "" when it failed.
  [[nodiscard]] const std::string &sha256() const;

 private:
  void release();

  int fd_ = -1;
  uint32_t size_ = 0;
  // The copy as it is being made, until sha256() has its result.
  mutable std::unique_ptr<snapshot_copy, snapshot_copy_free> copy_;
  mutable std::string sha256_;
};
