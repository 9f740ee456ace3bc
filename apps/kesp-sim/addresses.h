// The boards' addresses: the consecutive range from --listen on, the lists
// that pick some of them out, and a listener on each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An IPv4 address in host order; ends the start as a usage error when
// address is not one.
uint32_t parse_ipv4(const std::string &address);
std::string ipv4_text(uint32_t host);

// Why a list names no boards: for an item, or for a piece of one that is
// no address or no number at all. All empty when it names boards.
struct selection_error {
  std::string why;
  std::string bad_address;
  std::string bad_number;
};

// The boards (from 0) that a list names: numbers from 1, ranges of them, or
// the boards' addresses, separated by commas.
selection_error select_boards(const std::string &list, uint32_t first, uint32_t boards,
                              std::vector<bool> &chosen);
// The same for --select, refused in the words the command line uses.
std::vector<bool> selected_boards(const std::string &list, uint32_t first, uint32_t boards);

// A listener on the board's address, bound to device when one is named:
// the descriptor, or -1 with why.
int try_listener(const std::string &address, const std::string &device, std::string *why);
// The same, or the start ends naming the address, so that a harness whose
// address is taken can move on to another.
int open_listener(const std::string &address, const std::string &device);
