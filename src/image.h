// What makes a file an image that can be sent: every program that sends
// one judges it here, so that they agree on the limits.
#pragma once

#include <cstdint>

#include "wire.h"

// An image is 1 byte to under LENGTH_LIMIT: its length shares the header
// word with the flags. IMAGE_LIMIT_TEXT names the limit in messages.
inline constexpr char IMAGE_LIMIT_TEXT[] = "512 MiB";
static_assert(LENGTH_LIMIT == 512U * 1024 * 1024);

enum class image_size : uint8_t {
  fits,       // 1 byte to under LENGTH_LIMIT
  empty,      // an empty image without flags would be the start request
  too_large,  // would turn into a flag on the wire
};

// bytes is a measured length, never negative.
image_size judge_image_size(int64_t bytes);

// Opens an image for reading, or returns -1 with errno set. It does not
// block on a FIFO, and a directory fails here with EISDIR.
int open_image(const char *filename);
