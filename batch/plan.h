// What kesp-batch is asked to do: the boards, the steps each of them runs,
// and the settings of the run, read from the command line, a recipe and a
// board list, and checked before any board is touched.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net.h"
#include "snapshot.h"

enum class step_mode : uint8_t { update, compare, start };

// One step, as every board runs it.
struct step {
  step_mode mode = step_mode::update;
  uint32_t flags = 0;    // FLAG_* bits, as kesp sends them for the same options
  uint32_t address = 0;  // flash address (sent when flags has FLAG_ADDRESS)
  std::string file;      // the image; "{board}" stands for the board's name
  std::string origin;    // where it was written, for messages: "FILE:LINE" or "command line"
};

// One board and what its steps use.
struct board {
  std::string name;                // the word given, which names the board everywhere
  std::string log_name;            // name made safe as a file name, for --log-dir
  std::vector<std::string> files;  // per step: the image with {board} replaced; "" for a start
  std::vector<uint32_t> sizes;     // per step: the image's size when it was checked
  std::vector<size_t> copies;      // per step: its image in plan::images; unused for a start
  bool resolved = false;           // address holds the board's IPv4 address
  sockaddr_in address{};           // port included
  std::string resolve_error;       // why the name did not resolve
};

struct settings {
  size_t jobs = 0;  // boards at work at once; 0 until the default is chosen
  int retries = 2;  // new attempts after a step's connection failed
  int connect_timeout_ms = CONNECT_TIMEOUT_MS;  // how long a connect may take
  int step_timeout_ms = 0;  // how long one attempt of a step may take; 0 for no limit
  bool quiet = false;       // only failures and the summary on standard output
  bool dry_run = false;     // print the plan, send nothing
  std::string report;       // JSON Lines file, or ""
  std::string junit;        // JUnit XML file, or ""
  std::string log_dir;      // folder of per-board logs, or ""
};

struct plan {
  settings opt;
  std::vector<step> steps;
  std::vector<board> boards;
  std::string recipe_file;               // as named, for the output checks; "" without -r
  std::vector<std::string> board_lists;  // likewise
  std::vector<snapshot> images;  // each distinct image once, as the checks copied it
};

// How reading the command line ended.
enum class parse_end : uint8_t {
  run,    // the plan is complete
  done,   // --help or --version was printed: exit 0
  usage,  // *error says what is wrong: exit 2
};

// Reads the command line, the recipe and the board lists it names into *p
// (boards named but not yet checked or resolved).
parse_end parse_command_line(int argc, char *argv[], plan *p, std::string *error);

// Reads a recipe's text; file names are taken relative to folder. name is
// the recipe's own name for messages. False with *error naming FILE:LINE.
bool parse_recipe(const std::string &text, const std::string &name, const std::string &folder,
                  std::vector<step> *steps, std::string *error);

// Reads a board list's text: one board per line, "#" comments.
bool parse_board_list(const std::string &text, const std::string &name,
                      std::vector<std::string> *boards, std::string *error);

// The file a board's step uses: every "{board}" in file replaced by name.
std::string board_file(const std::string &file, const std::string &name);

// How many distinct images the boards' steps name, each held open as a
// snapshot for the run.
size_t count_images(const plan &p);

// The checks made before anything is sent: boards given once, every image
// of every board there, regular, readable and of a size the protocol can
// carry, the output files and folder writable. Takes the snapshot of each
// distinct image and fills each board's files, sizes and copies. False
// with *error.
bool check_plan(plan *p, std::string *error);

// Resolves every board's name to its IPv4 address. A name that does not
// resolve fails that board only; two names of the same board are an error.
bool resolve_boards(plan *p, std::string *error);

// The plan as --dry-run prints it.
std::string describe_plan(const plan &p);

// "update", "compare" or "start"; "nor" or "nand".
const char *mode_name(step_mode mode);
const char *device_name(uint32_t flags);
