#include "snapshot.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "image.h"
#include "wire.h"

namespace {

constexpr size_t COPY_CHUNK = size_t{1} << 20;  // bytes read and written at once
constexpr unsigned SEALS = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

struct digest_free {
  void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

std::string hex_of(const unsigned char *bytes, unsigned n) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < n; ++i) {
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

struct copied {
  uint64_t size = 0;
  std::string sha256;
};

// Copies what the file holds up to its end now: that is the image,
// whatever its size was a moment ago, and the size and digest both
// come from the bytes copied. "" or why not.
std::string copy_out(int in, int copy, copied *c) {
  std::unique_ptr<EVP_MD_CTX, digest_free> ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    return "cannot be copied: SHA-256 unavailable";
  }
  std::vector<uint8_t> buf(COPY_CHUNK);
  for (;;) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string("cannot be read: ") + strerror(errno);
    if (n == 0) break;
    auto got = static_cast<size_t>(n);
    c->size += got;
    if (judge_image_size(static_cast<int64_t>(c->size)) == image_size::too_large) {
      return size_problem(static_cast<int64_t>(c->size), "over ");
    }
    if (EVP_DigestUpdate(ctx.get(), buf.data(), got) != 1)
      return "cannot be copied: SHA-256 failed";
    if (!write_all(copy, buf.data(), got)) {
      return std::string("cannot be copied: ") + strerror(errno != 0 ? errno : EIO);
    }
  }
  if (c->size == 0) return size_problem(0, "");
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned md_size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &md_size) != 1) return "cannot be copied: SHA-256 failed";
  c->sha256 = hex_of(md, md_size);
  return "";
}

}  // namespace

snapshot::~snapshot() {
  if (fd_ >= 0) close(fd_);
}

snapshot::snapshot(snapshot &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), sha256_(std::move(other.sha256_)) {}

snapshot &snapshot::operator=(snapshot &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    sha256_ = std::move(other.sha256_);
  }
  return *this;
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
  copied c;
  if (why.empty()) why = copy_out(in, copy, &c);
  close(in);
  if (why.empty() && fcntl(copy, F_ADD_SEALS, SEALS) != 0) {
    why = std::string("cannot be sealed: ") + strerror(errno);
  }
  if (!why.empty()) {
    if (copy >= 0) close(copy);
    return why;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = copy;
  size_ = static_cast<uint32_t>(c.size);
  sha256_ = c.sha256;
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
