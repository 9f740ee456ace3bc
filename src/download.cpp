#include "download.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine.h"
#include "image.h"
#include "net.h"
#include "transcript.h"
#include "wire.h"

namespace {

constexpr uint32_t CHUNK_SIZE = 256;               // image bytes per send and bar redraw
constexpr uint32_t READ_BLOCK = 256 * CHUNK_SIZE;  // image bytes per read and checksum call

off_t filelen(int fd) {
  off_t here = lseek(fd, 0, SEEK_CUR);
  if (here < 0) return here;
  off_t end = lseek(fd, 0, SEEK_END);
  lseek(fd, here, SEEK_SET);
  return end;
}

// Reads until n bytes or end of file: a short count means the file ended.
ssize_t read_full(int fd, uint8_t *buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = read(fd, buf + done, n - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

// Waits for the reply the transaction awaits, reading no byte past it.
// False when the connection ended first.
bool receive_reply(int sock, transaction *t) {
  uint8_t buf[REPLY_SIZE];
  size_t want = txn_reply_wanted(t);
  ssize_t got = recv_all(sock, buf, want);
  if (got < 0) {
    txn_closed(t, errno);
    return false;
  }
  size_t used = 0;
  txn_received(t, buf, static_cast<size_t>(got), &used);
  if (static_cast<size_t>(got) < want) {
    txn_closed(t, 0);
    return false;
  }
  return true;
}

// The errno of the first write to standard output that failed. The stream
// only keeps a flag, and may drop what it could not write, so the reason
// is taken at once, while errno still holds it.
int &stdout_errno() {
  static int first = 0;
  return first;
}

void note_stdout() {
  if (stdout_errno() == 0 && ferror(stdout) != 0) stdout_errno() = errno != 0 ? errno : EIO;
}

void send_request(int sock, transaction *t) {
  const uint8_t *bytes = nullptr;
  size_t n = txn_request_bytes(t, &bytes);
  if (send_all(sock, bytes, n) < 0) {
    txn_send_failed(t, errno);
  } else {
    txn_request_sent(t, n);
  }
}

}  // namespace

namespace {

// Opens and measures the image; exits on a local failure, as kesp does
// before anything but the connection is made.
int open_measured(const char *filename, uint32_t *length) {
  int fd = open_image(filename);
  if (fd < 0) {
    perror("open file");
    exit(-1);
  }
  off_t measured = filelen(fd);
  if (measured < 0) {
    perror("get file len");
    exit(-1);
  }
  switch (judge_image_size(measured)) {
    case image_size::fits:
      break;
    case image_size::too_large:
      errno = EFBIG;
      perror("get file len");
      exit(-1);
    case image_size::empty:
      fprintf(stderr, "kesp: image file is empty\n");
      exit(-1);
  }
  *length = static_cast<uint32_t>(measured);
  return fd;
}

// Sends the first n bytes of block in 256-byte sends, a bar after each
// whole one; returns how many went out, with *err set if a send failed.
uint32_t send_chunks(int sock, const uint8_t *block, uint32_t n, const transaction *t, int *err) {
  for (uint32_t at = 0; at < n; at += CHUNK_SIZE) {
    uint32_t chunk = std::min(CHUNK_SIZE, n - at);
    if (send_all(sock, block + at, chunk) < 0) {
      *err = errno;
      return at;
    }
    if (chunk == CHUNK_SIZE) {
      print_bar(stdout, t->length, t->sent + at + chunk);
      note_stdout();
    }
  }
  return n;
}

// Streams the image from fd while the transaction wants it. The file is
// read a block at a time and the checksum taken over the whole block: a
// read and a checksum call per 256 bytes cost more than the sends. The
// wire still gets 256-byte sends and the bar its redraw after each.
void stream_image(int sock, int fd, transaction *t) {
  static uint8_t block[READ_BLOCK];
  while (uint32_t left = txn_image_left(t)) {
    uint32_t want = std::min(left, READ_BLOCK);
    ssize_t got = read_full(fd, block, want);
    const bool cut_short = got != static_cast<ssize_t>(want);
    // Whole chunks of a block cut short still go out, as they would have
    // been read one by one.
    uint32_t usable = got < 0 ? 0 : static_cast<uint32_t>(got);
    if (cut_short) usable -= usable % CHUNK_SIZE;
    int err = 0;
    uint32_t done = send_chunks(sock, block, usable, t, &err);
    txn_image_sent(t, block, done);
    if (err != 0) {
      txn_send_failed(t, err);
      return;
    }
    if (cut_short) {
      // The target is waiting for bytes we no longer have; exiting closes
      // the connection so that neither side waits forever.
      printf("\n");
      if (got < 0) {
        perror("read file");
      } else {
        fprintf(stderr, "read file: file ended after %u of %u bytes\n",
                t->sent + static_cast<uint32_t>(got) - done, t->length);
      }
      exit(-1);
    }
  }
}

}  // namespace

void download_file(int sock, const char *filename, uint32_t flags, uint32_t address) {
  uint32_t length = 0;
  int fd = open_measured(filename, &length);

  // Nagle's algorithm would hold each runt until the segment before it is
  // acknowledged, and the pieces would go out as a full segment and a
  // runt per acknowledgement.
  send_without_delay(sock);
  transaction t;
  txn_begin(&t, length, flags, address);
  send_request(sock, &t);
  print_request_lines(stdout, address, flags);
  note_stdout();

  // The image is closed on both paths that return: a caller that runs many
  // transactions in one process would otherwise run out of descriptors.
  if (!receive_reply(sock, &t)) {
    print_outcome_lines(stdout, &t);
    note_stdout();
    close(fd);
    return;
  }
  print_first_reply_line(stdout, &t);
  note_stdout();

  // The pieces leave in full segments only; the last, partial one is
  // held until the push after the stream.
  hold_partial_segments(sock);
  stream_image(sock, fd, &t);
  // The target cannot answer before it has every byte we sent, whether
  // the stream ended with the image or on a failed send.
  push_queued(sock);
  print_bar(stdout, length, t.sent);
  printf("\n");
  note_stdout();
  close(fd);

  // A target found vanished while we sent will not answer either.
  if (t.send_errno == ETIMEDOUT) {
    txn_closed(&t, ETIMEDOUT);
  } else {
    receive_reply(sock, &t);
  }
  print_outcome_lines(stdout, &t);
  note_stdout();
}

int stdout_failure() {
  note_stdout();
  return stdout_errno();
}

bool start_program(int sock) {
  transaction t;
  txn_begin_start(&t);
  send_request(sock, &t);
  return txn_judge(&t) == txn_result::passed;
}
