#include "image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#ifndef O_BINARY
#define O_BINARY 0
#endif

image_size judge_image_size(int64_t bytes) {
  if (bytes == 0) return image_size::empty;
  if (bytes >= static_cast<int64_t>(LENGTH_LIMIT)) return image_size::too_large;
  return image_size::fits;
}

// The image is opened without blocking so that a FIFO named by mistake
// fails the length check instead of waiting for a writer forever. A
// directory opens too, but a seek to its end gives whatever its filesystem
// likes (2^63 - 1, an error, or a block size that would put a header on the
// wire before the first read fails), so it fails here, as the open.
int open_image(const char *filename) {
  int fd = open(filename, O_RDONLY | O_BINARY | O_NONBLOCK);
  if (fd < 0) return fd;
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return -1;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}
