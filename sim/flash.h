// The simulated target's flash devices and where they keep their content:
// a file, changed all at once through a journal beside it, or anonymous
// memory. Nothing here knows of connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

// Erases the blocks the image touches and programs it at addr, which the
// caller has checked against the device. A real part has no half-erased
// block, so everything around the image within them reads erased
// afterwards. A file-backed device changes all at once through the journal;
// the new content is synced before this returns. pace is called after each
// piece written, as a slow part would take its time; once it returns false
// it is not called again. Returns the final reply's error code.
int32_t program(const flash_device &dev, uint32_t addr, const std::vector<uint8_t> &image,
                const std::function<bool()> &pace);

// Reads n bytes of the flash from device offset at; false if the store
// could not be read.
bool read_flash(const flash_device &dev, uint8_t *buf, size_t n, uint64_t at);
