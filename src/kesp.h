// Command line of the kesp tool.
#pragma once

#include <cstdint>

struct command_line {
  const char *host = nullptr;         // first operand
  const char *filename = nullptr;     // second operand
  uint32_t address = 0;               // from the last -a
  uint32_t flags = 0;                 // FLAG_* bits gathered from -a, -c, -n
  bool start = false;                 // -s: start the target's program
  const char *bad_address = nullptr;  // first -a argument that is not a number
};

// Scans argv[1..argc-1] into *cmd. Never fails: what the words cannot
// supply is left at its initial value for the caller to judge.
void scan_args(int argc, char *const argv[], command_line *cmd);

// Reads an -a argument the way strtoul with base 0 does, but into 32 bits:
// a magnitude of 2^32 or more gives 0xFFFFFFFF, otherwise a minus sign
// negates modulo 2^32. Returns false unless the whole text is one number.
bool parse_address(const char *text, uint32_t *address);

void do_usage(const char *progname);
