// Where the boards listen: one address each, and --select's and the control
// FIFO's lists of boards read against them.
#include "addresses.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "net.h"
#include "sim_options.h"
#include "wire.h"

namespace {

// Clients queued behind the one served: as many as the system allows, so
// that a burst of connects never waits for a SYN to be sent again.
constexpr int LISTEN_BACKLOG = SOMAXCONN;

}  // namespace

uint32_t parse_ipv4(const std::string &address) {
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) {
    usage_error("not an IPv4 address: " + address);
  }
  return ntohl(a.s_addr);
}

std::string ipv4_text(uint32_t host) {
  char text[INET_ADDRSTRLEN];
  address_text(in_addr{htonl(host)}, text);
  return text;
}

namespace {

// A board number as the command line writes numbers (decimal, or
// hexadecimal with 0x); nothing when text is not one.
std::optional<uint32_t> board_number(const std::string &text) {
  // strtoull would take a sign or blanks in front.
  if (text.empty() || isdigit(static_cast<unsigned char>(text[0])) == 0) return std::nullopt;
  char *end = nullptr;
  errno = 0;
  unsigned long long n = strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || errno == ERANGE || n > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(n);
}

// Marks the boards an item that is not an address names: a number from 1,
// or a range of them.
selection_error select_range(const std::string &item, uint32_t boards, std::vector<bool> &chosen) {
  size_t dash = item.find('-');
  std::string low = item.substr(0, dash);
  std::string high = dash == std::string::npos ? low : item.substr(dash + 1);
  if (low.empty() || high.empty()) return {item + ": not a board number or range", "", ""};
  auto from = board_number(low);
  auto to = board_number(high);
  if (!from || !to) {
    std::string bad = !from ? low : high;
    return {bad + ": not a number", "", bad};
  }
  if (*from < 1 || *to < *from || *to > boards) {
    return {item + ": boards are numbered 1 to " + std::to_string(boards), "", ""};
  }
  for (auto n = *from; n <= *to; ++n) chosen[n - 1] = true;
  return {};
}

}  // namespace

selection_error select_boards(const std::string &list, uint32_t first, uint32_t boards,
                              std::vector<bool> &chosen) {
  chosen.assign(boards, false);
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = std::min(list.find(',', start), list.size());
    std::string item = list.substr(start, comma - start);
    start = comma + 1;
    if (item.find('.') == std::string::npos) {
      selection_error e = select_range(item, boards, chosen);
      if (!e.why.empty()) return e;
      continue;
    }
    in_addr a{};
    if (inet_pton(AF_INET, item.c_str(), &a) != 1)
      return {item + ": not an IPv4 address", item, ""};
    uint32_t at = ntohl(a.s_addr);
    if (at < first || at - first >= boards) {
      return {item + ": not the address of one of the boards", "", ""};
    }
    chosen[at - first] = true;
  }
  return {};
}

std::vector<bool> selected_boards(const std::string &list, uint32_t first, uint32_t boards) {
  std::vector<bool> chosen;
  selection_error e = select_boards(list, first, boards, chosen);
  if (!e.bad_address.empty()) usage_error("not an IPv4 address: " + e.bad_address);
  if (!e.bad_number.empty()) usage_error("invalid --select: " + e.bad_number);
  if (!e.why.empty()) usage_error("--select " + list + ": " + e.why);
  return chosen;
}

int try_listener(const std::string &address, const std::string &device, std::string *why) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(LOADER_PORT);
  sa.sin_addr.s_addr = htonl(parse_ipv4(address));
  // Non-blocking: a board that left and came back between a poll and the
  // accept must not block on a listener that has nothing for it.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return -1;
  }
  // Lets a restarted simulator take the port while old connections linger.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  std::string where = address + ":" + std::to_string(LOADER_PORT);
  // Boards on several interfaces may share one address, one simulator per
  // interface or namespace.
  if (!device.empty() && setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                                    static_cast<socklen_t>(device.size())) != 0) {
    *why = where + ": " + device + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  if (bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 ||
      listen(fd, LISTEN_BACKLOG) != 0) {
    *why = where + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

int open_listener(const std::string &address, const std::string &device) {
  std::string why;
  int fd = try_listener(address, device, &why);
  if (fd < 0) fail_to_start(why);
  return fd;
}
