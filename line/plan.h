// What kesp-batch is asked to do: the boards, the steps each of them runs,
// and the settings of the run. options.h reads it from the command line,
// recipe.h from a recipe and board lists, checks.h checks it before any
// board is touched.
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
  std::string file;      // the image; "{board}" stands for the board's name, "{serial}"
                         // for a station unit's serial number
  std::string command;   // or: the command that writes each unit's image; "" for none
  std::string folder = ".";  // the recipe's folder, where its names resolve and its command runs
  std::string origin;    // where it was written, for messages: "FILE:LINE" or "command line"
  bool check_id = false;  // the first reply's flash id must be expect_id
  uint16_t expect_id = 0;
  bool keep = false;  // the unit record keeps its per-unit image itself (--keep)
};

// The most of a unit's own image --keep keeps: an identity (a serial
// number, a MAC address), never a key.
inline constexpr size_t KEEP_LIMIT = 256;

// One board and what its steps use.
struct board {
  std::string name;                // the word given, which names the board everywhere
  std::string log_name;            // name made safe as a file name, for --log-dir
  std::vector<std::string> files;  // per step: the image with {board} replaced; "" for a start
  std::vector<uint32_t> sizes;     // per step: the image's size when it was checked
  std::vector<size_t> copies;      // per step: its image in plan::images; unused for a start
  std::string interface;           // the network interface after a "%" in the name; "" for any
  bool resolved = false;           // address holds the board's IPv4 address
  sockaddr_in address{};           // port included
  std::string resolve_error;       // why the name did not resolve
  std::string label;               // a station slot's fixture label (A1=ADDRESS); "" for none
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
  bool station = false;     // the boards are fixture slots, each flashing board after board
  int settle_ms = 2000;     // a slot's board has left once its address refused this long
  uint64_t units = 0;       // a station stops after this many units; 0 for no limit
  std::string db;           // a station's unit record: SQLite file or postgresql:// URL; "" for none
  std::string serials;      // its serial numbers, FORMAT[,FIRST-LAST]; "" for none
  std::string station_name;  // the station's name in the record; "" for the host name
  int data_timeout_ms = 30000;  // how long a unit's data command may take
};

struct plan {
  settings opt;
  std::vector<step> steps;
  std::vector<board> boards;
  std::string recipe_file;               // as named, for the output checks; "" without -r
  std::vector<std::string> board_lists;  // likewise
  std::vector<snapshot> images;          // each distinct image once, as the checks copied it
};

// Whether the step's image is made for each unit (a command, or a file
// named by the unit's serial number) rather than taken once at start.
bool per_unit_image(const step &s);

// The file a board's step uses: every "{board}" in file replaced by name.
std::string board_file(const std::string &file, const std::string &name);
// The file a station unit's step uses: every "{serial}" in file (already a
// board's) replaced by the unit's serial number.
std::string unit_file(const std::string &file, const std::string &serial);

// "step 2/3 update nor 0x10000 boot.bin" as the lines and reports name a step.
std::string step_title(const plan &p, size_t board, size_t step);

// How the operator knows a station's slot: its label, or its number from 1.
std::string slot_label(const plan &p, size_t slot);

// The plan as --dry-run prints it.
std::string describe_plan(const plan &p);

// "update", "compare" or "start"; "nor" or "nand".
const char *mode_name(step_mode mode);
const char *device_name(uint32_t flags);
