// The simulated target's flash devices and where they keep their content:
// a file, changed all at once through a journal beside it, or memory taken
// only where written. Nothing here knows of connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Addresses on the wire are 32 bits wide, so no device may be larger.
inline constexpr uint64_t DEVICE_SIZE_LIMIT = uint64_t{1} << 32;
// Bytes per piece read from or written to a store; the scratch buffers the
// functions below take hold this many.
inline constexpr size_t FLASH_CHUNK = size_t{64} * 1024;

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
  int fd = -1;              // the backing file; -1 in memory
  std::string path;         // the file's, beside which its journal lies; empty in memory
  // Tests only: an errno value to fail that step with, or 0.
  std::function<int(write_step)> inject;
  // In memory: the content, every byte inverted, so that pages never
  // written read erased without taking memory.
  uint8_t *memory = nullptr;
  // In memory: a bit per page that may hold more than erased bytes. The
  // others are read as erased without being touched, as some systems take
  // memory for a page that is only read.
  std::vector<uint64_t> held{};
  // A whole journal whose writing into the file failed: the file is torn
  // until it is applied, so no request is served before.
  bool journal_pending = false;
};

// Checks the geometry; returns an empty string or why it is unusable.
std::string check_geometry(const flash_device &dev);

// What the simulator calls the files it makes beside a flash file.
std::string journal_name(const std::string &path);
std::string temporary_name(const std::string &path);

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

// Gives the device an erased store in memory, gone at exit. Memory is
// reserved as address space only: it is taken as the flash is written.
std::string open_memory(flash_device &dev);

void close_device(flash_device &dev);

// Completes a write that failed half way into the file, from its journal.
// Returns an empty string, or why the device still cannot be used.
std::string settle_pending(flash_device &dev);

// One download on its way into a device: the image is gathered as it
// arrives, in the journal beside a file, or in place in memory with the old
// content of each page it changes put aside; the device is seen to change
// only once the whole image is there. Dropping it unfinished leaves the
// device as it was.
class staged_write {
 public:
  staged_write() = default;
  ~staged_write();
  staged_write(const staged_write &) = delete;
  staged_write &operator=(const staged_write &) = delete;
  staged_write(staged_write &&) = delete;
  staged_write &operator=(staged_write &&) = delete;

  // Starts a write of length bytes at addr, which the caller has checked
  // against the device.
  void begin(flash_device &dev, uint32_t addr, uint32_t length);
  // Takes the next n image bytes.
  void take(const uint8_t *bytes, size_t n);
  // Erases the blocks the image touches and programs it: everything around
  // the image within them reads erased afterwards, as a real part has no
  // half-erased block. A file-backed device changes all at once through
  // the journal, synced before this returns. pace is called after each
  // piece written into the flash, as a slow part takes its time; once it
  // returns false it is not called again. scratch holds FLASH_CHUNK bytes.
  // Returns the final reply's error code.
  int32_t finish(uint8_t *scratch, const std::function<bool()> &pace);
  // Why the write failed when the simulator's host is to blame (a full
  // disk, no descriptor or memory left, an I/O error); empty otherwise.
  [[nodiscard]] const std::string &trouble() const { return trouble_; }

 private:
  void fail(int32_t code, std::string why);
  void drop();
  void take_in_memory(const uint8_t *bytes, size_t n);
  void put_back();

  flash_device *dev_ = nullptr;
  uint32_t addr_ = 0;
  uint32_t length_ = 0;
  uint32_t taken_ = 0;
  uint64_t first_block_ = 0;
  uint64_t past_block_ = 0;
  uint32_t crc_ = 0;            // of the journal's content so far
  int journal_ = -1;  // the journal being written
  // In memory: the old content of the pages the image changed, at the
  // same place as in the device from the image's first page on; only the
  // pages that held more than erased bytes take memory here.
  uint8_t *undo_ = nullptr;
  uint64_t undo_from_ = 0;  // the image's first page, as a device offset
  uint64_t undo_size_ = 0;  // bytes mapped at undo_
  // Per page from undo_from_ on: what became of it (page_state in flash.cpp).
  std::vector<uint8_t> pages_;
  int32_t failed_ = 0;          // the verdict, once the write cannot succeed
  std::string trouble_;
};

// Reads n bytes of the flash from device offset at; false, with errno set,
// if the store could not be read.
bool read_flash(const flash_device &dev, uint8_t *buf, size_t n, uint64_t at);
// Writes n bytes at device offset at, as they are, for tests that set the
// flash up; false, with errno set, if the store could not be written.
bool write_flash(flash_device &dev, const uint8_t *bytes, size_t n, uint64_t at);
