#include "plan.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "cmdline.h"
#include "wire.h"

#ifndef KESP_VERSION
#define KESP_VERSION "unknown"
#endif

namespace {

constexpr size_t DEFAULT_JOBS_LIMIT = 64;  // boards at once unless -j says otherwise
constexpr size_t JOBS_LIMIT = 4096;        // beyond this -j is surely a typing error
constexpr int RETRIES_LIMIT = 100;         // likewise for --retries
constexpr double SECONDS_LIMIT = 86400;    // a day: the longest time-out taken
constexpr size_t ERRORS_SHOWN = 20;        // check failures listed before "and N more"
constexpr char BOARD_MARK[] = "{board}";   // stands for the board's name in file names
constexpr char BOM[] = "\xef\xbb\xbf";     // what some editors put before a UTF-8 text
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
    "  -r, --recipe FILE         run the steps in FILE, one per line, written like\n"
    "                            kesp's options and file: -n -a 0x200000 rootfs.img\n"
    "\"{board}\" in an image's name stands for the board's name.\n"
    "\n"
    "Boards (host names or IPv4 addresses, each given once):\n"
    "  -b, --boards FILE         read boards from FILE, one per line, besides the\n"
    "                            operands\n"
    "A FILE of \"-\" for -r or -b is standard input (for one of them only).\n"
    "\n"
    "Run:\n"
    "  -j, --jobs N              boards at work at once (default: all, at most 64)\n"
    "      --retries N           attempts more for a step whose connection failed\n"
    "                            (default 2)\n"
    "      --connect-timeout SEC give up a connect after SEC seconds (default 25)\n"
    "      --step-timeout SEC    give up an attempt at a step after SEC seconds\n"
    "                            (default: no limit)\n"
    "      --dry-run             print the plan and send nothing\n"
    "\n"
    "Output:\n"
    "  -q, --quiet               print only failures and the summary\n"
    "      --report FILE         write a JSON Lines report, one object per step;\n"
    "                            - for standard output (the lines for people then\n"
    "                            go to standard error)\n"
    "      --junit FILE          write a JUnit XML report, one test case per board\n"
    "      --log-dir DIR         write kesp's lines for each board into DIR/BOARD.log\n"
    "  -h, --help                print this text and exit\n"
    "      --version             print the version and exit\n"
    "\n"
    "Exit status: 0 every board passed every step; 1 a board failed; 2 a wrong\n"
    "command line or a local error, found before anything was sent; 3 every board\n"
    "passed but a report or log could not be written; 130 interrupted.\n";

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
    {nullptr, 0, nullptr, 0},
};

// What the command line asks for besides the settings, before it becomes
// steps.
struct request {
  std::string image;
  std::string recipe;
  std::vector<std::string> board_files;
  std::vector<std::string> operands;
  uint32_t flags = 0;
  uint32_t address = 0;
  bool start = false;
  bool verify = false;
  bool step_options = false;  // -a, -n or -c given
};

// Joins the parts into one string: messages are built of many pieces, some
// of them C strings that + would not join.
std::string cat(std::initializer_list<std::string_view> parts) {
  std::string all;
  for (std::string_view part : parts) all += part;
  return all;
}

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

// The words of a recipe line: blanks separate them, quotes ('...' or
// "...") keep blanks and a leading "-" or "#" inside a file name, and an
// unquoted word that begins with "#" starts a comment.
struct word {
  std::string text;
  bool quoted = false;
};

bool split_words(const std::string &line, std::vector<word> *words, std::string *error) {
  size_t i = 0;
  while (i < line.size()) {
    if (isspace(static_cast<unsigned char>(line[i])) != 0) {
      ++i;
      continue;
    }
    if (line[i] == '#') break;
    word w;
    while (i < line.size() && isspace(static_cast<unsigned char>(line[i])) == 0) {
      char c = line[i];
      if (c == '"' || c == '\'') {
        size_t close = line.find(c, i + 1);
        if (close == std::string::npos) {
          *error = std::string("unmatched ") + c;
          return false;
        }
        w.text.append(line, i + 1, close - i - 1);
        w.quoted = true;
        i = close + 1;
      } else {
        w.text += c;
        ++i;
      }
    }
    words->push_back(w);
  }
  return true;
}

// Applies one option word of a recipe line ("-a", "-cn", "-a0x100") to
// *s; *next moves past a separate address word.
bool apply_step_option(const std::vector<word> &words, size_t *next, step *s, bool *start,
                       std::string *error) {
  const std::string &text = words[*next].text;
  for (size_t k = 1; k < text.size(); ++k) {
    switch (text[k]) {
      case 'a': {
        std::string value;
        if (k + 1 < text.size()) {
          value = text.substr(k + 1);
        } else if (*next + 1 < words.size()) {
          value = words[++*next].text;
        } else {
          *error = "-a needs an address";
          return false;
        }
        if (!parse_address(value.c_str(), &s->address)) {
          *error = "invalid address: " + value;
          return false;
        }
        s->flags |= FLAG_ADDRESS;
        return true;
      }
      case 'n':
        s->flags |= FLAG_NAND | FLAG_ADDRESS;
        break;
      case 'c':
        s->flags |= FLAG_COMPARE;
        break;
      case 's':
        *start = true;
        break;
      default:
        *error = std::string("unknown option -") + text[k] + " (a step takes -a, -n, -c or -s)";
        return false;
    }
  }
  return true;
}

bool parse_step(const std::vector<word> &words, const std::string &folder, step *s,
                std::string *error) {
  bool start = false;
  bool have_file = false;
  bool options_over = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const word &w = words[i];
    if (!w.quoted && !options_over && w.text == "--") {
      options_over = true;
    } else if (!w.quoted && !options_over && w.text.size() > 1 && w.text[0] == '-') {
      if (w.text[1] == '-') {
        *error = "unknown option " + w.text + " (a step takes -a, -n, -c or -s)";
        return false;
      }
      if (!apply_step_option(words, &i, s, &start, error)) return false;
    } else if (have_file) {
      *error = "more than one file: " + s->file + " and " + w.text;
      return false;
    } else {
      s->file = w.text;
      have_file = true;
    }
  }
  if (start) {
    if (have_file || s->flags != 0) {
      *error = "-s starts the program and takes no file or other option";
      return false;
    }
    s->mode = step_mode::start;
    return true;
  }
  if (!have_file) {
    *error = "no image file";
    return false;
  }
  if (s->file.empty()) {
    *error = "empty file name";
    return false;
  }
  s->mode = (s->flags & FLAG_COMPARE) != 0 ? step_mode::compare : step_mode::update;
  if (s->file[0] != '/' && folder != ".") s->file = folder + "/" + s->file;
  return true;
}

std::string folder_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lower(std::string text) {
  for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Board names are host names or addresses, so only a stray word holds a
// character that a file name cannot; anything else becomes "_".
std::string safe_file_name(const std::string &name) {
  std::string safe;
  for (char c : name) {
    bool plain = isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
    safe += plain ? c : '_';
  }
  if (safe.empty() || safe[0] == '.') safe.insert(0, "_");
  return safe;
}

// The folder is made only once the run starts; here it must exist, or
// its parent, and be writable.
bool check_log_dir(const std::string &dir, std::string *error) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    int err = errno;
    std::string parent = folder_of(dir);
    if (err != ENOENT || stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      *error = "--log-dir " + dir + ": " + strerror(err);
      return false;
    }
    if (access(parent.c_str(), W_OK | X_OK) != 0) {
      *error = "--log-dir " + dir + ": " + strerror(errno);
      return false;
    }
    return true;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = "--log-dir " + dir + ": not a folder";
    return false;
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    *error = "--log-dir " + dir + ": " + strerror(errno);
    return false;
  }
  return true;
}

// A board list's or recipe's name in messages.
std::string input_name(const std::string &path) {
  return path == STDIN_NAME ? "standard input" : path;
}

// The text without a UTF-8 byte order mark at its start, as editors on
// some systems save it.
std::string_view without_bom(const std::string &text) {
  std::string_view body = text;
  if (body.starts_with(BOM)) body.remove_prefix(sizeof BOM - 1);
  return body;
}

// The name as a message shows it: control characters as \xNN, so that
// what is seen is what was written.
std::string shown(const std::string &name) {
  std::string text = "\"";
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", byte);
      text += hex;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

// Why name cannot be a board's, or "". A name becomes part of file names
// ({board} in an image's, the board's log), so it must stay in its folder.
std::string bad_board_name(const std::string &name) {
  std::string why;
  if (name.find('/') != std::string::npos) {
    why = "it holds a \"/\"";
  } else if (std::any_of(name.begin(), name.end(), [](char c) {
               auto byte = static_cast<unsigned char>(c);
               return byte < 0x20 || byte == 0x7f;
             })) {
    why = "it holds a NUL or control character";
  } else if (name.find_first_not_of('.') == std::string::npos) {
    why = "it is made only of dots";
  }
  return why.empty() ? why : shown(name) + " is not a board name: " + why;
}

parse_end usage_error(std::string *error, const std::string &why) {
  *error = why + "\n(kesp-batch --help lists the options)";
  return parse_end::usage;
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
    s.mode = (r.flags & FLAG_COMPARE) != 0 ? step_mode::compare : step_mode::update;
    s.flags = r.flags;
    s.address = r.address;
    s.file = r.image;
    s.origin = "command line";
    p->steps.push_back(s);
  }
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
  if (r.start) {
    step s;
    s.mode = step_mode::start;
    s.origin = "command line";
    p->steps.push_back(s);
  }
  return true;
}

}  // namespace

const char *mode_name(step_mode mode) {
  switch (mode) {
    case step_mode::update:
      return "update";
    case step_mode::compare:
      return "compare";
    case step_mode::start:
      return "start";
  }
  return "?";
}

const char *device_name(uint32_t flags) { return (flags & FLAG_NAND) != 0 ? "nand" : "nor"; }

std::string board_file(const std::string &file, const std::string &name) {
  std::string out;
  size_t from = 0;
  for (size_t at = file.find(BOARD_MARK); at != std::string::npos;
       at = file.find(BOARD_MARK, from)) {
    out.append(file, from, at - from);
    out += name;
    from = at + sizeof BOARD_MARK - 1;
  }
  out.append(file, from);
  return out;
}

bool parse_recipe(const std::string &text, const std::string &name, const std::string &folder,
                  std::vector<step> *steps, std::string *error) {
  std::istringstream in{std::string(without_bom(text))};
  std::string line;
  size_t number = 0;
  size_t found = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string where = name + ":" + std::to_string(number);
    std::vector<word> words;
    std::string why;
    if (!split_words(line, &words, &why)) {
      *error = cat({where, ": ", why});
      return false;
    }
    if (words.empty()) continue;
    step s;
    s.origin = where;
    if (!parse_step(words, folder, &s, &why)) {
      *error = cat({where, ": ", why});
      return false;
    }
    steps->push_back(s);
    ++found;
  }
  if (found == 0) {
    *error = name + ": no steps in the recipe";
    return false;
  }
  return true;
}

bool parse_board_list(const std::string &text, const std::string &name,
                      std::vector<std::string> *boards, std::string *error) {
  std::istringstream in{std::string(without_bom(text))};
  std::string line;
  size_t number = 0;
  while (std::getline(in, line)) {
    ++number;
    line.resize(std::min(line.size(), line.find('#')));
    std::istringstream words(line);
    std::string board;
    std::string extra;
    if (!(words >> board)) continue;
    if (words >> extra) {
      *error = cat({name, ":", std::to_string(number), ": one board per line, not \"", board,
                    "\" and \"", extra, "\""});
      return false;
    }
    std::string why = bad_board_name(board);
    if (!why.empty()) {
      *error = cat({name, ":", std::to_string(number), ": ", why});
      return false;
    }
    boards->push_back(board);
  }
  return true;
}

namespace {

// "invalid --jobs: 0", whichever of its names the option was given by.
parse_end invalid_value(int opt, std::string *error) {
  const auto *found = std::find_if(std::begin(LONG_OPTIONS), std::end(LONG_OPTIONS),
                                   [opt](const option &o) { return o.val == opt; });
  const char *name = found != std::end(LONG_OPTIONS) ? found->name : "option";
  return usage_error(error, cat({"invalid --", name, ": ", optarg}));
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
      if (!parse_address(optarg, &r->address))
        return usage_error(error, cat({"invalid address: ", optarg}));
      r->flags |= FLAG_ADDRESS;
      r->step_options = true;
      return parse_end::run;
    case 'n':
      r->flags |= FLAG_NAND | FLAG_ADDRESS;
      r->step_options = true;
      return parse_end::run;
    case 'c':
      r->flags |= FLAG_COMPARE;
      r->step_options = true;
      return parse_end::run;
    case 's':
      r->start = true;
      return parse_end::run;
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
      return parse_end::run;
    case OPT_RETRIES:
      if (!parse_count(optarg, RETRIES_LIMIT, &count)) break;
      o->retries = static_cast<int>(count);
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
      return usage_error(error, "unknown option " + name);
  }
  return invalid_value(opt, error);
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
  for (const std::string &name : names) {
    board b;
    b.name = name;
    b.log_name = safe_file_name(name) + ".log";
    p->boards.push_back(b);
  }
  return true;
}

}  // namespace

parse_end parse_command_line(int argc, char *argv[], plan *p, std::string *error) {
  request r;
  opterr = 0;
  optind = 1;
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
  if (r.image.empty() && r.recipe.empty() && !r.start) {
    return usage_error(error, "nothing to do: give -i IMAGE, -r RECIPE or -s");
  }
  if (!make_steps(r, p, error) || !gather_boards(r, p, error)) return parse_end::usage;
  p->recipe_file = r.recipe;
  p->board_lists = r.board_files;
  if (p->boards.empty()) return usage_error(error, "no boards given");
  if (p->opt.jobs == 0) p->opt.jobs = std::min(p->boards.size(), DEFAULT_JOBS_LIMIT);
  return parse_end::run;
}

namespace {

// Each board once, even when written with other capitals, and each with a
// log of its own.
bool check_names(const plan &p, std::string *error) {
  std::map<std::string, std::string> seen;  // lower-case name -> board
  for (const board &b : p.boards) {
    auto [at, fresh] = seen.emplace(lower(b.name), b.name);
    if (!fresh) {
      *error = "board " + b.name + " is given twice";
      if (at->second != b.name) *error += " (as " + at->second + ")";
      return false;
    }
  }
  if (p.opt.log_dir.empty()) return true;
  std::map<std::string, std::string> logs;  // log name -> board
  for (const board &b : p.boards) {
    auto [at, fresh] = logs.emplace(b.log_name, b.name);
    if (!fresh) {
      *error = "boards " + at->second + " and " + b.name + " would share the log " + b.log_name;
      return false;
    }
  }
  return p.opt.dry_run || check_log_dir(p.opt.log_dir, error);
}

// Fills every board's files, sizes and copies; the images that cannot be
// sent go to *problems. Boards mostly share their images: each file is
// copied once.
void check_images(plan *p, std::vector<std::string> *problems) {
  std::map<std::string, std::pair<std::string, size_t>> checked;  // file -> why not, copy
  p->images.clear();
  for (board &b : p->boards) {
    b.files.clear();
    b.sizes.clear();
    b.copies.clear();
    for (const step &s : p->steps) {
      if (s.mode == step_mode::start) {
        b.files.emplace_back();
        b.sizes.push_back(0);
        b.copies.push_back(0);
        continue;
      }
      std::string file = board_file(s.file, b.name);
      auto at = checked.find(file);
      if (at == checked.end()) {
        snapshot copy;
        std::string why = copy.take(file);
        at = checked.emplace(file, std::make_pair(why, p->images.size())).first;
        if (why.empty()) p->images.push_back(std::move(copy));
        std::string which = s.file == file ? "" : cat({" (board ", b.name, ")"});
        if (!why.empty())
          problems->push_back(cat({"image ", file, which, ", ", s.origin, ": ", why}));
      }
      bool good = at->second.first.empty();
      b.files.push_back(file);
      b.sizes.push_back(good ? p->images[at->second.second].size() : 0);
      b.copies.push_back(at->second.second);
    }
  }
}

}  // namespace

size_t count_images(const plan &p) {
  std::set<std::string> files;
  for (const board &b : p.boards) {
    for (const step &s : p.steps) {
      if (s.mode != step_mode::start) files.insert(board_file(s.file, b.name));
    }
  }
  return files.size();
}

bool check_plan(plan *p, std::string *error) {
  if (!check_names(*p, error)) return false;
  std::vector<std::string> problems;
  check_images(p, &problems);
  if (problems.empty()) return true;
  std::string all;
  for (size_t i = 0; i < problems.size() && i < ERRORS_SHOWN; ++i) {
    all += i == 0 ? "" : "\nkesp-batch: ";
    all += problems[i];
  }
  if (problems.size() > ERRORS_SHOWN) {
    all += "\nkesp-batch: and " + std::to_string(problems.size() - ERRORS_SHOWN) + " more";
  }
  *error = all;
  return false;
}

bool resolve_boards(plan *p, std::string *error) {
  std::map<in_addr_t, std::string> taken;
  for (board &b : p->boards) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    int rc = getaddrinfo(b.name.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
      b.resolve_error = rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc);
      continue;
    }
    b.address = *reinterpret_cast<const sockaddr_in *>(found->ai_addr);
    freeaddrinfo(found);
    b.address.sin_port = htons(LOADER_PORT);
    b.resolved = true;
    auto [at, fresh] = taken.emplace(b.address.sin_addr.s_addr, b.name);
    if (!fresh) {
      char text[INET_ADDRSTRLEN] = "?";
      inet_ntop(AF_INET, &b.address.sin_addr, text, sizeof text);
      *error = "boards " + at->second + " and " + b.name + " are the same board (" + text + ")";
      return false;
    }
  }
  return true;
}

std::string describe_plan(const plan &p) {
  std::ostringstream out;
  out << "kesp-batch: dry run, nothing is sent: " << p.boards.size() << " board"
      << (p.boards.size() == 1 ? "" : "s") << ", " << p.steps.size() << " step"
      << (p.steps.size() == 1 ? "" : "s") << " each, " << p.opt.jobs << " at a time\n";
  for (const board &b : p.boards) {
    char address[INET_ADDRSTRLEN] = "";
    if (b.resolved) inet_ntop(AF_INET, &b.address.sin_addr, address, sizeof address);
    out << b.name << ": " << (b.resolved ? address : "does not resolve: " + b.resolve_error)
        << "\n";
    for (size_t i = 0; i < p.steps.size(); ++i) {
      const step &s = p.steps[i];
      out << "  step " << i + 1 << "/" << p.steps.size() << ": " << mode_name(s.mode);
      if (s.mode != step_mode::start) {
        char where[32];
        snprintf(where, sizeof where, "0x%x", s.address);
        out << " " << device_name(s.flags) << " " << where << " " << b.files[i] << ", "
            << b.sizes[i] << " bytes";
      }
      out << "\n";
    }
  }
  return out.str();
}
