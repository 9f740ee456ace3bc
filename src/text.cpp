#include "text.h"

#include <cstdint>
#include <cstdio>
#include <ctime>

std::string folder_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

namespace {

bool continuation(unsigned char byte) { return (byte & 0xc0U) == 0x80; }

// How many bytes at text[i] form one well-formed character; else 0, with
// *part the bytes that begin one before it breaks off (at least 1). The
// second byte's range is what rules out overlong forms, surrogates and
// code points past U+10FFFF.
size_t character_at(std::string_view text, size_t i, size_t *part) {
  auto lead = static_cast<unsigned char>(text[i]);
  *part = 1;
  if (lead < 0x80) return 1;
  size_t n = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3;
    if (lead == 0xe0) low = 0xa0;
    if (lead == 0xed) high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4;
    if (lead == 0xf0) low = 0x90;
    if (lead == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  for (size_t k = 1; k < n; ++k) {
    if (i + k >= text.size()) return 0;
    auto byte = static_cast<unsigned char>(text[i + k]);
    bool fits = k == 1 ? byte >= low && byte <= high : continuation(byte);
    if (!fits) return 0;
    *part = k + 1;
  }
  return n;
}

}  // namespace

std::string valid_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t part = 0;
    size_t n = character_at(text, i, &part);
    if (n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += REPLACEMENT_CHARACTER;
      i += part;
    }
  }
  return out;
}

std::string_view utf8_tail(std::string_view text, size_t max) {
  if (text.size() <= max) return text;
  size_t from = text.size() - max;
  // A character is at most 4 bytes: past 3 continuation bytes the text
  // was not UTF-8 there, and the cut may as well fall where it is.
  for (size_t k = 0;
       k < 3 && from < text.size() && continuation(static_cast<unsigned char>(text[from])); ++k) {
    ++from;
  }
  return text.substr(from);
}

std::string iso_time(int64_t ms) {
  auto seconds = static_cast<time_t>(ms / 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(ms % 1000));
  return text;
}
