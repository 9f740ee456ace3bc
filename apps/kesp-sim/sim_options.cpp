// kesp-sim's options: their help text, their values checked one by one
// and together, the fault options grouped by the boards they go to.
#include "sim_options.h"

#include <getopt.h>
#include <net/if.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "flash.h"
#include "text.h"
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
constexpr int EXIT_USAGE = 2;                         // bad command line
constexpr uint32_t BOARDS_LIMIT = 1024;               // boards one process serves at most

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

}  // namespace

bool operator_mode(const sim_settings &s) { return s.swap_min_ms >= 0 || !s.control.empty(); }

[[noreturn]] void usage_error(const std::string &why) {
  fprintf(stderr, "kesp-sim: %s\n(kesp-sim --help lists the options)\n", why.c_str());
  exit(EXIT_USAGE);
}

[[noreturn]] void fail_to_start(const std::string &why) {
  fprintf(stderr, "kesp-sim: %s\n", why.c_str());
  exit(EXIT_FAILURE_TO_START);
}

namespace {

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
void check_settings(const sim_settings &s) {
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
void parse_operator_option(sim_settings &s, int opt, const char *arg) {
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

}  // namespace

sim_settings parse_command_line(int argc, char *argv[]) {
  sim_settings s;
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
        usage_error(unknown_option(name, LONG_OPTIONS));
    }
  }
  if (optind < argc) usage_error(std::string("unexpected argument ") + argv[optind]);
  if (s.nand) s.t.nand = nand;
  check_settings(s);
  return s;
}
