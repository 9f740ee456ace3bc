#include "reach.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int open_board_socket(const board &b, std::string *why) {
  int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (sock < 0) {
    *why = std::string("create socket: ") + strerror(errno);
    return -1;
  }
  if (!b.interface.empty() &&
      setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, b.interface.c_str(),
                 static_cast<socklen_t>(b.interface.size())) != 0) {
    *why = "bind to interface " + b.interface + ": " + strerror(errno);
    close(sock);
    return -1;
  }
  return sock;
}

int start_connect(int sock, const board &b) {
  return connect(sock, reinterpret_cast<const sockaddr *>(&b.address), sizeof b.address);
}
