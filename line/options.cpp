#include "options.h"

#include <getopt.h>
#include <net/if.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "cmdline.h"
#include "recipe.h"
#include "text.h"
#include "wire.h"

#ifndef KESP_VERSION
#define KESP_VERSION "unknown"
#endif

namespace {

constexpr size_t DEFAULT_JOBS_LIMIT = 64;  // boards at once unless -j says otherwise
constexpr size_t JOBS_LIMIT = 4096;        // beyond this -j is surely a typing error
constexpr int RETRIES_LIMIT = 100;         // likewise for --retries
constexpr double SECONDS_LIMIT = 86400;    // a day: the longest time-out taken
constexpr long UNITS_LIMIT = 1000000000;   // a station's --units: far beyond any shift
constexpr size_t SLOT_LABEL_LIMIT = 12;   // a slot label's characters: its column stays narrow
constexpr char STDIN_NAME[] = "-";         // a board list or recipe read from standard input

const char USAGE[] =
    "usage: kesp-batch [options] -i IMAGE [-a ADDRESS] [-n] [-c] [--verify] [-s] BOARD...\n"
    "       kesp-batch [options] -r RECIPE [--verify] [-s] BOARD...\n"
    "       kesp-batch [options] -s BOARD...\n"
    "\n"
    "Flashes many boards at once through the loader service on TCP port 57000:\n"
    "every board runs the same steps in order and stops at its first failed step.\n"
    "\n"
    "Steps:\n"
    "  -i, --image FILE          download FILE (compare it with -c)\n"
    "  -a, --address ADDRESS     place the image at ADDRESS, as kesp -a\n"
    "  -n, --nand                use the NAND device, as kesp -n\n"
    "  -c, --compare             compare the flash with the image, write nothing\n"
    "      --verify              compare after each download, same image and place\n"
    "  -s, --start               start the board's program as the last step\n"
    "      --expect-id ID        fail a board whose NOR flash id is not ID\n"
    "                            (hexadecimal, as 0101) before any image byte of\n"
    "                            a NOR step is sent\n"
    "      --expect-nand-id ID   likewise for the NAND steps (-n)\n"
    "  -r, --recipe FILE         run the steps in FILE, one per line, written like\n"
    "                            kesp's options and file: -n -a 0x200000 rootfs.img\n"
    "\"{board}\" in an image's name stands for the board's name.\n"
    "\n"
    "Boards (host names or IPv4 addresses, each given once; NAME%IFACE reaches\n"
    "the board through network interface IFACE only):\n"
    "  -b, --boards FILE         read boards from FILE, one per line, besides the\n"
    "                            operands\n"
    "A station's slot may carry its fixture's label: LABEL=BOARD, as A1=10.0.0.11.\n"
    "A FILE of \"-\" for -r or -b is standard input (for one of them only).\n"
    "\n"
    "Run:\n"
    "  -j, --jobs N              boards at work at once (default: all, at most 64)\n"
    "      --retries N           attempts more for a step whose connection failed\n"
    "                            (default 2; 0 with --station)\n"
    "      --connect-timeout SEC give up a connect after SEC seconds (default 25)\n"
    "      --step-timeout SEC    give up an attempt at a step after SEC seconds\n"
    "                            (default: no limit)\n"
    "      --dry-run             print the plan and send nothing\n"
    "\n"
    "Station:\n"
    "      --station             the boards are fixture slots: each flashes every\n"
    "                            board put into it, one unit after another, until\n"
    "                            SIGINT or SIGTERM\n"
    "      --settle SEC          a slot takes a new board SEC seconds after it\n"
    "                            first found its last board gone (default 2)\n"
    "      --units N             stop once N units have ended\n"
    "      --db DB               record every unit, before its board is touched,\n"
    "                            in SQLite file DB or the postgresql:// URL DB\n"
    "      --serials FORMAT      give each unit a serial number: FORMAT[,FIRST-LAST]\n"
    "                            as KX{:06},1-999999 (with --db)\n"
    "      --station-name NAME   the station's name in the record (default: the\n"
    "                            host name)\n"
    "      --data-timeout SEC    a step's --from-command may take SEC seconds per\n"
    "                            unit (default 30)\n"
    "A recipe step's --from-command 'CMD' takes the image from CMD's output, run\n"
    "once per unit; \"{serial}\" in an image's name stands for the unit's serial.\n"
    "A step's --keep keeps its per-unit image in the record (an identity such as\n"
    "a MAC address, never a secret; 256 bytes at most).\n"
    "\n"
    "Output:\n"
    "  -q, --quiet               print only failures and the summary\n"
    "      --report FILE         write a JSON Lines report, one object per step;\n"
    "                            - for standard output (the lines for people then\n"
    "                            go to standard error)\n"
    "      --junit FILE          write a JUnit XML report, one test case per board\n"
    "                            (not with --station)\n"
    "      --log-dir DIR         write kesp's lines for each board into DIR/BOARD.log\n"
    "                            (with --station, one log per unit)\n"
    "  -h, --help                print this text and exit\n"
    "      --version             print the version and exit\n"
    "\n"
    "Exit status: 0 every board passed every step; 1 a board failed; 2 a wrong\n"
    "command line or a local error, found before anything was sent; 3 every board\n"
    "passed but a report or log could not be written; 130 interrupted (a station:\n"
    "units stopped by a second signal).\n";

enum option_id : uint8_t {
  OPT_VERIFY = 128,
  OPT_RETRIES,
  OPT_CONNECT_TIMEOUT,
  OPT_STEP_TIMEOUT,
  OPT_DRY_RUN,
  OPT_REPORT,
  OPT_JUNIT,
  OPT_LOG_DIR,
  OPT_VERSION,
  OPT_EXPECT_ID,
  OPT_EXPECT_NAND_ID,
  OPT_STATION,
  OPT_SETTLE,
  OPT_UNITS,
  OPT_DB,
  OPT_SERIALS,
  OPT_STATION_NAME,
  OPT_DATA_TIMEOUT,
};

const option LONG_OPTIONS[] = {
    {"image", required_argument, nullptr, 'i'},
    {"address", required_argument, nullptr, 'a'},
    {"nand", no_argument, nullptr, 'n'},
    {"compare", no_argument, nullptr, 'c'},
    {"verify", no_argument, nullptr, OPT_VERIFY},
    {"start", no_argument, nullptr, 's'},
    {"recipe", required_argument, nullptr, 'r'},
    {"boards", required_argument, nullptr, 'b'},
    {"jobs", required_argument, nullptr, 'j'},
    {"retries", required_argument, nullptr, OPT_RETRIES},
    {"connect-timeout", required_argument, nullptr, OPT_CONNECT_TIMEOUT},
    {"step-timeout", required_argument, nullptr, OPT_STEP_TIMEOUT},
    {"dry-run", no_argument, nullptr, OPT_DRY_RUN},
    {"quiet", no_argument, nullptr, 'q'},
    {"report", required_argument, nullptr, OPT_REPORT},
    {"junit", required_argument, nullptr, OPT_JUNIT},
    {"log-dir", required_argument, nullptr, OPT_LOG_DIR},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, OPT_VERSION},
    {"expect-id", required_argument, nullptr, OPT_EXPECT_ID},
    {"expect-nand-id", required_argument, nullptr, OPT_EXPECT_NAND_ID},
    {"station", no_argument, nullptr, OPT_STATION},
    {"settle", required_argument, nullptr, OPT_SETTLE},
    {"units", required_argument, nullptr, OPT_UNITS},
    {"db", required_argument, nullptr, OPT_DB},
    {"serials", required_argument, nullptr, OPT_SERIALS},
    {"station-name", required_argument, nullptr, OPT_STATION_NAME},
    {"data-timeout", required_argument, nullptr, OPT_DATA_TIMEOUT},
    {nullptr, 0, nullptr, 0},
};

// What the command line asks for besides the settings, before it becomes
// steps.
struct request {
  std::string image;
  std::string recipe;
  std::vector<std::string> board_files;
  std::vector<std::string> operands;
  transfer_options letters;  // -a, -n, -c and -s
  bool verify = false;
  bool step_options = false;  // -a, -n or -c given
  bool check_id = false;      // --expect-id given: the NOR's
  uint16_t expect_id = 0;
  bool check_nand_id = false;  // --expect-nand-id given
  uint16_t expect_nand_id = 0;
  bool jobs = false;          // -j given
  bool station_options = false;  // --settle or --units given
  bool retries_given = false;    // --retries given
  bool record_options = false;   // --db, --station-name or --data-timeout given
};

bool read_stdin(std::string *text, std::string *error) {
  char buf[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("standard input: ") + strerror(errno);
      return false;
    }
    if (n == 0) return true;
    text->append(buf, static_cast<size_t>(n));
  }
}

// A board list or recipe; "-" is standard input.
bool read_text(const std::string &path, std::string *text, std::string *error) {
  if (path == STDIN_NAME) return read_stdin(text, error);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  if (in.bad()) {
    *error = path + ": cannot be read";
    return false;
  }
  *text = all.str();
  return true;
}

bool parse_count(const char *text, long limit, long *value) {
  if (isdigit(static_cast<unsigned char>(*text)) == 0) return false;
  char *end = nullptr;
  errno = 0;
  long n = strtol(text, &end, 10);
  if (*end != '\0' || errno == ERANGE || n > limit) return false;
  *value = n;
  return true;
}

// Seconds, fractions allowed, into milliseconds of at least 1.
bool parse_seconds(const char *text, int *ms) {
  if (isdigit(static_cast<unsigned char>(*text)) == 0 && *text != '.') return false;
  char *end = nullptr;
  errno = 0;
  double seconds = strtod(text, &end);
  if (*end != '\0' || errno == ERANGE || !(seconds > 0) || seconds > SECONDS_LIMIT) return false;
  *ms = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
  return true;
}

// Board names are host names or addresses, so only a stray word holds a
// character that a file name cannot; anything else becomes "_".
std::string safe_file_name(const std::string &name) {
  std::string safe;
  for (char c : name) {
    bool plain = isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
    safe += plain ? c : '_';
  }
  // Prepended by concatenation: insert(0, ...) trips GCC 12's -Wrestrict at -O3.
  if (safe.empty() || safe[0] == '.') safe = "_" + safe;
  return safe;
}

// A board list's or recipe's name in messages.
std::string input_name(const std::string &path) {
  return path == STDIN_NAME ? "standard input" : path;
}

parse_end usage_error(std::string *error, const std::string &why) {
  *error = why + "\n(kesp-batch --help lists the options)";
  return parse_end::usage;
}

// The command line's flash ids hold for the steps of their device that
// have none of their own: a NOR's id checked against a NAND would fail
// every unit halfway, after its NOR steps were written. An id that no step
// would be checked against is a mistake told now. False with *error.
bool apply_flash_ids(const request &r, std::vector<step> *steps, std::string *error) {
  bool nor = false;
  bool nand = false;
  for (step &s : *steps) {
    if (s.mode == step_mode::start) continue;
    bool on_nand = (s.flags & FLAG_NAND) != 0;
    (on_nand ? nand : nor) = true;
    if (s.check_id) continue;
    if (on_nand ? r.check_nand_id : r.check_id) {
      s.check_id = true;
      s.expect_id = on_nand ? r.expect_nand_id : r.expect_id;
    }
  }
  if (r.check_id && !nor) {
    *error =
        "--expect-id holds for the NOR steps, and every step is on the NAND: give the "
        "NAND's id with --expect-nand-id";
    return false;
  }
  if (r.check_nand_id && !nand) {
    *error = "--expect-nand-id holds for the NAND steps (-n), and no step is on the NAND";
    return false;
  }
  return true;
}

// Turns the request into steps: a recipe's, or the one image's.
bool make_steps(const request &r, plan *p, std::string *error) {
  if (!r.recipe.empty()) {
    std::string text;
    if (!read_text(r.recipe, &text, error)) return false;
    std::string folder = r.recipe == STDIN_NAME ? "." : folder_of(r.recipe);
    if (!parse_recipe(text, input_name(r.recipe), folder, &p->steps, error)) return false;
  } else if (!r.image.empty()) {
    step s;
    s.mode = (r.letters.flags & FLAG_COMPARE) != 0 ? step_mode::compare : step_mode::update;
    s.flags = r.letters.flags;
    s.address = r.letters.address;
    s.file = r.image;
    s.origin = "command line";
    p->steps.push_back(s);
  }
  if (!apply_flash_ids(r, &p->steps, error)) return false;
  if (r.verify) {
    std::vector<step> with_checks;
    for (const step &s : p->steps) {
      with_checks.push_back(s);
      if (s.mode != step_mode::update) continue;
      step check = s;
      check.mode = step_mode::compare;
      check.flags |= FLAG_COMPARE;
      with_checks.push_back(check);
    }
    p->steps = with_checks;
  }
  if (r.letters.start) {
    step s;
    s.mode = step_mode::start;
    s.origin = "command line";
    p->steps.push_back(s);
  }
  return true;
}

// "invalid --jobs: 0", whichever of its names the option was given by.
parse_end invalid_value(int opt, std::string *error) {
  const auto *found = std::find_if(std::begin(LONG_OPTIONS), std::end(LONG_OPTIONS),
                                   [opt](const option &o) { return o.val == opt; });
  const char *name = found != std::end(LONG_OPTIONS) ? found->name : "option";
  return usage_error(error, cat({"invalid --", name, ": ", optarg}));
}

// One of kesp's letters, taken as kesp takes it.
parse_end apply_letter(char letter, request *r, std::string *error) {
  if (letter != 's') r->step_options = true;
  if (apply_option_letter(letter, &r->letters) != letter_use::takes_address) return parse_end::run;
  std::string why = apply_step_address(optarg, &r->letters);
  return why.empty() ? parse_end::run : usage_error(error, why);
}

// Applies one option from getopt_long to *r and *o; name is the word it
// came in, for messages.
parse_end apply_option(int opt, const std::string &name, request *r, settings *o,
                       std::string *error) {
  long count = 0;
  switch (opt) {
    case 'i':
      r->image = optarg;
      return parse_end::run;
    case 'a':
    case 'n':
    case 'c':
    case 's':
      return apply_letter(static_cast<char>(opt), r, error);
    case OPT_VERIFY:
      r->verify = true;
      return parse_end::run;
    case 'r':
      r->recipe = optarg;
      return parse_end::run;
    case 'b':
      r->board_files.emplace_back(optarg);
      return parse_end::run;
    case 'j':
      if (!parse_count(optarg, JOBS_LIMIT, &count) || count == 0) break;
      o->jobs = static_cast<size_t>(count);
      r->jobs = true;
      return parse_end::run;
    case OPT_EXPECT_ID:
      if (!parse_flash_id(optarg, &r->expect_id)) break;
      r->check_id = true;
      return parse_end::run;
    case OPT_EXPECT_NAND_ID:
      if (!parse_flash_id(optarg, &r->expect_nand_id)) break;
      r->check_nand_id = true;
      return parse_end::run;
    case OPT_STATION:
      o->station = true;
      return parse_end::run;
    case OPT_SETTLE:
      r->station_options = true;
      return parse_seconds(optarg, &o->settle_ms) ? parse_end::run : invalid_value(opt, error);
    case OPT_UNITS:
      if (!parse_count(optarg, UNITS_LIMIT, &count) || count == 0) break;
      o->units = static_cast<uint64_t>(count);
      r->station_options = true;
      return parse_end::run;
    case OPT_DB:
      if (*optarg == '\0') break;
      o->db = optarg;
      r->record_options = true;
      return parse_end::run;
    case OPT_SERIALS:
      o->serials = optarg;
      return parse_end::run;
    case OPT_STATION_NAME:
      if (*optarg == '\0') break;
      o->station_name = optarg;
      r->record_options = true;
      return parse_end::run;
    case OPT_DATA_TIMEOUT:
      r->record_options = true;
      return parse_seconds(optarg, &o->data_timeout_ms) ? parse_end::run
                                                        : invalid_value(opt, error);
    case OPT_RETRIES:
      if (!parse_count(optarg, RETRIES_LIMIT, &count)) break;
      o->retries = static_cast<int>(count);
      r->retries_given = true;
      return parse_end::run;
    case OPT_CONNECT_TIMEOUT:
      return parse_seconds(optarg, &o->connect_timeout_ms) ? parse_end::run
                                                           : invalid_value(opt, error);
    case OPT_STEP_TIMEOUT:
      return parse_seconds(optarg, &o->step_timeout_ms) ? parse_end::run
                                                        : invalid_value(opt, error);
    case OPT_DRY_RUN:
      o->dry_run = true;
      return parse_end::run;
    case 'q':
      o->quiet = true;
      return parse_end::run;
    case OPT_REPORT:
      o->report = optarg;
      return parse_end::run;
    case OPT_JUNIT:
      o->junit = optarg;
      return parse_end::run;
    case OPT_LOG_DIR:
      o->log_dir = optarg;
      return parse_end::run;
    case 'h':
      fputs(USAGE, stdout);
      return parse_end::done;
    case OPT_VERSION:
      printf("kesp-batch %s\n", KESP_VERSION);
      return parse_end::done;
    case ':':
      return usage_error(error, name + " needs a value");
    default:
      return usage_error(error, unknown_option(name, LONG_OPTIONS));
  }
  return invalid_value(opt, error);
}

// The options of flash ids and stations, where they cannot apply.
parse_end check_new_options(const request &r, const settings &o, std::string *error) {
  if ((r.check_id || r.check_nand_id) && r.image.empty() && r.recipe.empty()) {
    return usage_error(error, cat({r.check_id ? "--expect-id" : "--expect-nand-id",
                                   " needs an image: a start has no flash id to check"}));
  }
  if (r.station_options && !o.station) {
    return usage_error(error, "--settle and --units belong to --station");
  }
  if (r.record_options && !o.station) {
    return usage_error(error,
                       "--db, --station-name and --data-timeout belong to --station: a unit is "
                       "a board a slot takes");
  }
  if (!o.serials.empty() && o.db.empty()) {
    return usage_error(error, "--serials needs --db: serial numbers are handed out there");
  }
  if (o.station && r.jobs) {
    return usage_error(error, "-j does not apply to --station: every slot is watched at once");
  }
  if (o.station && !o.junit.empty()) {
    return usage_error(error,
                       "--junit reports a run that ends, not a station: use --report, which "
                       "has an object per unit");
  }
  return parse_end::run;
}

// A station's slots are all watched at once, however many. Its board may
// be pulled and the next put in while a step waits for its retry, which
// would then flash the new board as part of the old unit, without the
// steps before it: no retries unless asked.
void apply_station_defaults(const request &r, plan *p) {
  p->opt.jobs = p->boards.size();
  if (!r.retries_given) p->opt.retries = 0;
}

// Images made per unit belong to a station, and {serial} to its serials.
parse_end check_unit_steps(const plan &p, std::string *error) {
  for (const step &s : p.steps) {
    if (!s.command.empty() && !p.opt.station) {
      return usage_error(error,
                         s.origin + ": --from-command makes an image per unit: it needs --station");
    }
    if (per_unit_image(s) && s.command.empty() && p.opt.serials.empty()) {
      return usage_error(error, s.origin + ": {serial} in an image's name needs --serials");
    }
  }
  return parse_end::run;
}

// "A1=192.168.0.100%eth1": the label on a station's fixture, then its
// slot's board. A host name holds no "=", so a word with one is labelled.
bool take_label(const std::string &word, board *b, std::string *error) {
  size_t mark = word.find('=');
  b->name = word;
  if (mark == std::string::npos) return true;
  b->label = word.substr(0, mark);
  b->name = word.substr(mark + 1);
  bool plain = std::ranges::none_of(b->label, [](char c) {
    return c == '%' || isspace(static_cast<unsigned char>(c)) != 0;
  });
  if (b->label.empty() || b->label.size() > SLOT_LABEL_LIMIT || !plain || b->name.empty() ||
      b->name.find('=') != std::string::npos) {
    *error = cat({"slot ", word, ": write LABEL=ADDRESS, with a label of 1 to ",
                  std::to_string(SLOT_LABEL_LIMIT), " characters, as A1=192.168.0.100"});
    return false;
  }
  return true;
}

// Labels name a station's slots on the operator's screen, where an
// unlabelled slot shows its number: no two may read the same.
bool check_labels(const plan &p, std::string *error) {
  std::map<std::string, size_t> seen;
  for (size_t s = 0; s < p.boards.size(); ++s) {
    if (!p.boards[s].label.empty() && !p.opt.station) {
      *error = cat({"slot ", p.boards[s].label, "=", p.boards[s].name,
                    ": labels name the slots of a --station"});
      return false;
    }
    auto [at, fresh] = seen.emplace(slot_label(p, s), s);
    if (!fresh) {
      *error = cat({"slots ", std::to_string(at->second + 1), " and ", std::to_string(s + 1),
                    " would both read ", at->first,
                    " on the screen: label every slot, or give each label once"});
      return false;
    }
  }
  return true;
}

// The boards of the board lists, then the operands.
bool gather_boards(const request &r, plan *p, std::string *error) {
  std::vector<std::string> names;
  for (const std::string &file : r.board_files) {
    std::string text;
    if (!read_text(file, &text, error)) return false;
    if (!parse_board_list(text, input_name(file), &names, error)) return false;
  }
  for (const std::string &name : r.operands) {
    std::string why = bad_board_name(name);
    if (!why.empty()) {
      *error = "command line: " + why;
      return false;
    }
  }
  names.insert(names.end(), r.operands.begin(), r.operands.end());
  for (const std::string &word : names) {
    board b;
    if (!take_label(word, &b, error)) return false;
    const std::string &name = b.name;
    size_t mark = name.find('%');
    if (mark != std::string::npos) {
      b.interface = name.substr(mark + 1);
      if (mark == 0 || b.interface.empty() || b.interface.size() >= IFNAMSIZ ||
          b.interface.find('%') != std::string::npos) {
        *error = cat({"board ", name, ": write ADDRESS%INTERFACE, as 192.168.0.100%eth1"});
        return false;
      }
    }
    b.log_name = safe_file_name(name) + ".log";
    p->boards.push_back(b);
  }
  return check_labels(*p, error);
}

}  // namespace

parse_end parse_command_line(int argc, char *argv[], plan *p, std::string *error) {
  request r;
  opterr = 0;
  // 0, not 1: glibc then starts afresh, rather than carry on from where an
  // earlier parse's error left it pointing into that parse's words.
  optind = 0;
  int opt = 0;
  while ((opt = getopt_long(argc, argv, ":i:a:ncsr:b:j:qh", LONG_OPTIONS, nullptr)) != -1) {
    std::string name = optind > 0 && optind <= argc ? argv[optind - 1] : "option";
    parse_end end = apply_option(opt, name, &r, &p->opt, error);
    if (end != parse_end::run) return end;
  }
  for (int i = optind; i < argc; ++i) r.operands.emplace_back(argv[i]);

  if (!r.image.empty() && !r.recipe.empty()) {
    return usage_error(error, "-i and -r exclude each other: put the image in the recipe");
  }
  auto from_stdin = std::count(r.board_files.begin(), r.board_files.end(), STDIN_NAME) +
                    (r.recipe == STDIN_NAME ? 1 : 0);
  if (from_stdin > 1) {
    return usage_error(error, "standard input can be read once: give \"-\" to one -b or -r");
  }
  if (!r.recipe.empty() && r.step_options) {
    return usage_error(error, "-a, -n and -c belong on the recipe's lines");
  }
  if (r.image.empty() && r.recipe.empty() && (r.step_options || r.verify)) {
    return usage_error(error, "no image: give -i IMAGE");
  }
  if (r.image.empty() && r.recipe.empty() && !r.letters.start) {
    return usage_error(error, "nothing to do: give -i IMAGE, -r RECIPE or -s");
  }
  if (check_new_options(r, p->opt, error) != parse_end::run) return parse_end::usage;
  if (!make_steps(r, p, error) || !gather_boards(r, p, error)) return parse_end::usage;
  if (check_unit_steps(*p, error) != parse_end::run) return parse_end::usage;
  p->recipe_file = r.recipe;
  p->board_lists = r.board_files;
  if (p->boards.empty()) return usage_error(error, "no boards given");
  if (p->opt.station) apply_station_defaults(r, p);
  if (p->opt.jobs == 0) p->opt.jobs = std::min(p->boards.size(), DEFAULT_JOBS_LIMIT);
  return parse_end::run;
}
