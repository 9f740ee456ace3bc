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

#include "crc32.h"
#include "wire.h"

namespace {

constexpr size_t COPY_CHUNK = size_t{1} << 20;  // bytes read and written at once
constexpr unsigned SEALS = F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL;

struct digest_free {
  void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

bool write_all(int fd, const uint8_t *bytes, size_t n) {
  while (n > 0) {
    ssize_t done = write(fd, bytes, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

std::string hex_of(const unsigned char *bytes, unsigned n) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < n; ++i) {
    text += DIGITS[bytes[i] >> 4U];
    text += DIGITS[bytes[i] & 0xfU];
  }
  return text;
}

}  // namespace

snapshot::~snapshot() {
  if (fd_ >= 0) close(fd_);
}

snapshot::snapshot(snapshot &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      crc_(other.crc_),
      sha256_(std::move(other.sha256_)) {}

snapshot &snapshot::operator=(snapshot &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = other.size_;
    crc_ = other.crc_;
    sha256_ = std::move(other.sha256_);
  }
  return *this;
}

std::string snapshot::take(const std::string &path) {
  // Without O_NONBLOCK a FIFO named by mistake would wait for a writer.
  int in = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) return strerror(errno);
  struct stat st {};
  std::string why;
  if (fstat(in, &st) != 0) {
    why = strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (st.st_size == 0) {
    why = "empty (an image holds at least 1 byte)";
  } else if (st.st_size >= static_cast<off_t>(LENGTH_LIMIT)) {
    why = "too large (" + std::to_string(st.st_size) + " bytes; an image is under 512 MiB)";
  }
  if (!why.empty()) {
    close(in);
    return why;
  }
  // One copy per distinct image, in memory the kernel holds for us: boards
  // read it at their own offsets and hold no descriptor of their own.
  int copy = memfd_create("kesp-batch image", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  std::unique_ptr<EVP_MD_CTX, digest_free> ctx(EVP_MD_CTX_new());
  if (copy < 0) {
    why = std::string("cannot be copied: ") + strerror(errno);
  } else if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    why = "cannot be copied: SHA-256 unavailable";
  }
  // What the file holds up to its end now is the image, whatever its size
  // was a moment ago: the size, CRC and digest all come from the copy.
  std::vector<uint8_t> buf(COPY_CHUNK);
  uint64_t total = 0;
  uint32_t crc = 0;
  while (why.empty()) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::string("cannot be read: ") + strerror(errno);
      break;
    }
    if (n == 0) break;
    auto got = static_cast<size_t>(n);
    total += got;
    if (total >= LENGTH_LIMIT) {
      why = "too large (over " + std::to_string(total) + " bytes; an image is under 512 MiB)";
      break;
    }
    crc = crc32_update(crc, buf.data(), got);
    if (EVP_DigestUpdate(ctx.get(), buf.data(), got) != 1) {
      why = "cannot be copied: SHA-256 failed";
    } else if (!write_all(copy, buf.data(), got)) {
      why = std::string("cannot be copied: ") + strerror(errno != 0 ? errno : EIO);
    }
  }
  close(in);
  if (why.empty() && total == 0) why = "empty (an image holds at least 1 byte)";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned md_size = 0;
  if (why.empty() && fcntl(copy, F_ADD_SEALS, SEALS) != 0) {
    why = std::string("cannot be sealed: ") + strerror(errno);
  }
  if (why.empty() && EVP_DigestFinal_ex(ctx.get(), md, &md_size) != 1) {
    why = "cannot be copied: SHA-256 failed";
  }
  if (!why.empty()) {
    if (copy >= 0) close(copy);
    return why;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = copy;
  size_ = static_cast<uint32_t>(total);
  crc_ = crc;
  sha256_ = hex_of(md, md_size);
  return "";
}
