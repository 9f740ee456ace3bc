#include "snapshot.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include "image.h"
#include "wire.h"

// The digest of a sealed copy, taken beside the run when the image is
// large: the first board need not wait for it, and no byte it covers can
// change under it.
struct snapshot_digest {
  int fd = -1;  // the sealed copy, read at its own offsets
  size_t size = 0;
  pthread_t thread{};
  bool threaded = false;  // a thread takes it; joined before the result is read
  bool failed = false;    // the copy could not be read back
  uint8_t md[SHA256_DIGEST_SIZE] = {};
};

namespace {

constexpr size_t COPY_CHUNK = size_t{1} << 20;  // bytes read and written at once without sendfile
constexpr unsigned SEALS = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;
// Up to this size the digest is taken at once: a fraction of a
// millisecond, not much more than starting a thread for it would cost.
// Larger copies are read in pieces of this size, each hashed while it is
// still in the cache: cheaper than hashing a mapping of the copy.
constexpr size_t DIGEST_PIECE = size_t{256} << 10;

std::string hex_of(const uint8_t *bytes, size_t n) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    text += DIGITS[bytes[i] >> 4U];
    text += DIGITS[bytes[i] & 0xfU];
  }
  return text;
}

// Why an image of bytes cannot be sent, or "". prefix comes before the
// count: a copy that is cut off knows only a lower bound.
std::string size_problem(int64_t bytes, const char *prefix) {
  switch (judge_image_size(bytes)) {
    case image_size::fits:
      return "";
    case image_size::empty:
      return "empty (an image holds at least 1 byte)";
    case image_size::too_large:
      break;
  }
  return std::string("too large (") + prefix + std::to_string(bytes) +
         " bytes; an image is under " + IMAGE_LIMIT_TEXT + ")";
}

// Why the open file cannot be an image, or "".
std::string sendable(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return strerror(errno);
  if (!S_ISREG(st.st_mode)) return "not a regular file";
  return size_problem(st.st_size, "");
}

// Bytes still to take before the copy is known to be too large: one past
// the limit, so that a file grown since its size was judged is never
// copied whole.
size_t room_left(uint64_t copied) {
  return copied > LENGTH_LIMIT ? 0 : static_cast<size_t>(LENGTH_LIMIT - copied) + 1;
}

// The copy through user memory, for a file the kernel cannot splice.
std::string copy_by_reading(int in, int copy, uint64_t *size) {
  std::vector<uint8_t> buf(COPY_CHUNK);
  while (room_left(*size) > 0) {
    ssize_t n = read(in, buf.data(), std::min(buf.size(), room_left(*size)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string("cannot be read: ") + strerror(errno);
    if (n == 0) break;
    if (!write_all(copy, buf.data(), static_cast<size_t>(n))) {
      return std::string("cannot be copied: ") + strerror(errno != 0 ? errno : EIO);
    }
    *size += static_cast<uint64_t>(n);
  }
  return "";
}

// Copies what the file holds up to its end now: that is the image,
// whatever its size was a moment ago, and the size (and later the digest)
// both come from the bytes copied. The kernel copies page to page, so the
// first board waits for one pass over memory and no more. "" or why not.
std::string copy_out(int in, int copy, uint64_t *size) {
  *size = 0;
  while (room_left(*size) > 0) {
    ssize_t n = sendfile(copy, in, nullptr, room_left(*size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && *size == 0 && (errno == EINVAL || errno == ENOSYS)) {
      return copy_by_reading(in, copy, size);
    }
    if (n < 0) return std::string("cannot be copied: ") + strerror(errno);
    if (n == 0) break;
    *size += static_cast<uint64_t>(n);
  }
  return size_problem(static_cast<int64_t>(*size), "over ");
}

// The copy is sealed and ours: a read fails only if memory does, and
// then the digest names no bytes rather than the wrong ones.
void take_digest(snapshot_digest *d) {
  sha256_ctx ctx{};
  sha256_init(&ctx);
  std::vector<uint8_t> piece(std::min(d->size, DIGEST_PIECE));
  size_t done = 0;
  while (done < d->size) {
    ssize_t n = pread(d->fd, piece.data(), std::min(piece.size(), d->size - done),
                      static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      d->failed = true;
      return;
    }
    sha256_update(&ctx, static_cast<size_t>(n), piece.data());
    done += static_cast<size_t>(n);
  }
  sha256_digest(&ctx, sizeof d->md, d->md);
}

void *digest_beside(void *job) {
  take_digest(static_cast<snapshot_digest *>(job));
  return nullptr;
}

// Starts the digest of the sealed bytes: in a thread of its own when they
// are many, so that sending can start at once. The thread takes no signal:
// those stay with the thread that waits for them.
std::unique_ptr<snapshot_digest, snapshot_digest_free> start_digest(int fd, size_t size) {
  std::unique_ptr<snapshot_digest, snapshot_digest_free> d(new snapshot_digest());
  d->fd = fd;
  d->size = size;
  if (size > DIGEST_PIECE) {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    d->threaded = pthread_create(&d->thread, nullptr, digest_beside, d.get()) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }
  // No thread to be had costs time, not the digest.
  if (!d->threaded) take_digest(d.get());
  return d;
}

void end_digest(snapshot_digest *d) {
  if (d->threaded) pthread_join(d->thread, nullptr);
  d->threaded = false;
}

}  // namespace

void snapshot_digest_free::operator()(snapshot_digest *d) const {
  end_digest(d);
  delete d;  // NOLINT(cppcoreguidelines-owning-memory): the unique_ptr's own
}

snapshot::~snapshot() { release(); }

void snapshot::release() {
  // The digest reads the copy until it is over.
  digest_.reset();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

snapshot::snapshot(snapshot &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      digest_(std::move(other.digest_)),
      sha256_(std::move(other.sha256_)) {}

snapshot &snapshot::operator=(snapshot &&other) noexcept {
  if (this != &other) {
    release();
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    digest_ = std::move(other.digest_);
    sha256_ = std::move(other.sha256_);
  }
  return *this;
}

const std::string &snapshot::sha256() const {
  if (digest_ != nullptr) {
    end_digest(digest_.get());
    sha256_ = digest_->failed ? "" : hex_of(digest_->md, sizeof digest_->md);
    digest_.reset();
  }
  return sha256_;
}

std::string snapshot::take(const std::string &path) {
  // Without O_NONBLOCK a FIFO named by mistake would wait for a writer.
  int in = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return strerror(errno);
  std::string why = sendable(in);
  // One copy per distinct image, in memory the kernel holds for us: boards
  // read it at their own offsets and hold no descriptor of their own.
  int copy = -1;
  if (why.empty()) {
    copy = memfd_create("kesp-batch image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (copy < 0) why = std::string("cannot be copied: ") + strerror(errno);
  }
  uint64_t size = 0;
  if (why.empty()) why = copy_out(in, copy, &size);
  close(in);
  if (why.empty() && fcntl(copy, F_ADD_SEALS, SEALS) != 0) {
    why = std::string("cannot be sealed: ") + strerror(errno);
  }
  if (!why.empty()) {
    if (copy >= 0) close(copy);
    return why;
  }
  release();
  fd_ = copy;
  size_ = static_cast<uint32_t>(size);
  sha256_.clear();
  digest_ = start_digest(fd_, size_);
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
