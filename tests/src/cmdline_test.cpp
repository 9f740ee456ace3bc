#include "cmdline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire.h"

namespace {

struct scan_case {
  std::vector<std::string> words;  // after the program name
  const char *host;
  const char *filename;
  uint32_t address;
  uint32_t flags;
  bool start;
  const char *bad_address;
};

std::string show(const char *s) { return s == nullptr ? "(none)" : s; }

TEST(ScanArgs, Rules) {
  const uint32_t A = FLAG_ADDRESS, C = FLAG_COMPARE, N = FLAG_NAND;
  const scan_case cases[] = {
      {{}, nullptr, nullptr, 0, 0, false, nullptr},
      {{"board"}, "board", nullptr, 0, 0, false, nullptr},
      {{"-s", "board"}, "board", nullptr, 0, 0, true, nullptr},
      {{"board", "img", "extra", "more"}, "board", "img", 0, 0, false, nullptr},
      // operands anywhere
      {{"board", "-a", "0x8000", "img"}, "board", "img", 0x8000, A, false, nullptr},
      {{"-a", "0x8000", "board", "img"}, "board", "img", 0x8000, A, false, nullptr},
      {{"board", "-c", "img"}, "board", "img", 0, C, false, nullptr},
      {{"board", "img", "-n"}, "board", "img", 0, N | A, false, nullptr},
      // repeats: flags accumulate, the last -a wins
      {{"-a", "0x8000", "-a", "0x100", "b", "f"}, "b", "f", 0x100, A, false, nullptr},
      {{"-c", "-c", "-s", "-s", "b"}, "b", nullptr, 0, C, true, nullptr},
      // shared dash, attached argument, the argument ending the word
      {{"-cn", "b", "f"}, "b", "f", 0, C | N | A, false, nullptr},
      {{"-a0x100", "b", "f"}, "b", "f", 0x100, A, false, nullptr},
      {{"-ca0x10s", "b", "f"}, "b", "f", 0x10, C | A, false, "0x10s"},
      {{"-csa", "16", "b", "f"}, "b", "f", 16, C | A, true, nullptr},
      // -a takes the next word whatever it begins with
      {{"-a", "-c", "b", "f"}, "b", "f", 0, A, false, "-c"},
      {{"-a", "-2", "b", "f"}, "b", "f", 0xFFFFFFFE, A, false, nullptr},
      // a trailing -a is dropped without effect
      {{"b", "f", "-a"}, "b", "f", 0, 0, false, nullptr},
      // "--" makes the next word an operand, and only that word
      {{"board", "--", "-c"}, "board", "-c", 0, 0, false, nullptr},
      {{"--", "-s", "-c", "f"}, "-s", "f", 0, C, false, nullptr},
      {{"b", "--"}, "b", nullptr, 0, 0, false, nullptr},
      // dropped letters and long words
      {{"-c-", "b", "f"}, "b", "f", 0, C, false, nullptr},
      {{"-x", "b", "f"}, "b", "f", 0, 0, false, nullptr},
      {{"--verbose", "b", "--address=1", "f"}, "b", "f", 0, 0, false, nullptr},
      {{"-", "f"}, "-", "f", 0, 0, false, nullptr},
      // a bad address is remembered, the first one is reported
      {{"-a", "0x1OOO", "-a", "zz", "b", "f"}, "b", "f", 0, A, false, "0x1OOO"},
  };
  for (const auto &c : cases) {
    std::vector<char *> argv{const_cast<char *>("kesp")};
    for (const auto &w : c.words) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    command_line cmd;
    scan_args(static_cast<int>(argv.size() - 1), argv.data(), &cmd);

    std::string where;
    for (const auto &w : c.words) where += "[" + w + "] ";
    EXPECT_EQ(show(cmd.host), show(c.host)) << where;
    EXPECT_EQ(show(cmd.filename), show(c.filename)) << where;
    EXPECT_EQ(cmd.address, c.address) << where;
    EXPECT_EQ(cmd.flags, c.flags) << where;
    EXPECT_EQ(cmd.start, c.start) << where;
    EXPECT_EQ(show(cmd.bad_address), show(c.bad_address)) << where;
  }
}

TEST(ParseAddress, ReadsLikeStrtoulInto32Bits) {
  const struct {
    const char *text;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"0x10000", true, 0x10000},
      {"010", true, 8},
      {"4096", true, 4096},
      {"0XfFfF", true, 0xFFFF},
      {"0xFFFFFFFF", true, 0xFFFFFFFF},
      {"4294967296", true, 0xFFFFFFFF},
      {"-4294967296", true, 0xFFFFFFFF},
      {"99999999999999999999999", true, 0xFFFFFFFF},
      {"-1", true, 0xFFFFFFFF},
      {"-2", true, 0xFFFFFFFE},
      {"-0", true, 0},
      {"  +5", true, 5},
      {" \t-0x10", true, 0xFFFFFFF0},
      {"", false, 0},
      {"abc", false, 0},
      {"-", false, 0},
      {"- 1", false, 0},
      {"--1", false, 0},
      {"0x1OOO", false, 0x1},
      {"12 ", false, 12},
      {"08", false, 0},
  };
  for (const auto &c : cases) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(parse_address(c.text, &value), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(value, c.value) << '"' << c.text << '"';
  }
}

// What kesp-batch's options and recipe steps rely on: each letter's effect
// alone, and an unknown letter changing nothing so that they can refuse it.
TEST(OptionLetters, EachLetterAloneAndUnknownOnesChangeNothing) {
  struct letter_case {
    char letter;
    letter_use use;
    uint32_t flags;
    bool start;
  };
  const letter_case cases[] = {
      {.letter = 'c', .use = letter_use::applied, .flags = FLAG_COMPARE, .start = false},
      {.letter = 'n',
       .use = letter_use::applied,
       .flags = FLAG_NAND | FLAG_ADDRESS,
       .start = false},
      {.letter = 's', .use = letter_use::applied, .flags = 0, .start = true},
      {.letter = 'a', .use = letter_use::takes_address, .flags = 0, .start = false},
      {.letter = 'x', .use = letter_use::unknown, .flags = 0, .start = false},
      {.letter = 'A', .use = letter_use::unknown, .flags = 0, .start = false},
  };
  for (const auto &c : cases) {
    transfer_options o;
    EXPECT_EQ(apply_option_letter(c.letter, &o), c.use) << c.letter;
    EXPECT_EQ(o.flags, c.flags) << c.letter;
    EXPECT_EQ(o.start, c.start) << c.letter;
    EXPECT_EQ(o.address, 0U) << c.letter;
  }
}

TEST(OptionLetters, AnAddressSetsItsFlagEvenWhenItIsNotANumber) {
  transfer_options o;
  EXPECT_TRUE(apply_address("0x100", &o));
  EXPECT_EQ(o.address, 0x100U);
  EXPECT_EQ(o.flags, FLAG_ADDRESS);
  transfer_options bad;
  EXPECT_FALSE(apply_address("12 ", &bad));
  EXPECT_EQ(bad.address, 12U);
  EXPECT_EQ(bad.flags, FLAG_ADDRESS);
}

TEST(Usage, SixPiecesOnStandardOutput) {
  testing::internal::CaptureStdout();
  do_usage("kesp");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "usage: kesp -[csn] -[a <address>] <host> [filename]\n"
            "\n"
            "-a <address> - place data in flash at <address>\n"
            "-c           - compare only (no update)\n"
            "-s           - start program\n"
            "-n           - select nand device as flash\n");
}

}  // namespace
