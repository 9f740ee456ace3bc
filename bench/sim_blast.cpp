// sim_blast: the simulator as a receiver, against a plain sink. The client
// sends an image in 64 KiB writes, as fast as the socket takes it: to the
// loader with its request words in front, then waiting for both replies;
// to a sink without them, then half-closing and waiting for the sink's
// close. Either way the time ends when the receiver has taken every byte,
// so the two times differ only by what the receiver does with them.
//
// usage: sim_blast send loader|plain ADDRESS PORT FILE
//          prints the seconds from connect to the end; exit 0 when the
//          loader reported success (or the sink closed after every byte)
//        sim_blast sink ADDRESS PORT
//          takes one connection, reads it to its end, and closes; prints
//          "ready" once listening, and "cpu SECONDS" at the end: the time
//          it ran on a core
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "net.h"
#include "wire.h"

namespace {

constexpr size_t PIECE = size_t{64} * 1024;  // bytes per send and per receive

int fail(const char *what) {
  perror(what);
  return 1;
}

bool address_of(const char *text, const char *port, sockaddr_in *sa) {
  *sa = {};
  sa->sin_family = AF_INET;
  sa->sin_port = htons(static_cast<uint16_t>(std::strtoul(port, nullptr, 10)));
  return inet_pton(AF_INET, text, &sa->sin_addr) == 1;
}

// The image mapped rather than read, so that many senders of one file
// share its pages and take no memory from the receivers measured.
const uint8_t *map_image(const char *path, size_t *size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  void *p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    *size = static_cast<size_t>(st.st_size);
    p = mmap(nullptr, *size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  }
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<const uint8_t *>(p);
}

int send_image(bool loader, const sockaddr_in &sa, const char *path) {
  size_t size = 0;
  const uint8_t *image = map_image(path, &size);
  if (image == nullptr) return fail(path);
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return fail("socket");
  auto start = std::chrono::steady_clock::now();
  if (connect(sock, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
    return fail("connect");
  }
  if (loader) {
    uint8_t words[2 * WORD_SIZE];
    encode_header(words, static_cast<uint32_t>(size), FLAG_ADDRESS);
    encode_address(words + WORD_SIZE, 0);
    if (send_all(sock, words, sizeof words) != static_cast<ssize_t>(sizeof words)) {
      return fail("send");
    }
  }
  for (size_t at = 0; at < size; at += PIECE) {
    size_t n = std::min(PIECE, size - at);
    if (send_all(sock, image + at, n) != static_cast<ssize_t>(n)) return fail("send");
  }
  bool ok = false;
  if (loader) {
    uint8_t replies[2 * REPLY_SIZE];
    ok = recv_all(sock, replies, sizeof replies) == static_cast<ssize_t>(sizeof replies) &&
         decode_reply(replies + REPLY_SIZE).error == ERR_NONE;
  } else {
    shutdown(sock, SHUT_WR);
    uint8_t byte = 0;
    ok = recv(sock, &byte, 1, 0) == 0;
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  close(sock);
  printf("%.4f\n", s);
  return ok ? 0 : 1;
}

int sink(const sockaddr_in &sa) {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 ||
      listen(listener, 1) != 0) {
    return fail("listen");
  }
  printf("ready\n");
  fflush(stdout);
  int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn < 0) return fail("accept");
  std::vector<uint8_t> buf(PIECE);
  for (;;) {
    ssize_t r = recv(conn, buf.data(), buf.size(), 0);
    if (r == 0) break;
    if (r < 0) return fail("recv");
  }
  close(conn);
  close(listener);
  // The time on a core the receiving took, as /proc/PID/schedstat gives
  // it for the simulator's thread too.
  int stat = open("/proc/self/schedstat", O_RDONLY | O_CLOEXEC);
  char text[64] = {};
  if (stat >= 0 && read(stat, text, sizeof text - 1) > 0) {
    printf("cpu %.4f\n", static_cast<double>(std::strtoull(text, nullptr, 10)) / 1e9);
  }
  if (stat >= 0) close(stat);
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  sockaddr_in sa{};
  if (argc == 6 && strcmp(argv[1], "send") == 0 && address_of(argv[3], argv[4], &sa)) {
    return send_image(strcmp(argv[2], "loader") == 0, sa, argv[5]);
  }
  if (argc == 4 && strcmp(argv[1], "sink") == 0 && address_of(argv[2], argv[3], &sa)) {
    return sink(sa);
  }
  fprintf(stderr,
          "usage: sim_blast send loader|plain ADDRESS PORT FILE\n"
          "       sim_blast sink ADDRESS PORT\n");
  return 2;
}
