// The simulator's connection handling driven over a socketpair, with the
// test playing the client.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "net.h"
#include "target.h"
#include "wire.h"

// Sends bytes as the client, a byte at a time if asked (so that no receive
// of the simulator finds a whole word), then ends its side; returns every
// byte the simulator answered, once it has served the connection, and
// the connection's record in *rec when asked.
inline std::string serve_over_socketpair(target &t, const std::string &bytes,
                                         bool byte_by_byte = false, session_record *rec = nullptr) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return {};
  std::string replies;
  std::thread client([&] {
    const size_t step = byte_by_byte ? 1 : bytes.size();
    for (size_t i = 0; i < bytes.size(); i += step) {
      send_all(fds[0], bytes.data() + i, step);
      if (byte_by_byte) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    shutdown(fds[0], SHUT_WR);
    char buf[256];
    ssize_t n = 0;
    while ((n = recv(fds[0], buf, sizeof buf, 0)) > 0) replies.append(buf, size_t(n));
  });
  session_record served = serve_connection(fds[1], t);
  if (rec != nullptr) *rec = served;
  close(fds[1]);
  client.join();
  close(fds[0]);
  return replies;
}
