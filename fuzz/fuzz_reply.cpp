// Fuzzes reply decoding together with the result lines: the input (its first
// 64 bytes) is everything the target ever sends, and the real transaction
// runs in-process against it over a socket pair. What it prints is held
// against the replies that actually arrived, worked out independently.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "download.h"
#include "wire.h"

namespace {

constexpr size_t IMAGE_SIZE = 300;         // one full chunk and a short one
constexpr size_t STREAM_LIMIT = 64;        // both replies and some bytes past them
constexpr size_t BAR_CELLS = 50;           // cells between the brackets of a bar
constexpr uint32_t CRC_POLY = 0xEDB88320;  // CRC-32, reflected

std::string image_path;
uint32_t image_crc = 0;  // CRC-32 of the whole image
int captured_out = -1;   // read end of the pipe that standard output now writes to

// How the fake target behaves around the bytes it sends.
struct target_mode {
  bool gone_before_request;  // closes at once, so every send of the client fails
  uint32_t flags;
  uint32_t address;
};
constexpr target_mode MODES[] = {
    {false, FLAG_ADDRESS, 0x10000},
    {true, FLAG_COMPARE | FLAG_NAND | FLAG_ADDRESS, 0},
};

[[noreturn]] void fail(const char *what, const std::string &out) {
  fprintf(stderr, "fuzz_reply: %s\n--- output ---\n%s\n--- end ---\n", what, out.c_str());
  abort();
}

uint8_t image_byte(size_t i) { return static_cast<uint8_t>(i * 37 + 11); }

uint32_t bitwise_crc32(const uint8_t *bytes, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ CRC_POLY : crc >> 1;
  }
  return ~crc;
}

uint32_t be32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

const char *error_text(int32_t error) {
  static const char *const texts[] = {"no error",        "reprogram error", "erase error",
                                      "invalid address", "compare failed",  "invalid size",
                                      "no such device"};
  int64_t magnitude = error < 0 ? -int64_t{error} : int64_t{error};
  return magnitude < static_cast<int64_t>(std::size(texts)) ? texts[magnitude] : "unknown error";
}

std::string formatted(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char *fmt, ...) {
  char line[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  return line;
}

// The lowest free descriptor, which the transaction takes for its image.
int lowest_free_fd() {
  int fd = fcntl(captured_out, F_DUPFD, 0);
  if (fd >= 0) close(fd);
  return fd;
}

std::string drain_output() {
  fflush(stdout);
  std::string out;
  char buf[4096];
  ssize_t n = 0;
  while ((n = read(captured_out, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

std::vector<std::string> split_lines(const std::string &out) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
    lines.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  if (start < out.size()) lines.push_back(out.substr(start));
  return lines;
}

// One or more redraws of the bar, each "\rloader: [" and 50 cells, stars first.
bool is_bar_line(const std::string &line) {
  const std::string head = "\rloader: [";
  const size_t redraw = head.size() + BAR_CELLS + 1;
  if (line.empty() || line.size() % redraw != 0) return false;
  for (size_t at = 0; at < line.size(); at += redraw) {
    if (line.compare(at, head.size(), head) != 0 || line[at + redraw - 1] != ']') return false;
    std::string cells = line.substr(at + head.size(), BAR_CELLS);
    if (cells.find_first_not_of('*') != std::string::npos &&
        cells.find_first_not_of(' ', cells.find_first_not_of('*')) != std::string::npos) {
      return false;
    }
  }
  return true;
}

void check_output(const std::string &out, const uint8_t *stream, size_t n,
                  const target_mode &mode) {
  const std::vector<std::string> lines = split_lines(out);
  size_t at = 0;
  auto next = [&]() -> std::string { return at < lines.size() ? lines[at++] : std::string(); };
  auto connection_failed = [&]() {
    const std::string prefix = "kesp: connection failed: ";
    std::string line = next();
    if (line.compare(0, prefix.size(), prefix) != 0 || line.size() == prefix.size()) {
      fail("a partial reply did not end in the connection-failed line", out);
    }
  };

  if (out.empty() || out.back() != '\n') fail("output does not end with a line end", out);
  if (next() != formatted("kesp: address = %x", mode.address)) fail("wrong address line", out);
  if (next() != formatted("kesp: flags = %x", mode.flags)) fail("wrong flags line", out);
  if (n < REPLY_SIZE) {
    connection_failed();
  } else {
    unsigned flash_id = unsigned{stream[0]} << 8 | stream[1];
    if (next() != formatted("kesp: flash_id = %04x", flash_id)) fail("wrong flash_id line", out);
    if (!is_bar_line(next())) fail("no progress bar after the first reply", out);
    if (n < 2 * REPLY_SIZE) {
      connection_failed();
    } else {
      const uint8_t *final_reply = stream + REPLY_SIZE;
      auto error = static_cast<int32_t>(be32(final_reply + 2));
      uint32_t addr = be32(final_reply + 6);
      uint32_t size = be32(final_reply + 10);
      uint32_t crc = be32(final_reply + 14);
      const char *word = (mode.flags & FLAG_COMPARE) != 0 ? "compare" : "update";
      if (error != 0) {
        if (next() != formatted("kesp: flash %s failed (addr = %x, size = %u, error = \"%s\")",
                                word, addr, size, error_text(error))) {
          fail("wrong failed line", out);
        }
      } else if (mode.gone_before_request) {
        // Every send failed, so the image never reached the target and its
        // success cannot be true: the send's failure is reported instead.
        if (next() != "kesp: connection failed: Broken pipe") {
          fail("a done verdict after failed sends was not reported as a failure", out);
        }
      } else {
        if (next() != formatted("kesp: flash %s done, size = %u", word, size)) {
          fail("wrong done line", out);
        }
        if (next() != formatted("kesp: crc = %x, received = %x", image_crc, crc)) {
          fail("wrong crc line", out);
        }
      }
    }
  }
  if (at != lines.size()) fail("more output after the transaction's last line", out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // tmpfile() leaves no name behind, and libFuzzer ends its runs without the
  // exit handlers that could remove one; the transaction opens the image
  // again through the /proc path of the descriptor held here.
  FILE *image_file = tmpfile();
  uint8_t image[IMAGE_SIZE];
  for (size_t i = 0; i < IMAGE_SIZE; ++i) image[i] = image_byte(i);
  if (image_file == nullptr || fwrite(image, 1, sizeof image, image_file) != sizeof image ||
      fflush(image_file) != 0) {
    perror("fuzz_reply: image file");
    exit(1);
  }
  image_path = "/proc/self/fd/" + std::to_string(fileno(image_file));
  image_crc = bitwise_crc32(image, sizeof image);

  // Standard output goes into a pipe that each run drains: one run prints a
  // few hundred bytes, far below what a pipe holds.
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("fuzz_reply: pipe");
    exit(1);
  }
  fflush(stdout);
  dup2(pipe_fds[1], STDOUT_FILENO);
  close(pipe_fds[1]);
  captured_out = pipe_fds[0];
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const size_t n = size < STREAM_LIMIT ? size : STREAM_LIMIT;
  for (const target_mode &mode : MODES) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair", "");
    // The whole stream fits in the socket buffer, so this write completes
    // before the client has asked for anything.
    if (n > 0 && write(pair[1], data, n) != static_cast<ssize_t>(n)) fail("write stream", "");
    if (mode.gone_before_request) {
      close(pair[1]);
    } else {
      shutdown(pair[1], SHUT_WR);
    }
    const int image_fd = lowest_free_fd();
    download_file(pair[0], image_path.c_str(), mode.flags, mode.address);
    // Called over and over in one process, a transaction that keeps its
    // image open runs out of descriptors and then exits.
    const bool image_left_open = fcntl(image_fd, F_GETFD) != -1;
    close(pair[0]);
    if (!mode.gone_before_request) close(pair[1]);

    std::string out = drain_output();
    if (image_left_open) fail("download_file left the image open", out);
    check_output(out, data, n, mode);
  }
  return 0;
}
