// Names made from a pattern with a mark in it: a flash file per board
// address, an image per board name.
#pragma once

#include <cstddef>

// Writes the length bytes of pattern (which may hold a NUL) with every
// mark in them replaced by value into out (size bytes, NUL-terminated when
// size > 0), and returns the length the whole result has, as snprintf
// does: a caller whose buffer was short sizes one from it. Text that value
// brings in is not searched for the mark again.
size_t substitute(const char *pattern, size_t length, const char *mark, const char *value,
                  char *out, size_t size);
