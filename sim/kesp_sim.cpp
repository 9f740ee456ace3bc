// kesp-sim: a simulated target whose loader serves kesp on TCP port 57000,
// with its flash kept in files, for demonstrations and end-to-end tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
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
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "crc32.h"
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
    "      --erase-time MS     take MS milliseconds per erase block an update touches\n"
    "      --program-time US   take US microseconds per KiB an update programs\n"
    "      --other-nor-id ID   report ID as the NOR flash_id, as a wrong part would\n"
    "      --select LIST       apply the fault options that follow only to the boards\n"
    "                          in LIST: numbers from 1, ranges like 3-5, or\n"
    "                          addresses, separated by commas\n"
    "\n"
    "The operator, off by default:\n"
    "      --swap MS           a board that received a start request leaves its slot\n"
    "                          (its address refuses connections), and a fresh erased\n"
    "                          board takes the slot after MS milliseconds, or after\n"
    "                          a random time within a range such as 1000-2000\n"
    "      --control PATH      read commands from the FIFO PATH (made when missing):\n"
    "                          \"remove LIST\" pulls boards out, mid-image too (their\n"
    "                          connections are reset), \"insert LIST\" puts fresh\n"
    "                          erased boards into the empty slots of LIST (a board\n"
    "                          in its slot is left alone); LIST as for --select,\n"
    "                          or \"all\"\n"
    "      --bind-device DEV   listen on network interface DEV only\n"
    "\n"
    "With --swap or --control, each board has a serial number (SN000001 on); the\n"
    "log names it as it comes and as it leaves, with the CRC-32 of each device's\n"
    "whole content, and a connection closed without a byte is logged as a probe.\n"
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
  OPT_ERASE_TIME,
  OPT_PROGRAM_TIME,
  OPT_OTHER_NOR_ID,
  OPT_SWAP,
  OPT_CONTROL,
  OPT_BIND_DEVICE,
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
    {"erase-time", required_argument, nullptr, OPT_ERASE_TIME},
    {"program-time", required_argument, nullptr, OPT_PROGRAM_TIME},
    {"other-nor-id", required_argument, nullptr, OPT_OTHER_NOR_ID},
    {"swap", required_argument, nullptr, OPT_SWAP},
    {"control", required_argument, nullptr, OPT_CONTROL},
    {"bind-device", required_argument, nullptr, OPT_BIND_DEVICE},
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
  int swap_min_ms = -1;  // --swap; -1 when a start request changes nothing
  int swap_max_ms = -1;
  std::string control;  // the FIFO's path
  std::string bind_device;
};

// Boards come and go: each has a serial number, and their coming and
// leaving is logged.
bool operator_mode(const settings &s) { return s.swap_min_ms >= 0 || !s.control.empty(); }

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
    case OPT_ERASE_TIME:
      return [v = parse_ms("--erase-time", arg)](fault_plan &f) { f.erase_time_ms = v; };
    case OPT_PROGRAM_TIME:
      return [v = parse_ms("--program-time", arg)](fault_plan &f) { f.program_time_us = v; };
    case OPT_OTHER_NOR_ID:
      return [v = static_cast<uint16_t>(parse_number("--other-nor-id", arg, UINT16_MAX, false))](
                 fault_plan &f) { f.nor_id = v; };
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

// The options of the operator and the slots' network.
void parse_operator_option(settings &s, int opt, const char *arg) {
  if (opt == OPT_SWAP) {
    std::string range = arg;
    size_t dash = range.find('-');
    std::string low = range.substr(0, dash);
    std::string high = dash == std::string::npos ? low : range.substr(dash + 1);
    s.swap_min_ms = parse_ms("--swap", low.c_str());
    s.swap_max_ms = parse_ms("--swap", high.c_str());
    if (s.swap_max_ms < s.swap_min_ms) usage_error(std::string("invalid --swap: ") + arg);
  } else if (opt == OPT_CONTROL) {
    if (*arg == '\0') usage_error("--control needs a path");
    s.control = arg;
  } else {
    if (*arg == '\0' || strlen(arg) >= IFNAMSIZ) {
      usage_error(std::string("invalid --bind-device: ") + arg);
    }
    s.bind_device = arg;
  }
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
      case OPT_ERASE_TIME:
      case OPT_PROGRAM_TIME:
      case OPT_OTHER_NOR_ID:
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
      case OPT_SWAP:
      case OPT_CONTROL:
      case OPT_BIND_DEVICE:
        parse_operator_option(s, opt, optarg);
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

// Why a list names no boards: for an item, or for a piece of one that is
// no address or no number at all. All empty when it names boards.
struct selection_error {
  std::string why;
  std::string bad_address;
  std::string bad_number;
};

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

// The boards (from 0) that a list names: numbers from 1, ranges of them, or
// the boards' addresses, separated by commas.
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

// The same for --select, refused in the words the command line uses.
std::vector<bool> selected_boards(const std::string &list, uint32_t first, uint32_t boards) {
  std::vector<bool> chosen;
  selection_error e = select_boards(list, first, boards, chosen);
  if (!e.bad_address.empty()) usage_error("not an IPv4 address: " + e.bad_address);
  if (!e.bad_number.empty()) usage_error("invalid --select: " + e.bad_number);
  if (!e.why.empty()) usage_error("--select " + list + ": " + e.why);
  return chosen;
}

// A listener on the board's address, bound to device when one is named:
// the descriptor, or -1 with why.
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

// What the control FIFO asks of a board, for its own thread to do.
enum class board_command { none, remove, insert };

// One simulated board: its address, its listener and its own flash, and,
// when boards come and go, which one is in the slot.
struct board {
  std::string address;
  std::string log_prefix;  // "kesp-sim: ", and the address when there are several
  std::string nor_path;    // the flash files; empty in memory
  std::string nand_path;
  std::string device;  // --bind-device
  int listener = -1;
  target t;
  // Operator mode only.
  bool tracked = false;  // serial numbers and the leaving line
  int swap_min_ms = -1;
  int swap_max_ms = -1;
  uint32_t serial = 0;                              // of the board in the slot; 0 while empty
  std::chrono::steady_clock::time_point back_at{};  // a fresh board comes then
  bool coming = false;                              // back_at holds
  int command_fd = -1;  // eventfd the control thread wakes the board with
  // eventfd that ends the connection in progress (t.pull_fd): written for
  // a remove only, so that an insert into a taken slot costs its board
  // nothing.
  int pull_fd = -1;
  std::mutex mutex;  // over pending and the count in pull_fd
  std::vector<board_command> pending;
};

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
void leave(board &b, const char *why) {
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
void arrive(board &b) {
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

void wake(int fd) {
  uint64_t one = 1;
  if (write(fd, &one, sizeof one) < 0) perror("kesp-sim: eventfd");
}

// Carries out what the control FIFO asked since the last look.
void obey(board &b) {
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
int ms_until_back(const board &b) {
  if (!b.coming) return -1;
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(b.back_at - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT32_MAX));
}

int swap_time(const board &b) {
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
int accept_client(board &b, bool &told) {
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
void after_session(board &b, int conn, const session_record &rec) {
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

// Serves one client after another until a stop signal; in operator mode,
// boards also leave the slot and come into it.
void serve(board &b) {
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
  const rlim_t per_board = 2 + files + (files > 0 ? 2 : 0) + (operator_mode(s) ? 2 : 0);
  std::string what = "listener, client";
  if (!s.nor_file.empty()) what += ", NOR file";
  if (!s.nand_file.empty()) what += ", NAND file";
  if (files > 0) what += ", journal, folder";
  if (operator_mode(s)) what += ", commands, pulls";
  // The stop pipe is made after this.
  const rlim_t besides = descriptors_open() + 2 + (s.control.empty() ? 0 : 1) + SPARE_FDS;
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

// The control FIFO, open for reading and writing, so that writers coming
// and going never make it read an end.
int open_control(const std::string &path) {
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
    fail_to_start(path + ": " + strerror(errno));
  }
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    fail_to_start(path + ": " + (fd < 0 ? strerror(errno) : "not a FIFO"));
  }
  return fd;
}

// Hands one control line's command to the boards it names.
void command(std::vector<board> &boards, const std::string &line) {
  size_t space = line.find(' ');
  std::string verb = line.substr(0, space);
  std::string list = space == std::string::npos ? "" : line.substr(space + 1);
  auto told = [&](const std::string &why) {
    fprintf(stderr, "kesp-sim: control: %s: %s\n", line.c_str(), why.c_str());
  };
  board_command what = verb == "remove"   ? board_command::remove
                       : verb == "insert" ? board_command::insert
                                          : board_command::none;
  if (what == board_command::none) return told(R"(not "remove LIST" or "insert LIST")");
  std::vector<bool> chosen;
  if (list == "all") {
    chosen.assign(boards.size(), true);
  } else {
    selection_error e = select_boards(list, parse_ipv4(boards.front().address),
                                      static_cast<uint32_t>(boards.size()), chosen);
    if (!e.why.empty()) return told(e.why);
  }
  fprintf(stderr, "kesp-sim: control: %s\n", line.c_str());
  for (size_t i = 0; i < boards.size(); ++i) {
    if (!chosen[i]) continue;
    {
      std::lock_guard<std::mutex> lock(boards[i].mutex);
      boards[i].pending.push_back(what);
      if (what == board_command::remove) wake(boards[i].pull_fd);
    }
    wake(boards[i].command_fd);
  }
}

struct control_job {
  int fd;
  std::vector<board> *boards;
};

// Reads commands, a line each, until a stop signal.
void *read_control(void *arg) {
  auto *job = static_cast<control_job *>(arg);
  std::string pending;
  char buf[4096];
  for (;;) {
    pollfd fds[2] = {{job->fd, POLLIN, 0}, {wakeup_fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return nullptr;
    ssize_t n = read(job->fd, buf, sizeof buf);
    if (n <= 0) continue;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      while (!line.empty() && isspace(static_cast<unsigned char>(line.back())) != 0)
        line.pop_back();
      if (!line.empty()) command(*job->boards, line);
    }
    // A line longer than any command is dropped rather than kept growing.
    if (pending.size() > sizeof buf) pending.clear();
  }
}

// Says it is ready and serves every board until a stop signal: one board
// in this thread, several in a thread each, every thread made first.
void serve_all(std::vector<board> &boards, int control_fd) {
  const std::string &first = boards.front().address;
  if (boards.size() == 1 && control_fd < 0) {
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
  control_job control{control_fd, &boards};
  if (control_fd >= 0) {
    pthread_t thread{};
    int rc = pthread_create(&thread, &attr, read_control, &control);
    if (rc != 0) {
      gate.open(start_gate::state::quit);
      for (auto made : threads) pthread_join(made, nullptr);
      fail_to_start(std::string("threads: the control FIFO needs one: ") + strerror(rc));
    }
    threads.push_back(thread);
  }
  pthread_attr_destroy(&attr);
  if (boards.size() == 1) {
    fprintf(stderr, "kesp-sim: listening on %s:%u\n", first.c_str(), LOADER_PORT);
  } else {
    fprintf(stderr, "kesp-sim: listening on %s:%u .. %s:%u (%zu boards)\n", first.c_str(),
            LOADER_PORT, boards.back().address.c_str(), LOADER_PORT, boards.size());
  }
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
  for (auto &b : boards) b.listener = open_listener(b.address, b.device);
  // Before the flash files: making a large one takes a while, and a stop
  // meanwhile must end it cleanly.
  if (!install_stop_handlers()) fail_to_start(std::string("signals: ") + strerror(errno));
  for (auto &b : boards) {
    b.t.stop_fd = wakeup_fd();
    open_device(b.t.nor, b.nor_path);
    if (b.t.nand) open_device(*b.t.nand, b.nand_path);
    claim_buffers(b.t);
    if (operator_mode(s)) {
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
  int control_fd = s.control.empty() ? -1 : open_control(s.control);
  serve_all(boards, control_fd);

  // Every write was synced before its reply, so there is nothing to flush.
  if (control_fd >= 0) close(control_fd);
  for (auto &b : boards) {
    if (b.listener >= 0) close(b.listener);
    if (b.command_fd >= 0) close(b.command_fd);
    if (b.pull_fd >= 0) close(b.pull_fd);
    close_device(b.t.nor);
    if (b.t.nand) close_device(*b.t.nand);
  }
  fprintf(stderr, "kesp-sim: stopped\n");
  return 0;
}
