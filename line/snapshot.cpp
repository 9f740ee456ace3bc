#include "snapshot.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <utility>

#include "image.h"
#include "wire.h"

// The copy of a file into sealed memory and its SHA-256, taken in one pass
// over pieces still in the cache. A large image is copied beside the run:
// the first board sends the bytes already copied while the rest follow,
// and no byte once copied is written again.
struct snapshot_copy {
  int in = -1;  // the file, until the copy is over
  int fd = -1;  // the copy, its size fixed from the start
  size_t size = 0;
  std::atomic<size_t> copied{0};  // bytes of the copy that are final
  std::atomic<bool> failed{false};
  std::atomic<bool> stop{false};  // the snapshot is going: the copy ends early
  std::string why;                // why the copy failed; written before failed
  pthread_t thread{};
  bool threaded = false;  // joined before the result is read
  uint8_t md[SHA256_DIGEST_SIZE] = {};
};

namespace {

constexpr size_t COPY_PIECE = size_t{1} << 20;  // bytes read, hashed and written at once
// The first piece, each next one twice the last up to COPY_PIECE: the
// first boards wait for the first piece, and a whole one costs
// milliseconds before its last byte is copied, the pages of the buffer and
// of the copy taken one by one.
constexpr size_t FIRST_COPY_PIECE = size_t{64} * 1024;
constexpr unsigned SIZE_SEALS = F_SEAL_SHRINK | F_SEAL_GROW;
constexpr unsigned LAST_SEALS = F_SEAL_WRITE | F_SEAL_SEAL;
// Up to this size the copy is made before take returns, errors and all:
// well under a millisecond.
constexpr size_t COPY_AT_ONCE = size_t{1} << 20;

std::string hex_of(const uint8_t *bytes, size_t n) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    text += DIGITS[bytes[i] >> 4U];
    text += DIGITS[bytes[i] & 0xfU];
  }
  return text;
}

// Why an image of bytes cannot be sent, or "".
std::string size_problem(int64_t bytes) {
  switch (judge_image_size(bytes)) {
    case image_size::fits:
      return "";
    case image_size::empty:
      return "empty (an image holds at least 1 byte)";
    case image_size::too_large:
      break;
  }
  return "too large (" + std::to_string(bytes) + " bytes; an image is under " + IMAGE_LIMIT_TEXT +
         ")";
}

// Why the open file cannot be an image, or "". Its size then.
std::string sendable(int fd, size_t *size) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  std::string why = size_problem(st.st_size);
  if (why.empty()) *size = static_cast<size_t>(st.st_size);
  return why;
}

void fail_copy(snapshot_copy *c, std::string why) {
  c->why = std::move(why);
  c->failed.store(true, std::memory_order_release);
}

// The image is the file's first c->size bytes, as its size was judged:
// a file cut shorter meanwhile has no image, one grown has its first
// bytes taken. Each piece is hashed between its read and its write, while
// it is in the cache.
void copy_and_digest(snapshot_copy *c) {
  sha256_ctx ctx{};
  sha256_init(&ctx);
  // Not cleared: its pages are taken as the pieces first reach them.
  auto piece = std::make_unique_for_overwrite<uint8_t[]>(std::min(c->size, COPY_PIECE));
  size_t piece_size = std::min(c->size, FIRST_COPY_PIECE);
  size_t done = 0;
  while (done < c->size) {
    if (c->stop.load(std::memory_order_relaxed)) return fail_copy(c, "interrupted");
    ssize_t n = read(c->in, piece.get(), std::min(piece_size, c->size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail_copy(c, std::string("cannot be read: ") + strerror(errno));
    if (n == 0) {
      return fail_copy(c, "file ended after " + std::to_string(done) + " of " +
                              std::to_string(c->size) + " bytes");
    }
    auto got = static_cast<size_t>(n);
    sha256_update(&ctx, got, piece.get());
    const uint8_t *p = piece.get();
    for (size_t left = got; left > 0;) {
      ssize_t w = pwrite(c->fd, p, left, static_cast<off_t>(done + got - left));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        return fail_copy(c, std::string("cannot be copied: ") + strerror(w < 0 ? errno : EIO));
      }
      p += w;
      left -= static_cast<size_t>(w);
    }
    done += got;
    c->copied.store(done, std::memory_order_release);
    piece_size = std::min(2 * piece_size, COPY_PIECE);
  }
  if (fcntl(c->fd, F_ADD_SEALS, LAST_SEALS) != 0) {
    return fail_copy(c, std::string("cannot be sealed: ") + strerror(errno));
  }
  sha256_digest(&ctx, sizeof c->md, c->md);
}

void *copy_beside(void *job) {
  auto *c = static_cast<snapshot_copy *>(job);
  copy_and_digest(c);
  close(c->in);
  c->in = -1;
  return nullptr;
}

// Starts the copy: in a thread of its own when the image is large, so
// that sending can start at once. The thread takes no signal: those stay
// with the thread that waits for them.
void start_copy(snapshot_copy *c) {
  if (c->size > COPY_AT_ONCE) {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    c->threaded = pthread_create(&c->thread, nullptr, copy_beside, c) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  // No thread to be had costs time, not the copy.
  if (!c->threaded) copy_beside(c);
}

void end_copy(snapshot_copy *c) {
  if (c->threaded) pthread_join(c->thread, nullptr);
  c->threaded = false;
}

}  // namespace

void snapshot_copy_free::operator()(snapshot_copy *c) const {
  c->stop.store(true, std::memory_order_relaxed);
  end_copy(c);
  delete c;  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr's own
}

snapshot::~snapshot() { release(); }

void snapshot::release() {
  // The copy writes to fd_ until it is over.
  copy_.reset();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

snapshot::snapshot(snapshot &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      copy_(std::move(other.copy_)),
      sha256_(std::move(other.sha256_)) {}

snapshot &snapshot::operator=(snapshot &&other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    copy_ = std::move(other.copy_);
    sha256_ = std::move(other.sha256_);
  }
  return *this;
}

size_t snapshot::ready(std::string *why) const {
  if (copy_ == nullptr) return size_;
  size_t copied = copy_->copied.load(std::memory_order_acquire);
  if (copied < size_ && copy_->failed.load(std::memory_order_acquire) && why != nullptr) {
    *why = copy_->why;
  }
  return copied;
}

const std::string &snapshot::sha256() const {
  if (copy_ != nullptr && sha256_.empty()) {
    end_copy(copy_.get());
    if (!copy_->failed.load()) sha256_ = hex_of(copy_->md, sizeof copy_->md);
  }
  return sha256_;
}

std::string snapshot::take(const std::string &path) {
  // Without O_NONBLOCK a FIFO named by mistake would wait for a writer.
  int in = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return strerror(errno);
  size_t length = 0;
  std::string why = sendable(in, &length);
  // One copy per distinct image, in memory the kernel holds for us: boards
  // read it at their own offsets and hold no descriptor of their own. Its
  // size is sealed before a byte is written: no reader ever meets its end
  // moving.
  int copy = -1;
  if (why.empty()) {
    copy = memfd_create("kesp-batch image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (copy < 0) why = std::string("cannot be copied: ") + strerror(errno);
  }
  if (why.empty() && ftruncate(copy, static_cast<off_t>(length)) != 0) {
    why = std::string("cannot be copied: ") + strerror(errno);
  }
  if (why.empty() && fcntl(copy, F_ADD_SEALS, SIZE_SEALS) != 0) {
    why = std::string("cannot be sealed: ") + strerror(errno);
  }
  if (!why.empty()) {
    close(in);
    if (copy >= 0) close(copy);
    return why;
  }
  std::unique_ptr<snapshot_copy, snapshot_copy_free> c(new snapshot_copy());
  c->in = in;
  c->fd = copy;
  c->size = length;
  start_copy(c.get());
  // A small image is copied by now: what went wrong is said here, before
  // any board.
  if (!c->threaded && c->failed.load()) {
    why = c->why;
    c.reset();
    close(copy);
    return why;
  }
  release();
  fd_ = copy;
  size_ = static_cast<uint32_t>(length);
  sha256_.clear();
  copy_ = std::move(c);
  return "";
}

bool write_all(int fd, const void *bytes, size_t n) {
  const auto *p = static_cast<const uint8_t *>(bytes);
  while (n > 0) {
    ssize_t done = write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}
