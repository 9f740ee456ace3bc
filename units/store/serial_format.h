// The serial numbers a station hands out: their format, read from
// --serials, and how a number is written in it. Nothing here touches the
// record, so that a format can be checked before any store is opened.
#pragma once

#include <cstdint>
#include <string>

// Serial numbers: a prefix, a zero-padded decimal number and a suffix,
// handed out from first to last. Written "PREFIX{:0W}SUFFIX" with an
// optional ",FIRST-LAST" (default 1 to the largest W-digit number).
struct serial_pool {
  std::string format;  // the format as given, without the range: the pool's name
  std::string prefix;
  std::string suffix;
  int width = 0;
  int64_t first = 0;
  int64_t last = 0;
};

// Reads --serials' value. "" when it is one, else why not.
std::string parse_serials(const std::string &text, serial_pool *out);
std::string format_serial(const serial_pool &pool, int64_t number);
// How many numbers are left when the warning starts: the last tenth of
// the range, but never more than the last 100, and at least the last one.
int64_t serial_warning_margin(const serial_pool &pool);
