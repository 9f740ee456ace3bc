#include "cmdline.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wire.h"

letter_use apply_option_letter(char letter, transfer_options *options) {
  switch (letter) {
    case 'a':
      return letter_use::takes_address;
    case 'c':
      options->flags |= FLAG_COMPARE;
      return letter_use::applied;
    case 'n':
      options->flags |= FLAG_NAND | FLAG_ADDRESS;
      return letter_use::applied;
    case 's':
      options->start = true;
      return letter_use::applied;
    default:
      return letter_use::unknown;
  }
}

bool apply_address(const char *text, transfer_options *options) {
  uint32_t value = 0;
  bool whole = parse_address(text, &value);
  options->address = value;
  options->flags |= FLAG_ADDRESS;
  return whole;
}

namespace {

void take_operand(const char *word, command_line *cmd) {
  if (cmd->host == nullptr) {
    cmd->host = word;
  } else if (cmd->filename == nullptr) {
    cmd->filename = word;
  }
}

void take_address(const char *text, command_line *cmd) {
  if (!apply_address(text, cmd) && cmd->bad_address == nullptr) cmd->bad_address = text;
}

// Applies the option letters of argv[i] and returns the index of the last
// word used, which is the next one when -a ends the word.
int scan_option_word(int argc, char *const argv[], int i, command_line *cmd) {
  for (const char *letter = argv[i] + 1; *letter != '\0'; ++letter) {
    // Unknown letters are ignored without a word.
    if (apply_option_letter(*letter, cmd) != letter_use::takes_address) continue;
    if (letter[1] != '\0') {
      take_address(letter + 1, cmd);
    } else if (i + 1 < argc) {
      take_address(argv[++i], cmd);
    }
    return i;
  }
  return i;
}

}  // namespace

bool parse_address(const char *text, uint32_t *address) {
  const char *p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  // Only digits may follow the sign; strtoull given the rest would also
  // take a second sign or more blanks.
  if (!isdigit(static_cast<unsigned char>(*p))) {
    *address = 0;
    return false;
  }
  char *end = nullptr;
  errno = 0;
  unsigned long long magnitude = strtoull(p, &end, 0);
  if (errno == ERANGE || magnitude > UINT32_MAX) {
    *address = UINT32_MAX;
  } else {
    auto value = static_cast<uint32_t>(magnitude);
    *address = negative ? 0U - value : value;
  }
  return *end == '\0';
}

// Written by hand rather than with getopt: operands may stand before,
// between or after the options, and the platform's getopt either reorders
// the vector or, kept in order, loses its place after a "--".
void scan_args(int argc, char *const argv[], command_line *cmd) {
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (strcmp(word, "--") == 0) {
      if (i + 1 < argc) take_operand(argv[++i], cmd);
    } else if (word[0] != '-' || word[1] == '\0') {
      take_operand(word, cmd);
    } else if (word[1] != '-') {
      i = scan_option_word(argc, argv, i, cmd);
    }
    // else a long option: none is known, so it is ignored like an unknown letter
  }
}

void do_usage(const char *progname) {
  printf("usage: %s -[csn] -[a <address>] <host> [filename]\n", progname);
  printf("\n");
  printf("-a <address> - place data in flash at <address>\n");
  printf("-c           - compare only (no update)\n");
  printf("-s           - start program\n");
  printf("-n           - select nand device as flash\n");
}
