// kesp-sim's command line: the settings it gives, and the two ways a start
// ends before the boards serve, with the exit status of each.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "target.h"

inline constexpr int EXIT_FAILURE_TO_START = 1;  // could not set up
inline constexpr char ADDR_MARK[] = "{addr}";    // in a file name: the board's address

// Fault options given after one --select (or before any, for every board).
struct fault_group {
  std::string list;  // the --select LIST; empty for every board
  std::vector<std::function<void(fault_plan &)>> faults;
};

struct sim_settings {
  std::string listen = "127.0.0.1";
  uint32_t boards = 1;
  std::string nor_file;  // with {addr} for the board's address
  std::string nand_file;
  bool nand = false;
  target t;  // every board's, but for the faults
  std::vector<fault_group> groups{1};
  int swap_min_ms = -1;  // --swap; -1 when a start request changes nothing
  int swap_max_ms = -1;
  std::string control;  // the FIFO's path
  std::string bind_device;
};

// Boards come and go: each has a serial number, and their coming and
// leaving is logged.
bool operator_mode(const sim_settings &s);

// The settings of the command line; prints the help and exits for --help,
// and ends the process with usage_error's status for a bad one.
sim_settings parse_command_line(int argc, char *argv[]);

// A command line the simulator cannot serve: says why, points at --help.
[[noreturn]] void usage_error(const std::string &why);
// The host cannot give what the settings need: says why.
[[noreturn]] void fail_to_start(const std::string &why);
