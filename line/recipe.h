// The texts kesp-batch reads besides its command line: a recipe, one step
// a line written like kesp's options and file, and a board list, one board
// a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cmdline.h"
#include "plan.h"

// Reads a recipe's text; file names are taken relative to folder. name is
// the recipe's own name for messages. False with *error naming FILE:LINE.
bool parse_recipe(const std::string &text, const std::string &name, const std::string &folder,
                  std::vector<step> *steps, std::string *error);

// Reads a board list's text: one board per line, "#" comments.
bool parse_board_list(const std::string &text, const std::string &name,
                      std::vector<std::string> *boards, std::string *error);

// A flash id as --expect-id takes it: 1 to 4 hexadecimal digits, 0x
// allowed. False when it is not one.
bool parse_flash_id(const std::string &text, uint16_t *id);

// Applies an -a value to *letters as kesp would: "" when it is one
// number, else the message, which also refuses a number past 32 bits
// (kesp sends 0xffffffff for one).
std::string apply_step_address(const std::string &text, transfer_options *letters);

// Why name cannot be a board's, or "": the message for it.
std::string bad_board_name(const std::string &name);
