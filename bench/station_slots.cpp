// station_slots: the fixtures bench/station measures kesp-batch --station
// against, on loopback.
//
// usage: station_slots empty FIRST REFUSING OFF
//          REFUSING addresses from FIRST on that refuse connections (bound,
//          not listening), then OFF addresses that never answer (a listener
//          whose accept queue is full drops connection requests, as a board
//          that is off does); prints one address per line, then "ready",
//          and holds them until SIGTERM.
//        station_slots board ADDRESS ROUNDS SETTLE_MS
//          a board that is flashed ROUNDS times: each round it waits for a
//          unit, leaves (its address refuses), and comes back SETTLE_MS +
//          500 ms later. Prints, per round, the milliseconds from accepting
//          the unit's connection to its first image byte, and whether the
//          first connection after its return carried a request (the slot was
//          armed again within the settle time + 0.5 s) or was a probe.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "crc32.h"
#include "net.h"
#include "wire.h"

namespace {

using clock_type = std::chrono::steady_clock;

sockaddr_in at(uint32_t host) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(LOADER_PORT);
  sa.sin_addr.s_addr = htonl(host);
  return sa;
}

int bound(uint32_t host) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = at(host);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    perror("bind");
    exit(1);
  }
  return fd;
}

std::string text(uint32_t host) {
  in_addr a{htonl(host)};
  return inet_ntoa(a);
}

int empty(uint32_t first, int refusing, int off) {
  std::vector<int> keep;
  for (int i = 0; i < refusing + off; ++i) {
    uint32_t host = first + static_cast<uint32_t>(i);
    int fd = bound(host);
    keep.push_back(fd);
    if (i >= refusing) {
      // A backlog of 0 holds one connection: ours fills it.
      listen(fd, 0);
      int filler = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in sa = at(host);
      connect(filler, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
      keep.push_back(filler);
    }
    printf("%s\n", text(host).c_str());
  }
  printf("ready\n");
  fflush(stdout);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int sig = 0;
  sigwait(&set, &sig);
  return 0;
}

// Serves one connection; true when it was a unit (a request came).
bool serve(int fd, double *first_byte_ms) {
  auto accepted = clock_type::now();
  uint8_t word[WORD_SIZE];
  if (recv_all(fd, word, sizeof word) != WORD_SIZE) return false;
  request_header h = decode_header(word);
  if ((h.flags & FLAG_ADDRESS) != 0) recv_all(fd, word, sizeof word);
  uint8_t out[REPLY_SIZE];
  encode_reply(out, {0x0101, 0, 0, 0, 0});
  send_all(fd, out, sizeof out);
  std::vector<uint8_t> image(h.length);
  ssize_t got = recv(fd, image.data(), image.size(), 0);
  *first_byte_ms = std::chrono::duration<double, std::milli>(clock_type::now() - accepted).count();
  if (got <= 0) return true;
  size_t have = static_cast<size_t>(got);
  if (have < image.size()) recv_all(fd, image.data() + have, image.size() - have);
  encode_reply(out, {0x0101, 0, 0, h.length, crc32_update(0, image.data(), image.size())});
  send_all(fd, out, sizeof out);
  return true;
}

int board(uint32_t host, int rounds, int settle_ms) {
  int fd = bound(host);
  listen(fd, SOMAXCONN);
  int armed = 0;
  std::vector<double> latencies;
  bool first_after_return = false;
  for (int round = 0; round < rounds;) {
    int c = accept(fd, nullptr, nullptr);
    if (c < 0) continue;
    double ms = 0;
    bool unit = serve(c, &ms);
    close(c);
    if (first_after_return) {
      armed += unit ? 1 : 0;
      printf("round %d: first connection after the board came back: %s\n", round,
             unit ? "a unit (armed)" : "a probe (not armed yet)");
      first_after_return = false;
    }
    if (!unit) continue;
    latencies.push_back(ms);
    printf("round %d: accept to first image byte %.3f ms\n", round, ms);
    ++round;
    // The board leaves: its address refuses until it comes back.
    shutdown(fd, SHUT_RD);
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms + 500));
    listen(fd, SOMAXCONN);
    first_after_return = true;
  }
  std::sort(latencies.begin(), latencies.end());
  printf("median accept to first image byte: %.3f ms over %zu units\n",
         latencies[latencies.size() / 2], latencies.size());
  printf("armed again within settle + 0.5 s: %d of %d returns\n", armed, rounds - 1);
  return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
  if (argc == 5 && std::string(argv[1]) == "empty") {
    return empty(ntohl(inet_addr(argv[2])), atoi(argv[3]), atoi(argv[4]));
  }
  if (argc == 5 && std::string(argv[1]) == "board") {
    return board(ntohl(inet_addr(argv[2])), atoi(argv[3]), atoi(argv[4]));
  }
  fprintf(stderr, "usage: station_slots empty FIRST REFUSING OFF | board ADDRESS ROUNDS SETTLE_MS\n");
  return 2;
}
