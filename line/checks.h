// The checks kesp-batch makes before any board is touched: the boards, the
// images and the log folder, and the boards' addresses.
#pragma once

#include <cstddef>
#include <string>

#include "plan.h"

// How many distinct images the boards' steps name, each held open as a
// snapshot for the run.
size_t count_images(const plan &p);

// The checks made before anything is sent: boards given once, every image
// of every board there, regular, readable and of a size the protocol can
// carry, every per-unit command's program found and executable from the
// recipe's folder (never run), the output files and folder writable. Takes the snapshot of each
// distinct image and fills each board's files, sizes and copies. False
// with *error.
bool check_plan(plan *p, std::string *error);

// Resolves every board's name to its IPv4 address. A name that does not
// resolve fails that board only; two names of the same board are an error.
bool resolve_boards(plan *p, std::string *error);
