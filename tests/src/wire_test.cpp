#include "wire.h"
#include "net.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <thread>

namespace {

using word = std::array<uint8_t, WORD_SIZE>;

word header(uint32_t length, uint32_t flags) {
  word w{};
  encode_header(w.data(), length, flags);
  return w;
}

TEST(Wire, HeaderLayouts) {
  EXPECT_EQ(header(300, FLAG_COMPARE), (word{0x80, 0x00, 0x01, 0x2C}));
  EXPECT_EQ(header(300, FLAG_NAND | FLAG_ADDRESS), (word{0x60, 0x00, 0x01, 0x2C}));
  EXPECT_EQ(header(300, FLAG_ADDRESS), (word{0x40, 0x00, 0x01, 0x2C}));
  EXPECT_EQ(header(300, 0), (word{0x00, 0x00, 0x01, 0x2C}));
  EXPECT_EQ(header(LENGTH_LIMIT - 1, FLAG_COMPARE), (word{0x9F, 0xFF, 0xFF, 0xFF}));
}

// Every flag combination and the lengths at both ends come back as they went.
TEST(Wire, HeaderDecodesWhatWasEncoded) {
  for (uint32_t flags : {0u, FLAG_COMPARE, FLAG_ADDRESS, FLAG_NAND | FLAG_ADDRESS, FLAG_MASK}) {
    for (uint32_t length : {0u, 1u, 300u, LENGTH_LIMIT - 1}) {
      request_header h = decode_header(header(length, flags).data());
      EXPECT_EQ(h.length, length) << std::hex << flags;
      EXPECT_EQ(h.flags, flags) << std::hex << length;
    }
  }
  word start{};
  encode_start(start.data());
  request_header h = decode_header(start.data());
  EXPECT_EQ(h.length, 0u);
  EXPECT_EQ(h.flags, 0u);
}

TEST(Wire, AddressAndStartWords) {
  word w{};
  encode_address(w.data(), 0x10000);
  EXPECT_EQ(w, (word{0x00, 0x01, 0x00, 0x00}));
  encode_address(w.data(), 0xFFFFFFFE);
  EXPECT_EQ(w, (word{0xFF, 0xFF, 0xFF, 0xFE}));
  w.fill(0xAA);
  encode_start(w.data());
  EXPECT_EQ(w, (word{0, 0, 0, 0}));
}

TEST(Wire, DecodesReplyFieldsBigEndian) {
  const uint8_t bytes[REPLY_SIZE] = {0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFB, 0x00, 0x01, 0x02,
                                     0x03, 0x00, 0x00, 0x01, 0x2C, 0xCB, 0xF4, 0x39, 0x26};
  flash_reply r = decode_reply(bytes);
  EXPECT_EQ(r.flash_id, 0x1234);
  EXPECT_EQ(r.error, -5);
  EXPECT_STREQ(flash_error_str(r.error), "invalid size");
  EXPECT_EQ(r.addr, 0x00010203u);
  EXPECT_EQ(r.size, 300u);
  EXPECT_EQ(r.crc, 0xCBF43926u);
}

TEST(Wire, ReplyRoundTripsExtremes) {
  for (int32_t error : {0, 1, -1, INT32_MIN, INT32_MAX}) {
    flash_reply in{0xFFFF, error, 0xFFFFFFFF, 0x80000000, 1};
    uint8_t bytes[REPLY_SIZE];
    encode_reply(bytes, in);
    flash_reply out = decode_reply(bytes);
    EXPECT_EQ(out.flash_id, in.flash_id);
    EXPECT_EQ(out.error, in.error);
    EXPECT_EQ(out.addr, in.addr);
    EXPECT_EQ(out.size, in.size);
    EXPECT_EQ(out.crc, in.crc);
  }
}

TEST(Wire, ErrorTextsByMagnitude) {
  const struct {
    int32_t error;
    const char *text;
  } cases[] = {
      {0, "no error"},          {1, "reprogram error"},     {2, "erase error"},
      {3, "invalid address"},   {-3, "invalid address"},    {4, "compare failed"},
      {5, "invalid size"},      {6, "no such device"},      {-6, "no such device"},
      {7, "unknown error"},     {-7, "unknown error"},      {INT32_MAX, "unknown error"},
      {INT32_MIN, "unknown error"}, {-2, "erase error"},
  };
  for (const auto &c : cases) EXPECT_STREQ(flash_error_str(c.error), c.text) << c.error;
}

struct socket_pair {
  int fd[2] = {-1, -1};
  socket_pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~socket_pair() {
    for (int f : fd) {
      if (f >= 0) close(f);
    }
  }
  void close_end(int i) {
    close(fd[i]);
    fd[i] = -1;
  }
};

TEST(WireTransfer, RecvAllGathersDrippedBytes) {
  socket_pair sp;
  std::thread drip([&] {
    for (uint8_t b = 0; b < REPLY_SIZE; ++b) {
      send(sp.fd[1], &b, 1, 0);
      usleep(1000);
    }
  });
  uint8_t buf[REPLY_SIZE] = {};
  EXPECT_EQ(recv_all(sp.fd[0], buf, sizeof buf), static_cast<ssize_t>(REPLY_SIZE));
  drip.join();
  for (uint8_t i = 0; i < REPLY_SIZE; ++i) EXPECT_EQ(buf[i], i);
}

TEST(WireTransfer, RecvAllReportsShortCountWhenPeerCloses) {
  socket_pair sp;
  const uint8_t some[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(send(sp.fd[1], some, sizeof some, 0), 5);
  sp.close_end(1);
  uint8_t buf[REPLY_SIZE];
  EXPECT_EQ(recv_all(sp.fd[0], buf, sizeof buf), 5);
  EXPECT_EQ(recv_all(sp.fd[0], buf, sizeof buf), 0);
}

// Without MSG_NOSIGNAL this would kill the test process with SIGPIPE.
TEST(WireTransfer, SendAllToClosedPeerFailsWithoutSignal) {
  socket_pair sp;
  sp.close_end(1);
  const uint8_t word_bytes[WORD_SIZE] = {};
  errno = 0;
  EXPECT_EQ(send_all(sp.fd[0], word_bytes, sizeof word_bytes), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST(WireTransfer, SendAllCompletesWhenPeerReadsSlowly) {
  socket_pair sp;
  std::string big(1 << 20, 'x');
  size_t got = 0;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = recv(sp.fd[1], buf, sizeof buf, 0)) > 0) got += static_cast<size_t>(n);
  });
  EXPECT_EQ(send_all(sp.fd[0], big.data(), big.size()), static_cast<ssize_t>(big.size()));
  shutdown(sp.fd[0], SHUT_WR);
  reader.join();
  EXPECT_EQ(got, big.size());
}

}  // namespace
