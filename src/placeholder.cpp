#include "placeholder.h"

#include <cstring>

namespace {

// Appends n bytes of text at *length, as far as out has room.
void put(const char *text, size_t n, char *out, size_t size, size_t *length) {
  if (*length + 1 < size) {
    size_t room = size - 1 - *length;
    memcpy(out + *length, text, n < room ? n : room);
  }
  *length += n;
}

}  // namespace

size_t substitute(const char *pattern, size_t length, const char *mark, const char *value,
                  char *out, size_t size) {
  size_t mark_size = strlen(mark);
  size_t value_size = strlen(value);
  const char *from = pattern;
  const char *end = pattern + length;
  size_t written = 0;
  while (mark_size > 0) {
    const void *at = memmem(from, static_cast<size_t>(end - from), mark, mark_size);
    if (at == nullptr) break;
    const char *found = static_cast<const char *>(at);
    put(from, static_cast<size_t>(found - from), out, size, &written);
    put(value, value_size, out, size, &written);
    from = found + mark_size;
  }
  put(from, static_cast<size_t>(end - from), out, size, &written);
  if (size > 0) out[written < size ? written : size - 1] = '\0';
  return written;
}
