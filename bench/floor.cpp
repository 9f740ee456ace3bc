// floor: the least a client of the loader can do with our chunking. It
// sends the same request and image bytes as kesp, one read and one send per
// 256 bytes, and reads both replies, but keeps no checksum and draws no
// bar. Its socket is set as kesp's is: Nagle's algorithm off from the
// connect on, partial segments held back while the pieces stream and
// pushed out after the last. What kesp spends beyond this is the price of
// its checksum and its progress bar.
//
// usage: floor ADDRESS FILE   (ADDRESS a dotted IPv4 address; exit 0 when
// the target reports success)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net.h"
#include "wire.h"

namespace {

constexpr size_t CHUNK_SIZE = 256;  // image bytes per read and send, as kesp has

bool receive_reply(int sock, flash_reply *reply) {
  uint8_t buf[REPLY_SIZE];
  if (recv_all(sock, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf)) return false;
  *reply = decode_reply(buf);
  return true;
}

int fail(const char *what) {
  perror(what);
  return 1;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc != 3) {
    fprintf(stderr, "usage: floor ADDRESS FILE\n");
    return 2;
  }
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(LOADER_PORT);
  if (inet_pton(AF_INET, argv[1], &target.sin_addr) != 1) {
    fprintf(stderr, "floor: not an IPv4 address: %s\n", argv[1]);
    return 2;
  }
  int fd = open(argv[2], O_RDONLY);
  if (fd < 0) return fail(argv[2]);
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(argv[2]);
  if (st.st_size <= 0 || st.st_size >= static_cast<off_t>(LENGTH_LIMIT)) {
    fprintf(stderr, "floor: %s: size out of range\n", argv[2]);
    return 2;
  }
  const auto length = static_cast<uint32_t>(st.st_size);

  int sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock < 0) return fail("socket");
  if (connect(sock, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0) {
    return fail("connect");
  }
  send_without_delay(sock);
  uint8_t header[WORD_SIZE];
  encode_header(header, length, 0);
  if (send_all(sock, header, sizeof header) < 0) return fail("send");

  flash_reply reply{};
  if (!receive_reply(sock, &reply) || reply.error != 0) {
    fprintf(stderr, "floor: request refused or connection lost\n");
    return 1;
  }
  uint8_t buffer[CHUNK_SIZE];
  hold_partial_segments(sock);
  for (uint32_t sent = 0; sent < length;) {
    size_t want = length - sent < CHUNK_SIZE ? length - sent : CHUNK_SIZE;
    // A regular file gives the whole count short of its end, as kesp expects too.
    if (read(fd, buffer, want) != static_cast<ssize_t>(want)) return fail("read");
    if (send_all(sock, buffer, want) < 0) return fail("send");
    sent += static_cast<uint32_t>(want);
  }
  push_queued(sock);
  if (!receive_reply(sock, &reply)) {
    fprintf(stderr, "floor: no final reply\n");
    return 1;
  }
  if (reply.error != 0 || reply.size != length) {
    fprintf(stderr, "floor: target reported error %d, size %u\n", reply.error, reply.size);
    return 1;
  }
  close(sock);
  close(fd);
  return 0;
}
