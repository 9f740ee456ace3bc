#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// Keepalive probes a connection with nothing in flight once it has been
// silent KEEPALIVE_IDLE seconds, then every KEEPALIVE_INTERVAL; the kernel
// gives up after KEEPALIVE_COUNT unanswered probes, 25 s of silence in all,
// the same window as DEAD_PEER_MS. A busy target answers from its stack.
constexpr int KEEPALIVE_IDLE = 10;     // seconds of silence before probing
constexpr int KEEPALIVE_INTERVAL = 5;  // seconds between probes
constexpr int KEEPALIVE_COUNT = 3;     // unanswered probes before giving up
static_assert((KEEPALIVE_IDLE + KEEPALIVE_INTERVAL * KEEPALIVE_COUNT) * 1000 == DEAD_PEER_MS);
// A probe or retransmission a live peer answers within its round trip;
// one left unanswered this long is no longer in flight but lost.
constexpr int64_t UNANSWERED_MS = 3000;
constexpr int WAIT_SLICE_MS = 1000;  // how often a wait looks at the peer

}  // namespace

int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// TCP_USER_TIMEOUT is not used: it also bounds how long the peer's window
// may stay closed, and a target erasing a chip keeps it closed for a minute
// while its stack answers every window probe.
void enable_dead_peer_detection(int sock) {
  int on = 1;
  int idle = KEEPALIVE_IDLE;
  int interval = KEEPALIVE_INTERVAL;
  int count = KEEPALIVE_COUNT;
  setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  timeval slice = {WAIT_SLICE_MS / 1000, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
}

// Silence alone does not tell: a target with its window closed is probed
// with a backoff that doubles up to two minutes, so a live one may be
// silent longer than our window between two answers. What tells is that
// we are still talking to it (retransmitting, probing the window, or
// keepalive probing) and nothing at all comes back.
bool peer_vanished(int sock, peer_watch *watch, int64_t now_ms) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  // Both counts drop to 0 with any acknowledgement. The backoff does not
  // (it stays raised between window probes a live target answers), so it
  // says nothing here.
  bool unanswered = info.tcpi_probes > 0 || info.tcpi_retransmits > 0;
  if (!unanswered) {
    watch->unanswered_since_ms = -1;
    return false;
  }
  if (watch->unanswered_since_ms < 0) watch->unanswered_since_ms = now_ms;
  uint32_t silent_ms = info.tcpi_last_data_recv < info.tcpi_last_ack_recv ? info.tcpi_last_data_recv
                                                                          : info.tcpi_last_ack_recv;
  return silent_ms >= static_cast<uint32_t>(DEAD_PEER_MS) &&
         now_ms - watch->unanswered_since_ms >= UNANSWERED_MS;
}

bool keep_waiting(int sock, short events, peer_watch *watch) {
  if (peer_vanished(sock, watch, monotonic_ms())) {
    errno = ETIMEDOUT;
    return false;
  }
  int fl = fcntl(sock, F_GETFL);
  if (fl >= 0 && (fl & O_NONBLOCK) != 0) {
    pollfd p = {sock, events, 0};
    poll(&p, 1, WAIT_SLICE_MS);
  }
  return true;
}

int connect_bounded(int sock, const sockaddr_in &target) {
  int fl = fcntl(sock, F_GETFL);
  if (fl < 0 || fcntl(sock, F_SETFL, fl | O_NONBLOCK) < 0) return -1;
  int rc = connect(sock, reinterpret_cast<const sockaddr *>(&target), sizeof target);
  if (rc < 0 && errno == EINPROGRESS) {
    const int64_t deadline = monotonic_ms() + CONNECT_TIMEOUT_MS;
    rc = -1;
    for (;;) {
      int64_t left = deadline - monotonic_ms();
      if (left <= 0) {
        errno = ETIMEDOUT;
        break;
      }
      pollfd p = {sock, POLLOUT, 0};
      int n = poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      if (n == 0) continue;
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) break;
      if (err != 0) {
        errno = err;
        break;
      }
      rc = 0;
      break;
    }
  }
  int saved = errno;
  fcntl(sock, F_SETFL, fl);
  errno = saved;
  return rc;
}

void send_without_delay(int sock) {
  int on = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A send that says more follows (MSG_MORE) holds back only the segment it
// leaves unfilled, and only until the next acknowledgement comes, which
// with Nagle's algorithm off sends it out as a runt: the cork holds it
// until the next send fills it.
void hold_partial_segments(int sock) {
  int on = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
}

// Either call sends what is held at once. The cork goes first: once the
// peer can have our last byte, the socket no longer holds any back.
void push_queued(int sock) {
  int off = 0;
  setsockopt(sock, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
  send_without_delay(sock);
}

const char *resolve_host(const char *host, in_addr *address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  int rc = getaddrinfo(host, nullptr, &hints, &found);
  if (rc != 0) return rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
  *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return nullptr;
}

void address_text(const in_addr &address, char (&text)[INET_ADDRSTRLEN]) {
  if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) text[0] = '\0';
}

ssize_t send_all(int fd, const void *buf, size_t n) {
  const auto *p = static_cast<const uint8_t *>(buf);
  size_t done = 0;
  peer_watch watch;
  while (done < n) {
    ssize_t r = send(fd, p + done, n - done, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && keep_waiting(fd, POLLOUT, &watch)) continue;
      return -1;
    }
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

ssize_t recv_all(int fd, void *buf, size_t n) {
  auto *p = static_cast<uint8_t *>(buf);
  size_t done = 0;
  peer_watch watch;
  while (done < n) {
    ssize_t r = recv(fd, p + done, n - done, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && keep_waiting(fd, POLLIN, &watch)) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}
