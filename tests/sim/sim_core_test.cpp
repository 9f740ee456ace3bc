// The simulator's connection handling over a socketpair, for requests the
// tool itself never sends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>

#include "crc32.h"
#include "net.h"
#include "sim_client.h"
#include "support.h"
#include "target.h"
#include "wire.h"

namespace {

constexpr uint64_t DEVICE_SIZE = 256 * 1024;  // several receives of the simulator
constexpr uint64_t DEVICE_BLOCK = 4096;
constexpr int IDLE_MS = 2000;        // bounds every wait of the simulator here
constexpr unsigned WATCHDOG_S = 20;  // ends the process should the simulator spin

std::string request(uint32_t header, uint32_t address, const std::string &image) {
  uint8_t words[2 * WORD_SIZE];
  put_be32(words, header);
  put_be32(words + WORD_SIZE, address);
  size_t n = (header & FLAG_ADDRESS) != 0 ? 2 * WORD_SIZE : WORD_SIZE;
  return std::string(reinterpret_cast<char *>(words), n) + image;
}

class SimCore : public testing::Test {
 protected:
  void SetUp() override {
    alarm(WATCHDOG_S);
    t.idle_timeout_ms = IDLE_MS;
    t.nor = {"nor", 0x0101, DEVICE_SIZE, DEVICE_BLOCK, -1, {}, {}};
    ASSERT_EQ(open_memory(t.nor), "");
  }
  void TearDown() override {
    alarm(0);
    close_device(t.nor);
  }

  // Plays the client and returns the final reply.
  flash_reply exchange(const std::string &bytes, bool byte_by_byte = false) {
    std::string replies = serve_over_socketpair(t, bytes, byte_by_byte);
    EXPECT_EQ(replies.size(), 2 * REPLY_SIZE);
    if (replies.size() != 2 * REPLY_SIZE) return {};
    return decode_reply(reinterpret_cast<const uint8_t *>(replies.data()) + REPLY_SIZE);
  }

  std::string flash(uint64_t at, size_t n) {
    std::string out(n, '\0');
    EXPECT_TRUE(read_flash(t.nor, reinterpret_cast<uint8_t *>(out.data()), n, at));
    return out;
  }

  target t;
};

TEST_F(SimCore, RequestArrivingByteByByteIsGathered) {
  std::string image = "gathered";
  flash_reply final = exchange(request(8 | FLAG_ADDRESS, 0x1234, image), true);
  EXPECT_EQ(final.error, ERR_NONE);
  EXPECT_EQ(final.size, image.size());
  EXPECT_EQ(final.crc, crc_of(image));
  EXPECT_EQ(flash(0x1234, image.size()), image);
}

TEST_F(SimCore, EmptyImageWithAddressChangesNothing) {
  flash_reply final = exchange(request(FLAG_ADDRESS, 0x2000, ""));
  EXPECT_EQ(final.error, ERR_NONE);
  EXPECT_EQ(final.addr, 0x2000u);
  EXPECT_EQ(final.size, 0u);
  EXPECT_EQ(final.crc, 0u);
  EXPECT_EQ(flash(0x2000, DEVICE_BLOCK), std::string(DEVICE_BLOCK, '\xff'));
}

TEST_F(SimCore, CompareFindsFirstDifferenceAcrossReceives) {
  std::string image = pattern_bytes(200'000, 9);
  ASSERT_EQ(exchange(request(200'000, 0, image)).error, ERR_NONE);
  std::string changed = image;
  changed[150'001] ^= 0x40;
  changed[190'000] ^= 0x40;
  flash_reply final = exchange(request(200'000 | FLAG_COMPARE, 0, changed));
  EXPECT_EQ(final.error, ERR_COMPARE_FAILED);
  EXPECT_EQ(final.addr, 150'001u);
  EXPECT_EQ(final.crc, crc_of(changed));
  EXPECT_EQ(flash(0, image.size()), image) << "a compare wrote the flash";
}

// The image in pieces of many sizes, a pause after each so that the
// simulator's reads come in those sizes, below and above the length from
// which it folds its checksum 256 bytes at a time: whatever the split, the
// same checksum and the same flash.
TEST_F(SimCore, ImageSplitAcrossReadsOfEverySizeKeepsItsChecksum) {
  constexpr size_t PIECES[] = {1, 255, 256, 257, 1023, 1024, 1025, 4099, 65536, 70000};
  constexpr auto PAUSE = std::chrono::microseconds(500);
  const std::string image = pattern_bytes(200'000, 12);
  const std::string bytes = request(200'000 | FLAG_ADDRESS, 0x100, image);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  std::string replies;
  std::thread client([&] {
    size_t at = 2 * WORD_SIZE;
    send_all(fds[0], bytes.data(), at);
    for (size_t i = 0; at < bytes.size(); ++i) {
      const size_t n = std::min(PIECES[i % std::size(PIECES)], bytes.size() - at);
      send_all(fds[0], bytes.data() + at, n);
      at += n;
      std::this_thread::sleep_for(PAUSE);
    }
    shutdown(fds[0], SHUT_WR);
    char buf[256];
    ssize_t n = 0;
    while ((n = recv(fds[0], buf, sizeof buf, 0)) > 0) replies.append(buf, size_t(n));
  });
  session_record rec = serve_connection(fds[1], t);
  close(fds[1]);
  client.join();
  close(fds[0]);
  ASSERT_EQ(replies.size(), 2 * REPLY_SIZE) << describe(rec);
  flash_reply final = decode_reply(reinterpret_cast<const uint8_t *>(replies.data()) + REPLY_SIZE);
  EXPECT_EQ(final.error, ERR_NONE);
  EXPECT_EQ(final.size, image.size());
  EXPECT_EQ(final.crc, crc_of(image));
  EXPECT_EQ(rec.crc, crc_of(image));
  EXPECT_EQ(flash(0x100, image.size()), image);
}

// A client that sent a little past its image and closed must read a plain
// close, however late the drain after the verdict got to run: here its
// time is up before it starts.
TEST(SimDrain, BytesAlreadyThereAreTakenWhenTheDrainTimeIsUp) {
  target t;
  t.idle_timeout_ms = 0;
  t.nor = {"nor", 0x0101, DEVICE_SIZE, DEVICE_BLOCK, -1, {}, {}};
  ASSERT_EQ(open_memory(t.nor), "");
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  // Everything is queued before the simulator looks, so no wait of its
  // own needs any time.
  const std::string bytes = request(4, 0, "data") + "trailing bytes";
  ASSERT_EQ(send(fds[0], bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  shutdown(fds[0], SHUT_WR);
  serve_connection(fds[1], t);
  close(fds[1]);
  std::string replies;
  char buf[256];
  ssize_t n = 0;
  while ((n = recv(fds[0], buf, sizeof buf, 0)) > 0) replies.append(buf, size_t(n));
  EXPECT_EQ(n, 0) << "the replies ended in " << strerror(errno);
  EXPECT_EQ(replies.size(), 2 * REPLY_SIZE);
  close(fds[0]);
  close_device(t.nor);
}

}  // namespace
