// kesp's command line: its option letters -a, -c, -n and -s, its operands
// and its address numbers. kesp-batch's options and recipe steps take the
// same letters, so they apply them through here too.
#pragma once

#include <cstdint>

// What the option letters ask of one transaction.
struct transfer_options {
  uint32_t address = 0;  // from the last -a
  uint32_t flags = 0;    // FLAG_* bits gathered from -a, -c, -n
  bool start = false;    // -s: start the target's program
};

// How an option letter was taken by apply_option_letter.
enum class letter_use : uint8_t {
  applied,        // c, n or s: *options changed
  takes_address,  // a: its value is for apply_address
  unknown,        // not one of kesp's letters: nothing changed
};

letter_use apply_option_letter(char letter, transfer_options *options);

// Applies the value of an -a: the address and FLAG_ADDRESS are set even
// when text is not one number (as parse_address reads it), so that the
// caller decides whether that is an error. Returns parse_address's verdict.
bool apply_address(const char *text, transfer_options *options);

struct command_line : transfer_options {
  const char *host = nullptr;         // first operand
  const char *filename = nullptr;     // second operand
  const char *bad_address = nullptr;  // first -a argument that is not a number
};

// Scans argv[1..argc-1] into *cmd. Never fails: what the words cannot
// supply is left at its initial value for the caller to judge. Unknown
// letters and long options are ignored.
void scan_args(int argc, char *const argv[], command_line *cmd);

// Reads an -a argument the way strtoul with base 0 does, but into 32 bits:
// a magnitude of 2^32 or more gives 0xFFFFFFFF, otherwise a minus sign
// negates modulo 2^32. Returns false unless the whole text is one number.
bool parse_address(const char *text, uint32_t *address);

// kesp's usage text, on standard output.
void do_usage(const char *progname);
