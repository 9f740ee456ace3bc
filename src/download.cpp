#include "download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crc32.h"
#include "wire.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace {

constexpr uint32_t CHUNK_SIZE = 256;  // image bytes per read, checksum pass and send
constexpr uint32_t BAR_WIDTH = 50;    // cells in the progress bar

off_t filelen(int fd) {
  off_t here = lseek(fd, 0, SEEK_CUR);
  if (here < 0) return here;
  off_t end = lseek(fd, 0, SEEK_END);
  lseek(fd, here, SEEK_SET);
  return end;
}

void back_line() { printf("\r"); }

// Drawn once per 256-byte chunk, so the line is built whole and written
// with one call rather than a call per cell.
void print_progress(uint32_t total, uint32_t done) {
  static constexpr char PREFIX[] = "loader: [";
  char line[sizeof PREFIX - 1 + BAR_WIDTH + 1];
  back_line();
  memcpy(line, PREFIX, sizeof PREFIX - 1);
  // An empty total counts as finished rather than dividing by zero.
  uint64_t stars = total == 0 ? BAR_WIDTH : static_cast<uint64_t>(done) * BAR_WIDTH / total;
  if (stars > BAR_WIDTH) stars = BAR_WIDTH;  // done never exceeds total
  char *cells = line + sizeof PREFIX - 1;
  memset(cells, '*', stars);
  memset(cells + stars, ' ', BAR_WIDTH - stars);
  cells[BAR_WIDTH] = ']';
  fwrite(line, 1, sizeof line, stdout);
}

// Reads until n bytes or end of file: a short count means the file ended.
ssize_t read_full(int fd, uint8_t *buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = read(fd, buf + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

// The image is opened without blocking so that a FIFO named by mistake
// fails the length check instead of waiting for a writer forever. A
// directory opens too, but a seek to its end gives whatever its filesystem
// likes (2^63 - 1, an error, or a block size that would put a header on the
// wire before the first read fails), so it fails here, as the open.
int open_image(const char *filename) {
  int fd = open(filename, O_RDONLY | O_BINARY | O_NONBLOCK);
  if (fd < 0) return fd;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

// Why a reply did not arrive whole. A failed send earlier in the exchange
// is the root cause, so its error wins over whatever the receive saw.
const char *reply_failure(ssize_t got, int recv_errno, int send_errno) {
  if (send_errno != 0) return strerror(send_errno);
  if (got < 0) return strerror(recv_errno);
  return "closed by target";
}

// Receives one whole reply; on failure prints why and returns false.
bool receive_reply(int sock, flash_reply *reply, int send_errno) {
  uint8_t buf[REPLY_SIZE];
  ssize_t got = recv_all(sock, buf, sizeof buf);
  if (got != static_cast<ssize_t>(sizeof buf)) {
    printf("kesp: connection failed: %s\n", reply_failure(got, errno, send_errno));
    return false;
  }
  *reply = decode_reply(buf);
  return true;
}

}  // namespace

void download_file(int sock, const char *filename, uint32_t flags, uint32_t address) {
  int fd = open_image(filename);
  if (fd < 0) {
    perror("open file");
    exit(-1);
  }
  off_t measured = filelen(fd);
  if (measured < 0) {
    perror("get file len");
    exit(-1);
  }
  if (measured >= static_cast<off_t>(LENGTH_LIMIT)) {
    errno = EFBIG;
    perror("get file len");
    exit(-1);
  }
  // An empty image without flags is the start request on the wire.
  if (measured == 0) {
    fprintf(stderr, "kesp: image file is empty\n");
    exit(-1);
  }
  const auto length = static_cast<uint32_t>(measured);

  // Header and address go out in one send: split in two, Nagle would hold
  // the address until a slow target acknowledges the header.
  uint8_t request[2 * WORD_SIZE];
  size_t request_size = WORD_SIZE;
  encode_header(request, length, flags);
  if ((flags & FLAG_ADDRESS) != 0) {
    encode_address(request + WORD_SIZE, address);
    request_size += WORD_SIZE;
  }
  int send_errno = 0;
  if (send_all(sock, request, request_size) < 0) send_errno = errno;

  printf("kesp: address = %x\n", address);
  printf("kesp: flags = %x\n", flags);

  // The image is closed on both paths that return: a caller that runs many
  // transactions in one process would otherwise run out of descriptors.
  flash_reply reply{};
  if (!receive_reply(sock, &reply, send_errno)) {
    close(fd);
    return;
  }
  printf("kesp: flash_id = %04x\n", reply.flash_id);

  uint8_t buffer[CHUNK_SIZE];
  uint32_t sent = 0;
  uint32_t crc = 0;
  while (send_errno == 0 && sent < length) {
    uint32_t want = length - sent < CHUNK_SIZE ? length - sent : CHUNK_SIZE;
    ssize_t n = read_full(fd, buffer, want);
    if (n != static_cast<ssize_t>(want)) {
      // The target is waiting for bytes we no longer have; exiting closes
      // the connection so that neither side waits forever.
      printf("\n");
      if (n < 0) {
        perror("read file");
      } else {
        fprintf(stderr, "read file: file ended after %u of %u bytes\n",
                sent + static_cast<uint32_t>(n), length);
      }
      exit(-1);
    }
    crc = crc32_update(crc, buffer, want);
    if (send_all(sock, buffer, want) < 0) {
      send_errno = errno;
      break;
    }
    sent += want;
    if (want == CHUNK_SIZE) print_progress(length, sent);
  }
  print_progress(length, sent);
  printf("\n");
  close(fd);

  if (!receive_reply(sock, &reply, send_errno)) return;
  const char *mode = (flags & FLAG_COMPARE) != 0 ? "compare" : "update";
  if (reply.error != 0) {
    printf("kesp: flash %s failed (addr = %x, size = %u, error = \"%s\")\n", mode, reply.addr,
           reply.size, flash_error_str(reply.error));
  } else {
    printf("kesp: flash %s done, size = %u\n", mode, reply.size);
    printf("kesp: crc = %x, received = %x\n", crc, reply.crc);
  }
}
