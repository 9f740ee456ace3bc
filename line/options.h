// kesp-batch's command line: its usage text and options, and the plan they
// make with the recipe and board lists they name.
#pragma once

#include <cstdint>
#include <string>

#include "plan.h"

// How reading the command line ended.
enum class parse_end : uint8_t {
  run,    // the plan is complete
  done,   // --help or --version was printed: exit 0
  usage,  // *error says what is wrong: exit 2
};

// Reads the command line, the recipe and the board lists it names into *p
// (boards named but not yet checked or resolved).
parse_end parse_command_line(int argc, char *argv[], plan *p, std::string *error);
