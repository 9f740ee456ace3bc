// Fuzzes the command-line scan with random argument vectors. The input is
// split at NUL bytes into the words after the program name; the scan's result
// is held against an independent model of the option rules and of strtoul
// with base 0 narrowed to 32 bits.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cmdline.h"
#include "wire.h"

namespace {

void check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "fuzz_cmdline: %s\n", what);
  abort();
}

unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 10;
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A') + 10;
  return 36;  // above every base
}

struct address_model {
  uint32_t value;
  bool whole;  // the text is one number and nothing else
};

// strtoul with base 0, its value narrowed to 32 bits as the tool documents,
// worked out in 64 bits with the magnitude held at 2^32 once it gets there.
address_model model_address(const char *text) {
  const char *p = text;
  while (*p != '\0' && strchr(" \t\n\v\f\r", *p) != nullptr) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  unsigned base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  constexpr uint64_t beyond = uint64_t{UINT32_MAX} + 1;
  const char *digits = p;
  uint64_t magnitude = 0;
  for (; digit_value(*p) < base; ++p) {
    magnitude = magnitude * base + digit_value(*p);
    if (magnitude > beyond) magnitude = beyond;
  }
  if (p == digits) return {0, false};
  uint32_t value = 0;
  if (magnitude >= beyond) {
    value = UINT32_MAX;
  } else {
    value = static_cast<uint32_t>(negative ? beyond - magnitude : magnitude);
  }
  return {value, *p == '\0'};
}

// The scan's rules restated: option words apply their letters in turn, -a
// takes the rest of its word or else the next word, "--" makes the next word
// an operand, and words beginning "--" otherwise mean nothing.
command_line model_scan(int argc, char *const argv[]) {
  command_line cmd;
  auto operand = [&cmd](const char *word) {
    if (cmd.host == nullptr) {
      cmd.host = word;
    } else if (cmd.filename == nullptr) {
      cmd.filename = word;
    }
  };
  auto address = [&cmd](const char *arg) {
    address_model parsed = model_address(arg);
    if (!parsed.whole && cmd.bad_address == nullptr) cmd.bad_address = arg;
    cmd.address = parsed.value;
    cmd.flags |= FLAG_ADDRESS;
  };
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (strcmp(word, "--") == 0) {
      if (i + 1 < argc) operand(argv[++i]);
      continue;
    }
    if (word[0] != '-' || word[1] == '\0') {
      operand(word);
      continue;
    }
    if (word[1] == '-') continue;
    for (const char *letter = word + 1; *letter != '\0'; ++letter) {
      if (*letter == 'a') {
        if (letter[1] != '\0') {
          address(letter + 1);
        } else if (i + 1 < argc) {
          address(argv[++i]);
        }
        break;
      }
      if (*letter == 'c') cmd.flags |= FLAG_COMPARE;
      if (*letter == 'n') cmd.flags |= FLAG_NAND | FLAG_ADDRESS;
      if (*letter == 's') cmd.start = true;
    }
  }
  return cmd;
}

// Whether text is one of the words after the program name, or at least
// points somewhere into one of them.
bool is_word(const char *text, int argc, char *const argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (text == argv[i]) return true;
  }
  return false;
}

bool points_into_word(const char *text, int argc, char *const argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (text >= argv[i] && text <= argv[i] + strlen(argv[i])) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Each word in its own allocation of exactly its length, so that a read
  // past a word's end is caught rather than landing in the next word.
  std::vector<std::unique_ptr<char[]>> words;
  words.push_back(std::make_unique<char[]>(sizeof "kesp"));
  memcpy(words.back().get(), "kesp", sizeof "kesp");
  size_t start = 0;
  for (size_t i = 0; size > 0 && i <= size; ++i) {
    if (i < size && data[i] != 0) continue;
    words.push_back(std::make_unique<char[]>(i - start + 1));
    memcpy(words.back().get(), data + start, i - start);
    start = i + 1;
  }
  std::vector<char *> pointers;
  for (auto &word : words) pointers.push_back(word.get());
  pointers.push_back(nullptr);
  char *const *argv = pointers.data();
  const int argc = static_cast<int>(words.size());

  command_line cmd;
  scan_args(argc, argv, &cmd);

  check(cmd.host == nullptr || is_word(cmd.host, argc, argv), "host is not one of the words");
  check(cmd.filename == nullptr || (cmd.host != nullptr && is_word(cmd.filename, argc, argv)),
        "filename is not one of the words, or came without a host");
  check(cmd.bad_address == nullptr || points_into_word(cmd.bad_address, argc, argv),
        "bad address does not point into the words");
  check((cmd.flags & ~FLAG_MASK) == 0, "flags other than the three flag bits");
  check((cmd.flags & FLAG_NAND) == 0 || (cmd.flags & FLAG_ADDRESS) != 0,
        "NAND without an address word");
  check((cmd.flags & FLAG_ADDRESS) != 0 || (cmd.address == 0 && cmd.bad_address == nullptr),
        "address set without -a or -n");

  command_line model = model_scan(argc, argv);
  check(cmd.host == model.host, "host differs from the rules");
  check(cmd.filename == model.filename, "filename differs from the rules");
  check(cmd.flags == model.flags, "flags differ from the rules");
  check(cmd.start == model.start, "start differs from the rules");
  check(cmd.address == model.address, "address differs from the rules");
  check(cmd.bad_address == model.bad_address, "bad address differs from the rules");

  // Every word as an address argument, so that the parse gets whole texts
  // straight from the input and not only those that follow an -a.
  for (int i = 1; i < argc; ++i) {
    uint32_t value = 0xA5A5A5A5;
    bool whole = parse_address(argv[i], &value);
    address_model expected = model_address(argv[i]);
    check(value == expected.value, "parse_address value differs from strtoul narrowed to 32 bits");
    check(whole == expected.whole, "parse_address disagrees on whether the text is one number");
  }
  return 0;
}
