// A board's life in its slot: it serves, leaves after a start request or a
// remove, and a fresh erased board with a serial number of its own comes.
#include "slots.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "addresses.h"
#include "crc32.h"
#include "flash.h"
#include "placeholder.h"
#include "wakeup.h"

namespace {

constexpr int ACCEPT_RETRY_MS = 100;  // pause when out of descriptors

// Serial numbers of the boards as they come, across the whole process.
std::atomic<uint32_t> next_serial{1};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

std::string serial_text(uint32_t serial) {
  char text[16];
  snprintf(text, sizeof text, "SN%06u", serial);
  return text;
}

std::string hex4(uint16_t id) {
  char text[8];
  snprintf(text, sizeof text, "%04x", id);
  return text;
}

// The CRC-32 of a device's whole content, as the truth a test holds every
// verdict against: what any connection left anywhere in the part, not only
// what was meant to be written.
std::string device_crc(const flash_device &dev, target &t) {
  claim_buffers(t);
  uint32_t crc = 0;
  for (uint64_t at = 0; at < dev.size; at += FLASH_CHUNK) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(FLASH_CHUNK, dev.size - at));
    if (!read_flash(dev, t.scratch.data(), n, at)) {
      return dev.name + " unreadable [host: " + strerror(errno) + "]";
    }
    crc = crc32_update(crc, t.scratch.data(), n);
  }
  char text[16];
  snprintf(text, sizeof text, "%08x", crc);
  return dev.name + " crc32=" + text;
}

// The board in the slot leaves it: its address refuses connections from
// now on. Logged with its flash's content.
void leave(slot_board &b, const char *why) {
  if (b.serial == 0) return;
  close(b.listener);
  b.listener = -1;
  std::string line = b.log_prefix + "board " + serial_text(b.serial) + " left (" + why +
                     "): " + device_crc(b.t.nor, b.t);
  if (b.t.nand) line += ", " + device_crc(*b.t.nand, b.t);
  fprintf(stderr, "%s\n", line.c_str());
  b.serial = 0;
}

// Erases a device as a fresh board's is.
std::string erase_device(flash_device &dev, target &t) {
  if (dev.fd < 0) {
    close_device(dev);
    return open_memory(dev);
  }
  claim_buffers(t);
  std::fill(t.scratch.begin(), t.scratch.end(), uint8_t{0xff});
  for (uint64_t at = 0; at < dev.size; at += FLASH_CHUNK) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(FLASH_CHUNK, dev.size - at));
    if (!write_flash(dev, t.scratch.data(), n, at)) return dev.path + ": " + strerror(errno);
  }
  if (fsync(dev.fd) != 0) return dev.path + ": " + strerror(errno);
  dev.journal_pending = false;
  return {};
}

// A fresh, erased board with a serial number of its own takes the empty
// slot, listening again; where the host cannot give it what it needs, it
// tries again shortly.
void arrive(slot_board &b) {
  if (b.serial != 0) return;
  std::string why = erase_device(b.t.nor, b.t);
  if (why.empty() && b.t.nand) why = erase_device(*b.t.nand, b.t);
  if (why.empty()) b.listener = try_listener(b.address, b.device, &why);
  if (!why.empty()) {
    fprintf(stderr, "%scannot insert a board [host: %s]\n", b.log_prefix.c_str(), why.c_str());
    b.coming = true;
    b.back_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(ACCEPT_RETRY_MS);
    return;
  }
  b.coming = false;
  b.serial = next_serial++;
  fprintf(stderr, "%sboard %s inserted, erased, nor id %s\n", b.log_prefix.c_str(),
          serial_text(b.serial).c_str(), hex4(b.t.faults.nor_id.value_or(b.t.nor.id)).c_str());
}

// An eventfd's wakes, taken; one that holds none says EAGAIN, which is no fault.
void take_wakes(int fd) {
  uint64_t count = 0;
  if (read(fd, &count, sizeof count) < 0 && errno != EAGAIN) perror("kesp-sim: eventfd");
}

}  // namespace

void wake(int fd) {
  uint64_t one = 1;
  if (write(fd, &one, sizeof one) < 0) perror("kesp-sim: eventfd");
}

namespace {

// Carries out what the control FIFO asked since the last look.
void obey(slot_board &b) {
  take_wakes(b.command_fd);
  std::vector<board_command> todo;
  {
    // The pulls taken with the commands that asked for them, under the
    // lock they were given under: a remove that comes after this look
    // keeps its pull armed for the next.
    std::lock_guard<std::mutex> lock(b.mutex);
    todo.swap(b.pending);
    take_wakes(b.pull_fd);
  }
  for (auto asked : todo) {
    if (asked == board_command::remove) {
      leave(b, "removed");
      b.coming = false;
    } else if (b.serial != 0) {
      fprintf(stderr, "%sboard %s already in the slot: insert ignored\n", b.log_prefix.c_str(),
              serial_text(b.serial).c_str());
    } else {
      arrive(b);
    }
  }
}

// Milliseconds until a fresh board comes, or -1 for none due.
int ms_until_back(const slot_board &b) {
  if (!b.coming) return -1;
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(b.back_at - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX));
}

int swap_time(const slot_board &b) {
  static thread_local std::minstd_rand random{std::random_device{}()};
  std::uniform_int_distribution<int> pick(b.swap_min_ms, b.swap_max_ms);
  return pick(random);
}

// A connection that brought no byte: in operator mode, a station looking
// whether a board is in its slot.
bool probe(const session_record &rec) {
  return rec.end == session_end::gone && !rec.have_request && rec.request_bytes == 0;
}

// Takes the next client from the listener: its descriptor, or -1 when
// there is none to take now.
int accept_client(slot_board &b, bool &told) {
  int conn = accept4(b.listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (conn >= 0) {
    told = false;
    // Replies trickled byte by byte must leave as separate segments.
    int on = 1;
    setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return conn;
  }
  if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
    // Once per spell, so that a client left waiting knows why.
    if (!told) {
      fprintf(stderr, "%scannot take a client [host: accept: %s]\n", b.log_prefix.c_str(),
              strerror(errno));
    }
    told = true;
    poll(nullptr, 0, ACCEPT_RETRY_MS);
  }
  return -1;
}

// Closes a served connection and logs it; a board that was started leaves
// when it is to.
void after_session(slot_board &b, int conn, const session_record &rec) {
  // A pulled board answers nothing more. On loopback the kernel would
  // still close in order; a reset ends the client's wait at once, where
  // a real pull leaves it to its dead-peer time-out: both fail the unit.
  if (rec.end == session_end::pulled) {
    linger hard{1, 0};
    setsockopt(conn, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  close(conn);
  std::string line = b.tracked && probe(rec) ? "probe: closed without a byte" : describe(rec);
  if (b.tracked) line.insert(0, "board " + serial_text(b.serial) + ": ");
  // One call per line, so that boards' lines never interleave.
  fprintf(stderr, "%s%s\n", b.log_prefix.c_str(), line.c_str());
  if (rec.end == session_end::start && b.swap_min_ms >= 0) {
    leave(b, "start request");
    b.coming = true;
    b.back_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(swap_time(b));
  }
}

}  // namespace

void serve(slot_board &b) {
  bool told = false;  // of the accept trouble under way
  for (;;) {
    pollfd fds[3] = {{b.listener, POLLIN, 0}, {b.t.stop_fd, POLLIN, 0}, {b.command_fd, POLLIN, 0}};
    if (poll(fds, 3, ms_until_back(b)) < 0) continue;
    if (fds[1].revents != 0) return;
    if (fds[2].revents != 0) obey(b);
    if (b.coming && ms_until_back(b) == 0) arrive(b);
    if (b.listener < 0 || fds[0].revents == 0) continue;
    int conn = accept_client(b, told);
    if (conn < 0) continue;
    session_record rec = serve_connection(conn, b.t);
    after_session(b, conn, rec);
  }
}

namespace {

std::string with_address(const std::string &path, const std::string &address) {
  std::string out(substitute(path.data(), path.size(), ADDR_MARK, address.c_str(), nullptr, 0),
                  '\0');
  substitute(path.data(), path.size(), ADDR_MARK, address.c_str(), out.data(), out.size() + 1);
  return out;
}

// A name a device's file has or that the simulator will make beside it,
// for telling whether two devices would meet in one file.
struct device_name {
  std::string path;
  std::string role;  // "file", "journal" or "temporary file"
  std::string device;
};

// The identity of a name: its file's device and inode where it exists, its
// absolute path with the folders' links resolved where it does not yet.
std::string identity_of(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    return "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  std::error_code ec;
  auto resolved = std::filesystem::weakly_canonical(path, ec);
  if (ec) resolved = std::filesystem::absolute(path, ec).lexically_normal();
  return "path " + resolved.string();
}

void open_device(flash_device &dev, const std::string &path) {
  bool stopped = false;
  std::string why =
      path.empty() ? open_memory(dev) : open_backing_file(dev, path, wakeup_fd(), &stopped);
  if (!why.empty()) fail_to_start(why);
  if (stopped) {
    // Nothing was left behind; stopping now is what was asked for.
    fprintf(stderr, "kesp-sim: stopped\n");
    exit(0);
  }
}

}  // namespace

void check_device_names(const std::vector<slot_board> &boards) {
  std::map<std::string, device_name> seen;
  for (const auto &b : boards) {
    const std::string of = boards.size() > 1 ? " of board " + b.address : "";
    for (const auto &[path, device] : {std::pair{b.nor_path, "the NOR device" + of},
                                       std::pair{b.nand_path, "the NAND device" + of}}) {
      if (path.empty()) continue;
      const device_name names[] = {{path, "file", device},
                                   {journal_name(path), "journal", device},
                                   {temporary_name(path), "temporary file", device}};
      for (const auto &name : names) {
        auto [it, fresh] = seen.emplace(identity_of(name.path), name);
        if (fresh || it->second.device == device) continue;
        const device_name &other = it->second;
        if (name.role == "file" && other.role == "file") {
          usage_error(name.path + " and " + other.path +
                      " are the same file: each device needs its own");
        }
        usage_error(name.path + " and " + other.path + " are the same file: the " + name.role +
                    " of " + name.device + " and the " + other.role + " of " + other.device +
                    "; each device needs names of its own");
      }
    }
  }
}

std::vector<slot_board> lay_out_boards(const sim_settings &s) {
  const uint32_t first = parse_ipv4(s.listen);
  if (s.boards - 1 > UINT32_MAX - first) {
    usage_error(std::to_string(s.boards) + " boards from " + s.listen +
                " run past 255.255.255.255");
  }
  std::vector<slot_board> boards(s.boards);
  for (uint32_t i = 0; i < s.boards; ++i) {
    boards[i].address = ipv4_text(first + i);
    boards[i].log_prefix = s.boards > 1 ? "kesp-sim: " + boards[i].address + ": " : "kesp-sim: ";
    boards[i].nor_path = with_address(s.nor_file, boards[i].address);
    boards[i].nand_path = with_address(s.nand_file, boards[i].address);
    boards[i].t = s.t;
    boards[i].device = s.bind_device;
    boards[i].tracked = operator_mode(s);
    boards[i].swap_min_ms = s.swap_min_ms;
    boards[i].swap_max_ms = s.swap_max_ms;
  }
  for (const auto &group : s.groups) {
    std::vector<bool> chosen = group.list.empty() ? std::vector<bool>(s.boards, true)
                                                  : selected_boards(group.list, first, s.boards);
    for (uint32_t i = 0; i < s.boards; ++i) {
      if (!chosen[i]) continue;
      for (const auto &fault : group.faults) fault(boards[i].t.faults);
    }
  }
  return boards;
}

void open_board(slot_board &b, bool tracked) {
  b.t.stop_fd = wakeup_fd();
  open_device(b.t.nor, b.nor_path);
  if (b.t.nand) open_device(*b.t.nand, b.nand_path);
  claim_buffers(b.t);
  if (tracked) {
    b.command_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    b.pull_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (b.command_fd < 0 || b.pull_fd < 0) {
      fail_to_start(std::string("eventfd: ") + strerror(errno));
    }
    b.t.pull_fd = b.pull_fd;
    b.serial = next_serial++;
    fprintf(stderr, "%sboard %s in, nor id %s\n", b.log_prefix.c_str(),
            serial_text(b.serial).c_str(), hex4(b.t.faults.nor_id.value_or(b.t.nor.id)).c_str());
  }
}

void close_board(slot_board &b) {
  if (b.listener >= 0) close(b.listener);
  if (b.command_fd >= 0) close(b.command_fd);
  if (b.pull_fd >= 0) close(b.pull_fd);
  close_device(b.t.nor);
  if (b.t.nand) close_device(*b.t.nand);
}
