#include "flash.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <vector>

#include "crc32.h"
#include "wire.h"

namespace {

constexpr uint8_t ERASED = 0xFF;  // the value of every byte of an erased block

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
    const int saved = errno;
    // ENXIO: a FIFO opened for writing with no reader.
    if (errno == ELOOP) {
      *why = name + ": a symbolic link, which kesp-sim does not follow" + REMOVE_IT;
    } else if (errno == ENXIO) {
      *why = name + ": not a regular file" + REMOVE_IT;
    } else if (errno != ENOENT || (flags & O_CREAT) != 0) {
      *why = errno_text(name);
    }
    errno = saved;
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
  errno = EEXIST;  // something is in the way
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

// Calls put(bytes, n, device offset) for erased pieces covering [from, to),
// in order; false as soon as put is. Every erased byte the simulator writes
// comes from here.
template <typename Put>
bool each_erased_piece(uint64_t from, uint64_t to, Put put) {
  static const std::vector<uint8_t> erased(FLASH_CHUNK, ERASED);
  for (uint64_t at = from; at < to; at += FLASH_CHUNK) {
    if (!put(erased.data(), std::min<uint64_t>(FLASH_CHUNK, to - at), at)) return false;
  }
  return true;
}

// Makes a name made or removed in path's folder survive a crash; false,
// with errno set, when it could not.
bool sync_folder_of(const std::string &path) {
  auto dir = std::filesystem::absolute(path).parent_path();
  int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return false;
  bool synced = fsync(dir_fd) == 0;
  int saved = errno;
  close(dir_fd);
  errno = saved;
  return synced;
}

// In memory every byte is kept inverted, so that the zero pages the
// system lends for memory never written read erased. This and
// changes_flash go over every byte a board receives: built for 256-bit
// registers too, where the processor has them.
__attribute__((target_clones("avx2", "default"))) void copy_inverted(uint8_t *to,
                                                                     const uint8_t *from,
                                                                     size_t n) {
  for (size_t i = 0; i < n; ++i) to[i] = static_cast<uint8_t>(~from[i]);
}

// Memory of the process's own, reserved as address space only: pages are
// the system's shared zero page until written, and go back to the system
// when unmapped. Null, with errno set, when even the address space is short.
uint8_t *map_anonymous(size_t n) {
  constexpr int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;
  // cppcheck's model of mmap takes no -1 for the descriptor, which is what
  // an anonymous mapping is given.
  // cppcheck-suppress invalidFunctionArg
  void *p = mmap(nullptr, n, PROT_READ | PROT_WRITE, flags, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
}

size_t page_size() {
  static const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

constexpr uint64_t HELD_BITS = 64;  // pages per word of flash_device::held

bool is_held(const flash_device &dev, uint64_t at) {
  const uint64_t page = at / page_size();
  return (dev.held[page / HELD_BITS] >> (page % HELD_BITS) & 1) != 0;
}

void set_held(flash_device &dev, uint64_t at, bool held) {
  const uint64_t page = at / page_size();
  const uint64_t bit = uint64_t{1} << (page % HELD_BITS);
  dev.held[page / HELD_BITS] = held ? dev.held[page / HELD_BITS] | bit
                                    : dev.held[page / HELD_BITS] & ~bit;
}

// Calls piece(device offset, n) for the pieces of [at, at + n) that lie in
// one page each, in order.
template <typename Piece>
void each_page_piece(uint64_t at, size_t n, Piece piece) {
  const uint64_t page = page_size();
  while (n > 0) {
    const auto part = static_cast<size_t>(std::min<uint64_t>(n, at / page * page + page - at));
    piece(at, part);
    at += part;
    n -= part;
  }
}

// Whether writing bytes at flash (kept inverted) would change anything:
// loading the image a board already holds takes no memory.
__attribute__((target_clones("avx2", "default"))) bool changes_flash(const uint8_t *flash,
                                                                     const uint8_t *bytes,
                                                                     size_t n) {
  uint8_t differ = 0;
  for (size_t i = 0; i < n; ++i) differ |= static_cast<uint8_t>(flash[i] ^ ~bytes[i]);
  return differ != 0;
}

// Lets the system give [from, to) of a device in memory large pages where
// they lie wholly within it: a fresh load faults in every page it writes,
// and at 4 KiB a page the faults cost more than the transfer. Only what an
// image covers is asked for, so a large page is never taken for less than
// its size in image bytes. Without such pages, nothing changes.
void take_whole_pages(const uint8_t *from, const uint8_t *to) {
  constexpr uintptr_t LARGE_PAGE = uintptr_t{2} << 20;
  const uintptr_t first = (reinterpret_cast<uintptr_t>(from) + LARGE_PAGE - 1) & ~(LARGE_PAGE - 1);
  const uintptr_t past = reinterpret_cast<uintptr_t>(to) & ~(LARGE_PAGE - 1);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a page boundary inside the device's mapping
  if (first < past) madvise(reinterpret_cast<void *>(first), past - first, MADV_HUGEPAGE);
}

// What a write in memory did to each page its image touches.
enum page_state : uint8_t {
  PAGE_UNTOUCHED = 0,   // as it was
  PAGE_WAS_ERASED = 1,  // changed; it held erased bytes only, so it goes back to the system
  PAGE_KEPT = 2,        // changed; its old content is in the write's undo mapping
};

// Erases [from, to) of a device in memory: whole pages go back to the
// system, and the rest is cleared only where it is not already clear, so
// that erasing what was never written takes no memory.
void erase_memory(flash_device &dev, uint64_t from, uint64_t to) {
  const uint64_t page = page_size();
  uint64_t first_page = (from + page - 1) / page * page;
  uint64_t past_page = to / page * page;
  auto clear = [&](uint64_t a, uint64_t b) {
    each_page_piece(a, static_cast<size_t>(b - a), [&](uint64_t at, size_t n) {
      uint8_t *p = dev.memory + at;
      if (is_held(dev, at) && std::any_of(p, p + n, [](uint8_t v) { return v != 0; })) {
        std::fill(p, p + n, 0);
      }
    });
  };
  if (first_page >= past_page) {
    clear(from, to);
    return;
  }
  clear(from, first_page);
  if (madvise(dev.memory + first_page, past_page - first_page, MADV_DONTNEED) == 0) {
    for (uint64_t at = first_page; at < past_page; at += page) set_held(dev, at, false);
  } else {
    for (uint64_t at = first_page; at < past_page; at += page) clear(at, at + page);
  }
  clear(past_page, to);
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

bool fail_step(const flash_device &dev, write_step step) {
  if (!dev.inject) return false;
  int code = dev.inject(step);
  if (code == 0) return false;
  errno = code;
  return true;
}

// Settles the journal that a simulator which died mid-write left beside
// dev's file: applied and synced when whole, dropped when torn. Returns an
// empty string or why the file could not be brought up to date.
std::string settle_journal(const flash_device &dev) {
  const std::string journal = journal_name(dev.path);
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
  std::vector<uint8_t> chunk(FLASH_CHUNK);
  uint32_t crc = 0;
  for (uint64_t at = 0; at < h.length; at += FLASH_CHUNK) {
    auto n = static_cast<size_t>(std::min<uint64_t>(FLASH_CHUNK, h.length - at));
    if (!pread_all(fd, chunk.data(), n, JOURNAL_HEADER + at)) return verdict({});
    crc = crc32_update(crc, chunk.data(), n);
  }
  if (crc != h.crc) return verdict({});
  if (fail_step(dev, write_step::apply)) {
    std::string why = errno_text(dev.path);
    close(fd);
    return why;
  }
  for (uint64_t at = 0; at < h.length; at += FLASH_CHUNK) {
    auto n = static_cast<size_t>(std::min<uint64_t>(FLASH_CHUNK, h.length - at));
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

// create_erased's word for "the file appeared meanwhile: look again".
const char RECHECK[] = "recheck";
// What a file being made is called until it is whole; one per file, so a
// leftover from a killed simulator is found and reused, never piled up.
constexpr char CREATING_SUFFIX[] = ".kesp-sim-new";
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
  const std::string temp = temporary_name(path);
  std::string refused;
  int fd = open_own_name(temp, O_RDWR | O_CREAT, &refused);
  // A missing folder is the flash file's trouble, not the temporary's.
  if (fd < 0) return errno == ENOENT ? "cannot create " + errno_text(path) : refused;
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
  int chunks = 0;
  bool halted = false;
  bool filled = each_erased_piece(0, dev.size, [&](const uint8_t *bytes, uint64_t n, uint64_t at) {
    halted = ++chunks % STOP_CHECK_CHUNKS == 0 && stop_requested(stop_fd);
    return !halted && pwrite_all(fd, bytes, n, at);
  });
  if (halted) {
    if (stopped != nullptr) *stopped = true;
    return drop({});
  }
  if (!filled) return drop("cannot create " + errno_text(path));
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
  // The new name must survive a crash as well as the bytes; should the
  // folder not sync, the file is whole under its name all the same.
  (void)sync_folder_of(path);
  // A journal beside a file that was not there belongs to another one.
  unlink(journal_name(path).c_str());
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

std::string journal_name(const std::string &path) { return path + JOURNAL_SUFFIX; }

std::string temporary_name(const std::string &path) { return path + CREATING_SUFFIX; }

std::string open_memory(flash_device &dev) {
  // Never written pages are the system's shared zero page, which reads
  // erased here; nothing is reserved beyond the address space.
  dev.memory = map_anonymous(dev.size);
  if (dev.memory == nullptr) return errno_text(dev.name + " memory");
  const uint64_t pages = (dev.size + page_size() - 1) / page_size();
  dev.held.assign((pages + HELD_BITS - 1) / HELD_BITS, 0);
  return {};
}

void close_device(flash_device &dev) {
  if (dev.fd >= 0) close(dev.fd);
  dev.fd = -1;
  if (dev.memory != nullptr) munmap(dev.memory, dev.size);
  dev.memory = nullptr;
  std::vector<uint64_t>().swap(dev.held);
}

std::string settle_pending(flash_device &dev) {
  if (!dev.journal_pending) return {};
  std::string why = settle_journal(dev);
  if (!why.empty()) return journal_name(dev.path) + " is not yet in the file: " + why;
  dev.journal_pending = false;
  return {};
}

bool read_flash(const flash_device &dev, uint8_t *buf, size_t n, uint64_t at) {
  if (dev.memory == nullptr) return pread_all(dev.fd, buf, n, at);
  each_page_piece(at, n, [&](uint64_t from, size_t part) {
    uint8_t *to = buf + (from - at);
    if (is_held(dev, from)) {
      copy_inverted(to, dev.memory + from, part);
    } else {
      std::fill(to, to + part, ERASED);
    }
  });
  return true;
}

bool write_flash(flash_device &dev, const uint8_t *bytes, size_t n, uint64_t at) {
  if (dev.memory == nullptr) return pwrite_all(dev.fd, bytes, n, at);
  each_page_piece(at, n, [&](uint64_t from, size_t) { set_held(dev, from, true); });
  copy_inverted(dev.memory + at, bytes, n);
  return true;
}

// The journal is written as the image arrives: the erased head of the
// first block at once, each image piece at its place, and the erased tail,
// the header and the commit marker once the image is whole. A journal
// without its marker is dropped at the next start, so a download cut short
// anywhere leaves the file as it was.
//
// In memory a crash takes the flash with it, so the one promise is that a
// download cut short leaves the device as it was. Gathering the image in
// memory of its own would hold every written byte twice until the copy
// into the device; instead the image goes to its place as it arrives, and
// the old content of a page is put aside before its first change, only
// where it held more than erased bytes: a board's first load holds its
// flash once, and the next load of the same image changes nothing. No one
// reads the device meanwhile, as a board serves one connection at a time,
// on its own thread; dropping the write puts the old pages back.
staged_write::~staged_write() { drop(); }

void staged_write::fail(int32_t code, std::string why) {
  if (failed_ == ERR_NONE) {
    failed_ = code;
    trouble_ = std::move(why);
  }
  drop();
}

void staged_write::drop() {
  if (journal_ >= 0) {
    close(journal_);
    unlink(journal_name(dev_->path).c_str());
    journal_ = -1;
  }
  if (undo_ != nullptr) {
    put_back();
    munmap(undo_, undo_size_);
  }
  undo_ = nullptr;
  std::vector<uint8_t>().swap(pages_);
}

void staged_write::put_back() {
  const uint64_t page = page_size();
  for (size_t i = 0; i < pages_.size(); ++i) {
    const uint64_t at = undo_from_ + i * page;
    uint8_t *flash = dev_->memory + at;
    if (pages_[i] == PAGE_KEPT) {
      std::copy(undo_ + i * page, undo_ + (i + 1) * page, flash);
    } else if (pages_[i] == PAGE_WAS_ERASED) {
      if (madvise(flash, page, MADV_DONTNEED) == 0) {
        set_held(*dev_, at, false);
      } else {
        std::fill(flash, flash + page, 0);
      }
    }
  }
}

void staged_write::take_in_memory(const uint8_t *bytes, size_t n) {
  flash_device &dev = *dev_;
  const uint64_t page = page_size();
  const uint8_t *next = bytes;
  each_page_piece(uint64_t{addr_} + taken_, n, [&](uint64_t at, size_t part) {
    const uint8_t *from = next;
    next += part;
    const uint64_t page_at = at / page * page;
    const bool held = is_held(dev, at);
    if (held ? !changes_flash(dev.memory + at, from, part)
             : std::all_of(from, from + part, [](uint8_t v) { return v == ERASED; })) {
      return;
    }
    uint8_t &state = pages_[(page_at - undo_from_) / page];
    if (state == PAGE_UNTOUCHED) {
      // The device's mapping is whole pages, so its last page is whole
      // here too, past the device's end.
      const uint8_t *old = dev.memory + page_at;
      state = PAGE_WAS_ERASED;
      if (held && std::any_of(old, old + page, [](uint8_t v) { return v != 0; })) {
        std::copy(old, old + page, undo_ + (page_at - undo_from_));
        state = PAGE_KEPT;
      }
    }
    set_held(dev, at, true);
    copy_inverted(dev.memory + at, from, part);
  });
}

void staged_write::begin(flash_device &dev, uint32_t addr, uint32_t length) {
  dev_ = &dev;
  addr_ = addr;
  length_ = length;
  if (length == 0) return;
  const uint64_t end = uint64_t{addr} + length;
  first_block_ = addr - addr % dev.block_size;
  past_block_ = (end + dev.block_size - 1) / dev.block_size * dev.block_size;
  if (dev.memory != nullptr) {
    const uint64_t page = page_size();
    undo_from_ = addr / page * page;
    undo_size_ = (end + page - 1) / page * page - undo_from_;
    undo_ = map_anonymous(undo_size_);
    if (undo_ == nullptr) {
      fail(ERR_ERASE, errno_text(dev.name + " memory"));
      return;
    }
    pages_.assign(undo_size_ / page, PAGE_UNTOUCHED);
    take_whole_pages(dev.memory + addr, dev.memory + end);
    return;
  }
  const std::string journal = journal_name(dev.path);
  // Nothing has been erased when the journal cannot be written: the file
  // is as it was, and the erase is what failed.
  if (fail_step(dev, write_step::journal)) {
    fail(ERR_ERASE, errno_text(journal));
    return;
  }
  std::string why;
  journal_ = open_own_name(journal, O_RDWR | O_CREAT, &why);
  if (journal_ < 0) {
    fail(ERR_ERASE, why);
    return;
  }
  // Truncated only once it is known to be ours alone.
  if (ftruncate(journal_, 0) != 0 ||
      !each_erased_piece(first_block_, addr, [this](const uint8_t *bytes, uint64_t n, uint64_t at) {
        crc_ = crc32_update(crc_, bytes, static_cast<size_t>(n));
        return pwrite_all(journal_, bytes, n, JOURNAL_HEADER + at - first_block_);
      })) {
    fail(ERR_ERASE, errno_text(journal));
  }
}

void staged_write::take(const uint8_t *bytes, size_t n) {
  if (failed_ != ERR_NONE || dev_ == nullptr) return;
  n = std::min<size_t>(n, length_ - taken_);
  if (undo_ != nullptr) {
    take_in_memory(bytes, n);
  } else {
    crc_ = crc32_update(crc_, bytes, n);
    if (!pwrite_all(journal_, bytes, n, JOURNAL_HEADER + addr_ + taken_ - first_block_)) {
      fail(ERR_ERASE, errno_text(journal_name(dev_->path)));
      return;
    }
  }
  taken_ += static_cast<uint32_t>(n);
}

int32_t staged_write::finish(uint8_t *scratch, const std::function<bool()> &pace) {
  if (dev_ == nullptr || length_ == 0) return ERR_NONE;
  if (failed_ != ERR_NONE) return failed_;
  flash_device &dev = *dev_;
  const uint64_t end = uint64_t{addr_} + length_;
  // A stop cuts a slow part's pauses short, never the writing.
  bool hurry = false;
  auto paced = [&] { hurry = hurry || !pace(); };
  if (undo_ != nullptr) {
    if (fail_step(dev, write_step::apply)) {
      fail(ERR_REPROGRAM, errno_text(dev.name + " memory"));
      return failed_;
    }
    // The image is in place already; around it the blocks read erased.
    erase_memory(dev, first_block_, addr_);
    erase_memory(dev, end, past_block_);
    pages_.clear();  // done: nothing is put back
    drop();
    // Memory takes no time to write; the pauses stand for the part's.
    for (uint64_t at = first_block_; at < past_block_; at += FLASH_CHUNK) paced();
    return ERR_NONE;
  }

  const std::string journal = journal_name(dev.path);
  journal_header h{first_block_, past_block_ - first_block_, 0};
  bool ok =
      each_erased_piece(end, past_block_, [this](const uint8_t *bytes, uint64_t n, uint64_t at) {
        crc_ = crc32_update(crc_, bytes, static_cast<size_t>(n));
        return pwrite_all(journal_, bytes, n, JOURNAL_HEADER + at - first_block_);
      });
  h.crc = crc_;
  uint8_t header[JOURNAL_HEADER];
  encode_journal_header(header, h);
  uint8_t marker[JOURNAL_MARKER];
  std::copy(std::begin(JOURNAL_COMMIT), std::end(JOURNAL_COMMIT), marker);
  put_be32(marker + sizeof JOURNAL_COMMIT, h.crc);
  // The journal's name must be on disk before the file changes.
  ok = ok && pwrite_all(journal_, header, sizeof header, 0) && fdatasync(journal_) == 0 &&
       pwrite_all(journal_, marker, sizeof marker, JOURNAL_HEADER + h.length) &&
       fdatasync(journal_) == 0 && sync_folder_of(journal);
  if (!ok) {
    fail(ERR_ERASE, errno_text(journal));
    return failed_;
  }

  // From here on the journal is whole: a file left half written keeps it,
  // so that it is completed before the device serves again.
  std::string where = dev.path;
  ok = !fail_step(dev, write_step::apply);
  for (uint64_t at = 0; ok && at < h.length; at += FLASH_CHUNK) {
    auto n = static_cast<size_t>(std::min<uint64_t>(FLASH_CHUNK, h.length - at));
    if (!pread_all(journal_, scratch, n, JOURNAL_HEADER + at)) {
      where = journal;
      ok = false;
    } else {
      ok = pwrite_all(dev.fd, scratch, n, first_block_ + at);
      if (ok) paced();
    }
  }
  ok = ok && fdatasync(dev.fd) == 0;
  if (!ok) {
    failed_ = ERR_REPROGRAM;
    trouble_ = errno_text(where);
    close(journal_);
    journal_ = -1;
    dev.journal_pending = true;
    return failed_;
  }
  drop();
  return ERR_NONE;
}
