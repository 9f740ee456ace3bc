// The boards and their slots: each board's address, flash and faults, and
// its life in the slot, serving one client after another while boards are
// taken out and put in.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim_options.h"
#include "target.h"

// What the control FIFO asks of a board, for its own thread to do.
enum class board_command { none, remove, insert };

// One simulated board: its address, its listener and its own flash, and,
// when boards come and go, which one is in the slot.
struct slot_board {
  std::string address;
  std::string log_prefix;  // "kesp-sim: ", and the address when there are several
  std::string nor_path;    // the flash files; empty in memory
  std::string nand_path;
  std::string device;  // --bind-device
  int listener = -1;
  target t;
  // Operator mode only.
  bool tracked = false;  // serial numbers and the leaving line
  int swap_min_ms = -1;
  int swap_max_ms = -1;
  uint32_t serial = 0;                              // of the board in the slot; 0 while empty
  std::chrono::steady_clock::time_point back_at{};  // a fresh board comes then
  bool coming = false;                              // back_at holds
  int command_fd = -1;  // eventfd the control thread wakes the board with
  // eventfd that ends the connection in progress (t.pull_fd): written for
  // a remove only, so that an insert into a taken slot costs its board
  // nothing.
  int pull_fd = -1;
  std::mutex mutex;  // over pending and the count in pull_fd
  std::vector<board_command> pending;
};

// The boards from the command line: their addresses, and each one's target
// with the faults chosen for it.
std::vector<slot_board> lay_out_boards(const sim_settings &s);

// Two devices writing one file would each overwrite the other, and a
// device's journal or temporary file made where another device keeps its
// flash would truncate and remove it; the lock would call the first "in use
// by another simulator", which points the user the wrong way. Checked
// before any file is made, so that a refused command line leaves nothing.
void check_device_names(const std::vector<slot_board> &boards);

// Opens the board's flash devices and takes the memory its connections
// work in; in operator mode also its eventfds, and the first board comes
// into the slot, logged.
void open_board(slot_board &b, bool tracked);
// Closes what open_board and the listener hold.
void close_board(slot_board &b);

// Serves one client after another until a stop signal; in operator mode,
// boards also leave the slot and come into it.
void serve(slot_board &b);

// Wakes the board whose eventfd fd is: a command waits, or the connection
// in progress is to end.
void wake(int fd);
