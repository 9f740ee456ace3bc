// kesp-sim: a simulated target whose loader serves kesp on TCP port 57000,
// with its flash kept in files, for demonstrations and end-to-end tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net.h"
#include "placeholder.h"
#include "stdfds.h"
#include "target.h"
#include "wakeup.h"
#include "wire.h"

namespace {

constexpr uint16_t NOR_ID = 0x0101;                   // flash_id of the NOR device
constexpr uint16_t NAND_ID = 0x0202;                  // flash_id of the NAND device
constexpr uint64_t NOR_SIZE = uint64_t{16} << 20;     // 16 MiB
constexpr uint64_t NOR_BLOCK = uint64_t{64} << 10;    // 64 KiB
constexpr uint64_t NAND_SIZE = uint64_t{64} << 20;    // 64 MiB
constexpr uint64_t NAND_BLOCK = uint64_t{128} << 10;  // 128 KiB
constexpr int IDLE_TIMEOUT_MS = 10000;                // silence before a client is dropped
constexpr int SESSION_LIMIT_MS = 3600 * 1000;         // an hour: no real transfer takes that
// Clients queued behind the one served: as many as the system allows, so
// that a burst of connects never waits for a SYN to be sent again.
constexpr int LISTEN_BACKLOG = SOMAXCONN;
constexpr int ACCEPT_RETRY_MS = 100;      // pause when out of descriptors
constexpr int EXIT_USAGE = 2;             // bad command line
constexpr uint32_t BOARDS_LIMIT = 1024;   // boards one process serves at most
constexpr char ADDR_MARK[] = "{addr}";    // in a file name: the board's address
constexpr int EXIT_FAILURE_TO_START = 1;  // could not set up
// Descriptors beyond those counted, for the start-up's own passing needs.
constexpr rlim_t SPARE_FDS = 8;
// Each board's thread: its stack, of which a connection uses a fraction.
constexpr size_t THREAD_STACK = size_t{256} * 1024;
// Resident memory besides the boards': program, libraries, log lines.
constexpr uint64_t BASE_MEMORY = uint64_t{8} << 20;

const char USAGE[] =
    "usage: kesp-sim [options]\n"
    "\n"
    "Simulates a target's flash loader on TCP port 57000, serving one client at a\n"
    "time until SIGINT, SIGTERM or SIGHUP. Logs one line per connection on standard\n"
    "error.\n"
    "\n"
    "  -l, --listen ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
    "      --boards N          serve N boards, each with its own flash, on N\n"
    "                          consecutive addresses from ADDR on (default 1)\n"
    "      --nor-file PATH     keep the NOR flash in PATH, created erased when missing\n"
    "                          or empty (default: in memory)\n"
    "      --nor-size BYTES    NOR size (default 16M)\n"
    "      --nor-block BYTES   NOR erase-block size (default 64K)\n"
    "      --nor-id ID         NOR flash_id (default 0x0101)\n"
    "      --nand              add a NAND device, kept in memory\n"
    "      --nand-file PATH    add a NAND device, kept in PATH like the NOR\n"
    "      --nand-size BYTES   NAND size (default 64M)\n"
    "      --nand-block BYTES  NAND erase-block size (default 128K)\n"
    "      --nand-id ID        NAND flash_id (default 0x0202)\n"
    "      --idle-timeout MS   drop a client silent for MS milliseconds (default 10000)\n"
    "      --session-limit MS  drop a client connected for MS milliseconds, however\n"
    "                          it trickles (default 3600000)\n"
    "  -h, --help              print this text and exit\n"
    "\n"
    "Any --nand option adds the NAND device; without it, NAND requests get\n"
    "\"no such device\". BYTES take a K, M or G suffix (powers of 1024); numbers\n"
    "may be written in hexadecimal with 0x.\n"
    "\n"
    "Faults, off by default, committed on every connection (of every board, but\n"
    "for those after a --select):\n"
    "      --first-error CODE  refuse an acceptable request with CODE in the first\n"
    "                          reply (the image is read, nothing is written)\n"
    "      --final-error CODE  report CODE in the final reply and write nothing\n"
    "      --close-after K     close the connection after K image bytes\n"
    "      --reset-after K     reset the connection after K image bytes\n"
    "      --no-final-reply    do the work, then close instead of replying\n"
    "      --cut-first K       send only K bytes of the first reply, then close\n"
    "      --cut-final K       do the work, send only K bytes of the final reply,\n"
    "                          then close\n"
    "      --trickle           send replies one byte at a time, 5 ms apart\n"
    "      --reply-delay MS    wait MS milliseconds before each reply\n"
    "      --final-delay MS    wait MS milliseconds more before the final reply\n"
    "      --write-delay MS    wait MS milliseconds after each 64K written into the\n"
    "                          flash, as a slow part would\n"
    "      --select LIST       apply the fault options that follow only to the boards\n"
    "                          in LIST: numbers from 1, ranges like 3-5, or\n"
    "                          addresses, separated by commas\n"
    "\n"
    "With --boards, a --nor-file or --nand-file PATH must contain {addr}, which\n"
    "stands for each board's address, and every log line names its board.\n";

enum option_id {
  OPT_NOR_FILE = 256,
  OPT_NOR_SIZE,
  OPT_NOR_BLOCK,
  OPT_NOR_ID,
  OPT_NAND,
  OPT_NAND_FILE,
  OPT_NAND_SIZE,
  OPT_NAND_BLOCK,
  OPT_NAND_ID,
  OPT_IDLE_TIMEOUT,
  OPT_SESSION_LIMIT,
  OPT_FIRST_ERROR,
  OPT_FINAL_ERROR,
  OPT_CLOSE_AFTER,
  OPT_RESET_AFTER,
  OPT_NO_FINAL_REPLY,
  OPT_CUT_FIRST,
  OPT_CUT_FINAL,
  OPT_TRICKLE,
  OPT_REPLY_DELAY,
  OPT_FINAL_DELAY,
  OPT_WRITE_DELAY,
  OPT_BOARDS,
  OPT_SELECT,
};

const option LONG_OPTIONS[] = {
    {"listen", required_argument, nullptr, 'l'},
    {"help", no_argument, nullptr, 'h'},
    {"nor-file", required_argument, nullptr, OPT_NOR_FILE},
    {"nor-size", required_argument, nullptr, OPT_NOR_SIZE},
    {"nor-block", required_argument, nullptr, OPT_NOR_BLOCK},
    {"nor-id", required_argument, nullptr, OPT_NOR_ID},
    {"nand", no_argument, nullptr, OPT_NAND},
    {"nand-file", required_argument, nullptr, OPT_NAND_FILE},
    {"nand-size", required_argument, nullptr, OPT_NAND_SIZE},
    {"nand-block", required_argument, nullptr, OPT_NAND_BLOCK},
    {"nand-id", required_argument, nullptr, OPT_NAND_ID},
    {"idle-timeout", required_argument, nullptr, OPT_IDLE_TIMEOUT},
    {"session-limit", required_argument, nullptr, OPT_SESSION_LIMIT},
    {"first-error", required_argument, nullptr, OPT_FIRST_ERROR},
    {"final-error", required_argument, nullptr, OPT_FINAL_ERROR},
    {"close-after", required_argument, nullptr, OPT_CLOSE_AFTER},
    {"reset-after", required_argument, nullptr, OPT_RESET_AFTER},
    {"no-final-reply", no_argument, nullptr, OPT_NO_FINAL_REPLY},
    {"cut-first", required_argument, nullptr, OPT_CUT_FIRST},
    {"cut-final", required_argument, nullptr, OPT_CUT_FINAL},
    {"trickle", no_argument, nullptr, OPT_TRICKLE},
    {"reply-delay", required_argument, nullptr, OPT_REPLY_DELAY},
    {"final-delay", required_argument, nullptr, OPT_FINAL_DELAY},
    {"write-delay", required_argument, nullptr, OPT_WRITE_DELAY},
    {"boards", required_argument, nullptr, OPT_BOARDS},
    {"select", required_argument, nullptr, OPT_SELECT},
    {nullptr, 0, nullptr, 0},
};

// Fault options given after one --select (or before any, for every board).
struct fault_group {
  std::string list;  // the --select LIST; empty for every board
  std::vector<std::function<void(fault_plan &)>> faults;
};

struct settings {
  std::string listen = "127.0.0.1";
  uint32_t boards = 1;
  std::string nor_file;  // with {addr} for the board's address
  std::string nand_file;
  bool nand = false;
  target t;  // every board's, but for the faults
  std::vector<fault_group> groups{1};
};

[[noreturn]] void usage_error(const std::string &why) {
  fprintf(stderr, "kesp-sim: %s\n(kesp-sim --help lists the options)\n", why.c_str());
  exit(EXIT_USAGE);
}

// An unsigned number in C notation with an optional binary K, M or G.
uint64_t parse_number(const char *name, const char *text, uint64_t limit, bool suffix) {
  // strtoull would take a sign or blanks in front.
  if (isdigit(static_cast<unsigned char>(*text)) == 0) {
    usage_error(std::string("invalid ") + name + ": " + text);
  }
  char *end = nullptr;
  errno = 0;
  unsigned long long value = strtoull(text, &end, 0);
  int shift = 0;
  if (suffix && *end != '\0' && end[1] == '\0') {
    const char *units = "KMG";
    if (const char *unit = strchr(units, toupper(static_cast<unsigned char>(*end)))) {
      shift = 10 * static_cast<int>(unit - units + 1);
      ++end;
    }
  }
  if (*end != '\0' || errno == ERANGE || value > (limit >> shift)) {
    usage_error(std::string("invalid ") + name + ": " + text);
  }
  return uint64_t{value} << shift;
}

int32_t parse_code(const char *name, const char *text) {
  char *end = nullptr;
  errno = 0;
  long long value = strtoll(text, &end, 0);
  if (end == text || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
    usage_error(std::string("invalid ") + name + ": " + text);
  }
  return static_cast<int32_t>(value);
}

int parse_ms(const char *name, const char *text) {
  return static_cast<int>(parse_number(name, text, INT32_MAX, false));
}

// A fault option's effect on a board's plan; its value is checked here,
// once, whichever boards it goes to.
std::function<void(fault_plan &)> parse_fault(int opt, const char *arg) {
  switch (opt) {
    case OPT_FIRST_ERROR:
      return [v = parse_code("--first-error", arg)](fault_plan &f) { f.first_error = v; };
    case OPT_FINAL_ERROR: {
      int32_t code = parse_code("--final-error", arg);
      // Code 0 is the done reply: the client would believe an image was
      // written that never was.
      if (code == ERR_NONE) {
        usage_error("--final-error 0 would report done and write nothing; give a failure code");
      }
      return [code](fault_plan &f) { f.final_error = code; };
    }
    case OPT_CLOSE_AFTER:
      return [v = static_cast<uint32_t>(parse_number("--close-after", arg, LENGTH_LIMIT - 1,
                                                     false))](fault_plan &f) { f.close_after = v; };
    case OPT_RESET_AFTER:
      return [v = static_cast<uint32_t>(parse_number("--reset-after", arg, LENGTH_LIMIT - 1,
                                                     false))](fault_plan &f) { f.reset_after = v; };
    case OPT_NO_FINAL_REPLY:
      return [](fault_plan &f) { f.no_final_reply = true; };
    case OPT_CUT_FIRST:
      return [v = parse_number("--cut-first", arg, REPLY_SIZE - 1, false)](fault_plan &f) {
        f.cut_first = v;
      };
    case OPT_CUT_FINAL:
      return [v = parse_number("--cut-final", arg, REPLY_SIZE - 1, false)](fault_plan &f) {
        f.cut_final = v;
      };
    case OPT_TRICKLE:
      return [](fault_plan &f) { f.trickle = true; };
    case OPT_REPLY_DELAY:
      return [v = parse_ms("--reply-delay", arg)](fault_plan &f) { f.reply_delay_ms = v; };
    case OPT_FINAL_DELAY:
      return [v = parse_ms("--final-delay", arg)](fault_plan &f) { f.final_delay_ms = v; };
    case OPT_WRITE_DELAY:
      return [v = parse_ms("--write-delay", arg)](fault_plan &f) { f.write_delay_ms = v; };
    default:
      return [](fault_plan &) {};
  }
}

// What no single option shows wrong: the devices' geometry, and one file
// per board.
void check_settings(const settings &s) {
  if (s.boards > 1) {
    for (const auto *path : {&s.nor_file, &s.nand_file}) {
      if (!path->empty() && path->find(ADDR_MARK) == std::string::npos) {
        usage_error(std::string("with --boards, a flash file name must contain ") + ADDR_MARK +
                    " so that each board has its own: " + *path);
      }
    }
  }
  for (const flash_device *dev : {&s.t.nor, s.t.nand ? &*s.t.nand : nullptr}) {
    if (dev == nullptr) continue;
    std::string why = check_geometry(*dev);
    if (!why.empty()) usage_error(why);
  }
}

// The limits that have no sensible 0.
int parse_positive_ms(const char *name, const char *text) {
  int ms = parse_ms(name, text);
  if (ms == 0) usage_error(std::string(name) + " must be at least 1");
  return ms;
}

settings parse_command_line(int argc, char *argv[]) {
  settings s;
  s.t.nor = {"nor", NOR_ID, NOR_SIZE, NOR_BLOCK, -1, {}, {}};
  flash_device nand{"nand", NAND_ID, NAND_SIZE, NAND_BLOCK, -1, {}, {}};
  s.t.idle_timeout_ms = IDLE_TIMEOUT_MS;
  s.t.session_limit_ms = SESSION_LIMIT_MS;
  opterr = 0;
  int opt = 0;
  while ((opt = getopt_long(argc, argv, ":l:h", LONG_OPTIONS, nullptr)) != -1) {
    const char *name = optind > 0 && optind <= argc ? argv[optind - 1] : "option";
    switch (opt) {
      case 'h':
        fputs(USAGE, stdout);
        exit(0);
      case 'l':
        s.listen = optarg;
        break;
      case OPT_NOR_FILE:
        s.nor_file = optarg;
        break;
      case OPT_NOR_SIZE:
        s.t.nor.size = parse_number("--nor-size", optarg, DEVICE_SIZE_LIMIT, true);
        break;
      case OPT_NOR_BLOCK:
        s.t.nor.block_size = parse_number("--nor-block", optarg, DEVICE_SIZE_LIMIT, true);
        break;
      case OPT_NOR_ID:
        s.t.nor.id = static_cast<uint16_t>(parse_number("--nor-id", optarg, UINT16_MAX, false));
        break;
      case OPT_NAND:
        s.nand = true;
        break;
      case OPT_NAND_FILE:
        s.nand = true;
        s.nand_file = optarg;
        break;
      case OPT_NAND_SIZE:
        s.nand = true;
        nand.size = parse_number("--nand-size", optarg, DEVICE_SIZE_LIMIT, true);
        break;
      case OPT_NAND_BLOCK:
        s.nand = true;
        nand.block_size = parse_number("--nand-block", optarg, DEVICE_SIZE_LIMIT, true);
        break;
      case OPT_NAND_ID:
        s.nand = true;
        nand.id = static_cast<uint16_t>(parse_number("--nand-id", optarg, UINT16_MAX, false));
        break;
      case OPT_IDLE_TIMEOUT:
        s.t.idle_timeout_ms = parse_positive_ms("--idle-timeout", optarg);
        break;
      case OPT_SESSION_LIMIT:
        s.t.session_limit_ms = parse_positive_ms("--session-limit", optarg);
        break;
      case OPT_FIRST_ERROR:
      case OPT_FINAL_ERROR:
      case OPT_CLOSE_AFTER:
      case OPT_RESET_AFTER:
      case OPT_NO_FINAL_REPLY:
      case OPT_CUT_FIRST:
      case OPT_CUT_FINAL:
      case OPT_TRICKLE:
      case OPT_REPLY_DELAY:
      case OPT_FINAL_DELAY:
      case OPT_WRITE_DELAY:
        s.groups.back().faults.push_back(parse_fault(opt, optarg));
        break;
      case OPT_BOARDS:
        s.boards = static_cast<uint32_t>(parse_number("--boards", optarg, UINT32_MAX, false));
        if (s.boards == 0) usage_error("--boards must be at least 1");
        if (s.boards > BOARDS_LIMIT) {
          usage_error(std::string("invalid --boards: ") + optarg + " (one process serves 1 to " +
                      std::to_string(BOARDS_LIMIT) + " boards)");
        }
        break;
      case OPT_SELECT:
        if (*optarg == '\0') usage_error("--select needs a list of boards");
        s.groups.push_back({optarg, {}});
        break;
      case ':':
        usage_error(std::string(name) + " needs a value");
      default:
        usage_error(std::string("unknown option ") + name);
    }
  }
  if (optind < argc) usage_error(std::string("unexpected argument ") + argv[optind]);
  if (s.nand) s.t.nand = nand;
  check_settings(s);
  return s;
}

// A closed terminal (SIGHUP) stops the simulator as SIGINT and SIGTERM do,
// every connection logged. The handlers only wake the loops: the
// connection in progress ends at its next wait, never in the middle of
// writing the flash.
bool install_stop_handlers() { return install_wakeup_signals() && add_wakeup_signal(SIGHUP); }

[[noreturn]] void fail_to_start(const std::string &why) {
  fprintf(stderr, "kesp-sim: %s\n", why.c_str());
  exit(EXIT_FAILURE_TO_START);
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

// The boards (from 0) that a --select list names: numbers from 1, ranges
// of them, or the boards' addresses.
std::vector<bool> selected_boards(const std::string &list, uint32_t first, uint32_t boards) {
  std::vector<bool> chosen(boards, false);
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = std::min(list.find(',', start), list.size());
    std::string item = list.substr(start, comma - start);
    start = comma + 1;
    auto bad = [&](const std::string &why) {
      std::string text = "--select ";
      text += list;
      text += ": ";
      text += item;
      text += ": ";
      text += why;
      usage_error(text);
    };
    if (item.find('.') != std::string::npos) {
      uint32_t at = parse_ipv4(item);
      if (at < first || at - first >= boards) bad("not the address of one of the boards");
      chosen[at - first] = true;
      continue;
    }
    size_t dash = item.find('-');
    std::string low = item.substr(0, dash);
    std::string high = dash == std::string::npos ? low : item.substr(dash + 1);
    if (low.empty() || high.empty()) bad("not a board number or range");
    auto from = parse_number("--select", low.c_str(), UINT32_MAX, false);
    auto to = parse_number("--select", high.c_str(), UINT32_MAX, false);
    if (from < 1 || to < from || to > boards) {
      bad("boards are numbered 1 to " + std::to_string(boards));
    }
    for (auto b = from; b <= to; ++b) chosen[b - 1] = true;
  }
  return chosen;
}

int open_listener(const std::string &address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(LOADER_PORT);
  sa.sin_addr.s_addr = htonl(parse_ipv4(address));
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) fail_to_start(std::string("socket: ") + strerror(errno));
  // Lets a restarted simulator take the port while old connections linger.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  std::string where = address + ":" + std::to_string(LOADER_PORT);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 ||
      listen(fd, LISTEN_BACKLOG) != 0) {
    fail_to_start(where + ": " + strerror(errno));
  }
  return fd;
}

// One simulated board: its address, its listener and its own flash.
struct board {
  std::string address;
  std::string log_prefix;  // "kesp-sim: ", and the address when there are several
  std::string nor_path;    // the flash files; empty in memory
  std::string nand_path;
  int listener = -1;
  target t;
};

// Serves one client after another until a stop signal.
void serve(board &b) {
  pollfd fds[2] = {{b.listener, POLLIN, 0}, {b.t.stop_fd, POLLIN, 0}};
  bool told = false;  // of the accept trouble under way
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    int conn = accept4(b.listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Once per spell, so that a client left waiting knows why.
        if (!told) {
          fprintf(stderr, "%scannot take a client [host: accept: %s]\n", b.log_prefix.c_str(),
                  strerror(errno));
        }
        told = true;
        poll(nullptr, 0, ACCEPT_RETRY_MS);
      }
      continue;
    }
    told = false;
    // Replies trickled byte by byte must leave as separate segments.
    int on = 1;
    setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    session_record rec = serve_connection(conn, b.t);
    close(conn);
    // One call per line, so that boards' lines never interleave.
    fprintf(stderr, "%s%s\n", b.log_prefix.c_str(), describe(rec).c_str());
  }
}

std::string with_address(const std::string &path, const std::string &address) {
  std::string out(substitute(path.data(), path.size(), ADDR_MARK, address.c_str(), nullptr, 0), '\0');
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

// Two devices writing one file would each overwrite the other, and a
// device's journal or temporary file made where another device keeps its
// flash would truncate and remove it; the lock would call the first "in use
// by another simulator", which points the user the wrong way. Checked
// before any file is made, so that a refused command line leaves nothing.
void check_device_names(const std::vector<board> &boards) {
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

// The descriptors in use before the boards take theirs.
rlim_t descriptors_open() {
  std::error_code ec;
  rlim_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return ec || n == 0 ? 3 : n;
}

// Every board may hold at once its listener, a client, each device's file,
// and during a write the journal and its folder. The limit is raised to
// hold them all, or the start fails naming what is short, so that no
// client is ever told "erase error" for want of a descriptor.
void claim_descriptors(const settings &s) {
  const rlim_t files = (s.nor_file.empty() ? 0 : 1) + (s.nand_file.empty() ? 0 : 1);
  const rlim_t per_board = 2 + files + (files > 0 ? 2 : 0);
  std::string what = "listener, client";
  if (!s.nor_file.empty()) what += ", NOR file";
  if (!s.nand_file.empty()) what += ", NAND file";
  if (files > 0) what += ", journal, folder";
  // The stop pipe is made after this.
  const rlim_t besides = descriptors_open() + 2 + SPARE_FDS;
  const rlim_t need = besides + static_cast<rlim_t>(s.boards) * per_board;
  rlimit fds{};
  if (getrlimit(RLIMIT_NOFILE, &fds) != 0)
    fail_to_start(std::string("open files: ") + strerror(errno));
  if (fds.rlim_cur != RLIM_INFINITY && fds.rlim_cur < need) {
    // Only a privileged process may raise the hard limit; others are told.
    rlimit wanted{need, std::max(fds.rlim_max, need)};
    if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
      fail_to_start("open files: " + std::to_string(s.boards) + " board" +
                    (s.boards > 1 ? "s" : "") + " need " + std::to_string(need) +
                    " descriptors at once (" + std::to_string(per_board) + " per board: " + what +
                    "; " + std::to_string(besides) + " besides), but the limit is " +
                    std::to_string(fds.rlim_max) + ": raise it (ulimit -n) or serve fewer boards");
    }
  }
}

// The memory limit of this process's control group, or 0 for none known.
uint64_t cgroup_memory_limit() {
  std::ifstream groups("/proc/self/cgroup");
  uint64_t limit = 0;
  for (std::string line; std::getline(groups, line);) {
    // "ID:CONTROLLERS:PATH", the unified hierarchy with ID 0 and no
    // controllers.
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    std::vector<std::string> files;
    if (controllers.empty()) {
      files = {"/sys/fs/cgroup" + path + "/memory.max",
               "/sys/fs/cgroup/unified" + path + "/memory.max"};
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      files = {"/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes"};
    }
    for (const auto &file : files) {
      std::ifstream in(file);
      unsigned long long value = 0;
      // "max", or a number far beyond any machine's, is no limit.
      if (in >> value && value > 0 && value < (uint64_t{1} << 60) &&
          (limit == 0 || value < limit)) {
        limit = value;
      }
    }
  }
  return limit;
}

std::string mib(uint64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

// The memory every board works in is taken before the ready line. Where
// the control group sets a limit that cannot hold it, the start fails
// naming it: the system would kill the simulator with no word later.
void check_memory(const settings &s) {
  const uint64_t per_board = SESSION_BUFFERS + THREAD_STACK;
  const uint64_t need = BASE_MEMORY + uint64_t{s.boards} * per_board;
  const uint64_t limit = cgroup_memory_limit();
  if (limit != 0 && need > limit) {
    fail_to_start("memory: " + std::to_string(s.boards) + " board" + (s.boards > 1 ? "s" : "") +
                  " need " + mib(need) + " to serve at once (" + std::to_string(per_board >> 10) +
                  " KiB per board, " + mib(BASE_MEMORY) +
                  " besides), but the memory limit of this control group is " + mib(limit));
  }
}

// The boards from the command line: their addresses, and each one's target
// with the faults chosen for it.
std::vector<board> lay_out_boards(const settings &s) {
  const uint32_t first = parse_ipv4(s.listen);
  if (s.boards - 1 > UINT32_MAX - first) {
    usage_error(std::to_string(s.boards) + " boards from " + s.listen +
                " run past 255.255.255.255");
  }
  std::vector<board> boards(s.boards);
  for (uint32_t i = 0; i < s.boards; ++i) {
    boards[i].address = ipv4_text(first + i);
    boards[i].log_prefix = s.boards > 1 ? "kesp-sim: " + boards[i].address + ": " : "kesp-sim: ";
    boards[i].nor_path = with_address(s.nor_file, boards[i].address);
    boards[i].nand_path = with_address(s.nand_file, boards[i].address);
    boards[i].t = s.t;
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

// Holds the boards' threads until every one of them exists: the ready
// line promises that every board can serve.
class start_gate {
 public:
  enum class state { waiting, go, quit };

  void open(state to) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      now_ = to;
    }
    changed_.notify_all();
  }
  bool wait_for_go() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return now_ != state::waiting; });
    return now_ == state::go;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  state now_ = state::waiting;
};

struct board_thread {
  board *b;
  start_gate *gate;
};

void *serve_when_told(void *arg) {
  auto *job = static_cast<board_thread *>(arg);
  if (job->gate->wait_for_go()) serve(*job->b);
  return nullptr;
}

// Says it is ready and serves every board until a stop signal: one board
// in this thread, several in a thread each, every thread made first.
void serve_all(std::vector<board> &boards) {
  const std::string &first = boards.front().address;
  if (boards.size() == 1) {
    fprintf(stderr, "kesp-sim: listening on %s:%u\n", first.c_str(), LOADER_PORT);
    serve(boards[0]);
    return;
  }
  start_gate gate;
  std::vector<board_thread> jobs(boards.size());
  std::vector<pthread_t> threads;
  threads.reserve(boards.size());
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, THREAD_STACK);
  for (size_t i = 0; i < boards.size(); ++i) {
    jobs[i] = {&boards[i], &gate};
    pthread_t thread{};
    int rc = pthread_create(&thread, &attr, serve_when_told, &jobs[i]);
    if (rc != 0) {
      gate.open(start_gate::state::quit);
      for (auto made : threads) pthread_join(made, nullptr);
      fail_to_start("threads: " + std::to_string(boards.size()) +
                    " boards need a thread each, and the system refused the " +
                    std::to_string(i + 1) + "th, for " + boards[i].address + ": " + strerror(rc) +
                    ": raise the task limit or serve fewer boards");
    }
    threads.push_back(thread);
  }
  pthread_attr_destroy(&attr);
  fprintf(stderr, "kesp-sim: listening on %s:%u .. %s:%u (%zu boards)\n", first.c_str(),
          LOADER_PORT, boards.back().address.c_str(), LOADER_PORT, boards.size());
  gate.open(start_gate::state::go);
  for (auto thread : threads) pthread_join(thread, nullptr);
}

}  // namespace

int main(int argc, char *argv[]) {
  // With a standard descriptor closed, the listener or a flash file would
  // take its number, and our log lines would land in the flash.
  if (!open_std_fds()) return EXIT_FAILURE_TO_START;
  // A client that vanishes must fail our send, not end the process, and a
  // file size limit must fail our write.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  settings s = parse_command_line(argc, argv);
  std::vector<board> boards = lay_out_boards(s);
  check_device_names(boards);
  claim_descriptors(s);
  check_memory(s);
  // Every address first: one that is taken ends the start before any file
  // is made, and names itself so that a harness can move on.
  for (auto &b : boards) b.listener = open_listener(b.address);
  // Before the flash files: making a large one takes a while, and a stop
  // meanwhile must end it cleanly.
  if (!install_stop_handlers()) fail_to_start(std::string("signals: ") + strerror(errno));
  for (auto &b : boards) {
    b.t.stop_fd = wakeup_fd();
    open_device(b.t.nor, b.nor_path);
    if (b.t.nand) open_device(*b.t.nand, b.nand_path);
    claim_buffers(b.t);
  }
  serve_all(boards);

  // Every write was synced before its reply, so there is nothing to flush.
  for (auto &b : boards) {
    close(b.listener);
    close_device(b.t.nor);
    if (b.t.nand) close_device(*b.t.nand);
  }
  fprintf(stderr, "kesp-sim: stopped\n");
  return 0;
}
