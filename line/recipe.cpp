#include "recipe.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "cmdline.h"
#include "text.h"
#include "wire.h"

namespace {

constexpr char BOM[] = "\xef\xbb\xbf";  // what some editors put before a UTF-8 text

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
// *letters; *next moves past a separate address word.
bool apply_step_option(const std::vector<word> &words, size_t *next, transfer_options *letters,
                       std::string *error) {
  const std::string &text = words[*next].text;
  for (size_t k = 1; k < text.size(); ++k) {
    letter_use use = apply_option_letter(text[k], letters);
    if (use == letter_use::unknown) {
      *error = std::string("unknown option -") + text[k] + " (a step takes -a, -n, -c or -s)";
      return false;
    }
    if (use == letter_use::applied) continue;
    std::string value;
    if (k + 1 < text.size()) {
      value = text.substr(k + 1);
    } else if (*next + 1 < words.size()) {
      value = words[++*next].text;
    } else {
      *error = "-a needs an address";
      return false;
    }
    *error = apply_step_address(value, letters);
    return error->empty();
  }
  return true;
}

constexpr char EXPECT_ID[] = "--expect-id";
constexpr char FROM_COMMAND[] = "--from-command";
constexpr char KEEP[] = "--keep";

// The long options a step takes: --expect-id ID (or --expect-id=ID) and
// --from-command CMD (or --from-command=CMD).
bool apply_long_option(const std::vector<word> &words, size_t *next, step *s,
                       std::string *error) {
  const std::string &text = words[*next].text;
  std::string value;
  if (text == KEEP) {
    s->keep = true;
    return true;
  }
  if (text == FROM_COMMAND || text.starts_with(std::string(FROM_COMMAND) + "=")) {
    if (text == FROM_COMMAND && *next + 1 == words.size()) {
      *error = "--from-command needs a command";
      return false;
    }
    s->command = text == FROM_COMMAND ? words[++*next].text : text.substr(sizeof FROM_COMMAND);
    if (s->command.empty()) {
      *error = "--from-command needs a command";
      return false;
    }
    return true;
  }
  if (text == EXPECT_ID) {
    if (*next + 1 == words.size()) {
      *error = "--expect-id needs a flash id";
      return false;
    }
    value = words[++*next].text;
  } else if (text.starts_with(std::string(EXPECT_ID) + "=")) {
    value = text.substr(sizeof EXPECT_ID);
  } else {
    static const option step_options[] = {{"expect-id", required_argument, nullptr, 0},
                                          {"from-command", required_argument, nullptr, 0},
                                          {nullptr, 0, nullptr, 0}};
    std::string guess = nearest_option(text, step_options);
    *error = "unknown option " + text +
             (guess.empty() ? " (a step takes -a, -n, -c or -s)" : "; did you mean " + guess + "?");
    return false;
  }
  if (!parse_flash_id(value, &s->expect_id)) {
    *error = "invalid flash id: " + value + " (hexadecimal, as 0101)";
    return false;
  }
  s->check_id = true;
  return true;
}

// A step whose image a command makes for each unit.
bool command_step(bool have_file, step *s, std::string *error) {
  if (have_file) {
    *error = "an image comes from a file or from --from-command, not both";
    return false;
  }
  s->mode = (s->flags & FLAG_COMPARE) != 0 ? step_mode::compare : step_mode::update;
  return true;
}

// --keep keeps what identifies one unit: an image shared by every unit
// would only fill the record.
bool keeps_its_own(const step &s, std::string *error) {
  if (!s.keep || s.file.find("{serial}") != std::string::npos) return true;
  *error = "--keep keeps a unit's own image: it takes --from-command or a {serial} file";
  return false;
}

bool parse_step(const std::vector<word> &words, const std::string &folder, step *s,
                std::string *error) {
  transfer_options letters;
  bool have_file = false;
  bool options_over = false;
  for (size_t i = 0; i < words.size(); ++i) {
    const word &w = words[i];
    if (!w.quoted && !options_over && w.text == "--") {
      options_over = true;
    } else if (!w.quoted && !options_over && w.text.size() > 1 && w.text[0] == '-') {
      bool applied = w.text[1] == '-' ? apply_long_option(words, &i, s, error)
                                      : apply_step_option(words, &i, &letters, error);
      if (!applied) return false;
    } else if (have_file) {
      *error = "more than one file: " + s->file + " and " + w.text;
      return false;
    } else {
      s->file = w.text;
      have_file = true;
    }
  }
  s->flags = letters.flags;
  s->address = letters.address;
  s->folder = folder;
  if (letters.start) {
    if (have_file || s->flags != 0 || s->check_id || !s->command.empty() || s->keep) {
      *error = "-s starts the program and takes no file or other option";
      return false;
    }
    s->mode = step_mode::start;
    return true;
  }
  if (!s->command.empty()) return command_step(have_file, s, error);
  if (!keeps_its_own(*s, error)) return false;
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

}  // namespace

bool parse_flash_id(const std::string &text, uint16_t *id) {
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) digits.remove_prefix(2);
  if (digits.empty() || digits.size() > 4) return false;
  uint16_t value = 0;
  for (char c : digits) {
    if (isxdigit(static_cast<unsigned char>(c)) == 0) return false;
    int digit = isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : (tolower(c) - 'a' + 10);
    value = static_cast<uint16_t>(value * 16 + digit);
  }
  *id = value;
  return true;
}

std::string apply_step_address(const std::string &text, transfer_options *letters) {
  if (apply_address(text.c_str(), letters)) {
    // kesp reads a number past 32 bits as 0xffffffff, which no flash
    // takes: the target would refuse it only after the image was sent.
    const char *digits = text.c_str() + text.find_first_not_of(" \t\n\v\f\r+-");
    errno = 0;
    unsigned long long magnitude = strtoull(digits, nullptr, 0);
    if (errno != ERANGE && magnitude <= UINT32_MAX) return "";
    return "address " + text + " is past the flash's 32 bits (at most 0xffffffff)";
  }
  return "invalid address: " + text;
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
