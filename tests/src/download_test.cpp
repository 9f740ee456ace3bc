#include "download.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image.h"
#include "net.h"
#include "support.h"
#include "wire.h"

namespace {

constexpr size_t NO_LIMIT = SIZE_MAX;

// What the fake target does; replies are raw bytes so that tests can send
// short, long or dripped ones.
struct target_script {
  std::string first_reply;
  std::string final_reply;
  bool close_before_first = false;  // read the request words, then close
  size_t close_after = NO_LIMIT;    // close after this many image bytes
  bool drip = false;                // send replies one byte at a time
};

struct target_log {
  std::string request;  // header and address word as received
  std::string image;    // image bytes as received
};

void send_reply(int fd, const std::string &bytes, bool drip) {
  if (!drip) {
    send_all(fd, bytes.data(), bytes.size());
    return;
  }
  for (char b : bytes) {
    send_all(fd, &b, 1);
    usleep(500);
  }
}

std::string receive(int fd, size_t n) {
  std::string buf(n, '\0');
  ssize_t got = recv_all(fd, buf.data(), n);
  buf.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return buf;
}

void play_target(int fd, const target_script &script, target_log *log) {
  log->request = receive(fd, WORD_SIZE);
  if (log->request.size() < WORD_SIZE) return;
  request_header header = decode_header(reinterpret_cast<const uint8_t *>(log->request.data()));
  if ((header.flags & FLAG_ADDRESS) != 0) log->request += receive(fd, WORD_SIZE);
  if (script.close_before_first) return;
  send_reply(fd, script.first_reply, script.drip);
  if (script.first_reply.size() < REPLY_SIZE) return;
  log->image = receive(fd, std::min<size_t>(header.length, script.close_after));
  if (script.close_after != NO_LIMIT) return;
  send_reply(fd, script.final_reply, script.drip);
}

// Runs download_file against the scripted target and returns its output.
std::string run_download(const std::string &image, uint32_t flags, uint32_t address,
                         const target_script &script, target_log *log) {
  const std::string path = temp_path("image.bin");
  write_file(path, image);
  int sv[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::thread target([&] {
    play_target(sv[1], script, log);
    close(sv[1]);
  });
  testing::internal::CaptureStdout();
  download_file(sv[0], path.c_str(), flags, address);
  std::string out = testing::internal::GetCapturedStdout();
  target.join();
  close(sv[0]);
  return out;
}

std::string bar(unsigned stars) {
  return "\rloader: [" + std::string(stars, '*') + std::string(50 - stars, ' ') + "]";
}

const flash_reply FIRST{0x00C2, 0, 0, 0, 0};

TEST(Download, ExactOutputPerImageSize) {
  // One redraw per full chunk, then the final bar.
  const struct {
    size_t size;
    std::vector<unsigned> in_loop_stars;
  } cases[] = {{100, {}}, {256, {50}}, {300, {42}}, {512, {25, 50}}, {1000, {12, 25, 38}}};
  for (const auto &c : cases) {
    const std::string image = pattern_bytes(c.size, static_cast<unsigned>(c.size));
    const auto size = static_cast<uint32_t>(c.size);
    target_script script{reply(FIRST), reply({0, 0, 0, size, 0xABCD})};
    target_log log;
    std::string out = run_download(image, 0, 0, script, &log);

    std::string bars;
    for (unsigned stars : c.in_loop_stars) bars += bar(stars);
    char crc_line[64];
    snprintf(crc_line, sizeof crc_line, "kesp: crc = %x, received = abcd\n", crc_of(image));
    EXPECT_EQ(out, "kesp: address = 0\nkesp: flags = 0\nkesp: flash_id = 00c2\n" + bars + bar(50) +
                       "\nkesp: flash update done, size = " + std::to_string(c.size) + "\n" +
                       crc_line)
        << c.size;
    EXPECT_EQ(log.image, image) << c.size;
    uint8_t header[WORD_SIZE];
    encode_header(header, size, 0);
    EXPECT_EQ(log.request, std::string(reinterpret_cast<char *>(header), WORD_SIZE));
  }
}

TEST(Download, AddressWordAndFlagsLines) {
  const std::string image = pattern_bytes(300, 1);
  target_script script{reply(FIRST), reply({0, 0, 0x10000, 300, crc_of(image)})};
  target_log log;
  std::string out = run_download(image, FLAG_ADDRESS, 0x10000, script, &log);
  EXPECT_EQ(log.request, std::string("\x40\x00\x01\x2C\x00\x01\x00\x00", 8));
  EXPECT_EQ(out.substr(0, out.find("loader")),
            "kesp: address = 10000\nkesp: flags = 40000000\nkesp: flash_id = 00c2\n\r");

  out = run_download(image, FLAG_NAND | FLAG_ADDRESS | FLAG_COMPARE, 0, script, &log);
  EXPECT_EQ(log.request, std::string("\xE0\x00\x01\x2C\x00\x00\x00\x00", 8));
  EXPECT_NE(out.find("kesp: flags = e0000000\n"), std::string::npos);
  char crc_line[64];
  snprintf(crc_line, sizeof crc_line, "kesp: crc = %x, received = %x\n", crc_of(image),
           crc_of(image));
  EXPECT_NE(out.find(std::string("kesp: flash compare done, size = 300\n") + crc_line),
            std::string::npos);
}

TEST(Download, TargetErrorsInFinalReply) {
  const std::string image = pattern_bytes(300, 2);
  const struct {
    uint32_t flags;
    flash_reply final_reply;
    const char *line;
  } cases[] = {
      {0,
       {0, 4, 0x100, 300, 0},
       "kesp: flash update failed (addr = 100, size = 300, "
       "error = \"compare failed\")\n"},
      {FLAG_COMPARE,
       {0, 4, 0x1F, 300, 0},
       "kesp: flash compare failed (addr = 1f, size = 300, "
       "error = \"compare failed\")\n"},
      {0,
       {0, -3, 0xFFFFFFFF, 0, 0},
       "kesp: flash update failed (addr = ffffffff, size = 0, "
       "error = \"invalid address\")\n"},
      {0,
       {0, INT32_MIN, 0, 4294967295u, 0},
       "kesp: flash update failed (addr = 0, size = "
       "4294967295, error = \"unknown error\")\n"},
  };
  for (const auto &c : cases) {
    target_script script{reply(FIRST), reply(c.final_reply)};
    target_log log;
    std::string out = run_download(image, c.flags, 0, script, &log);
    EXPECT_EQ(out.substr(out.rfind(']') + 2), c.line);
  }
}

TEST(Download, FirstReplyErrorStillStreamsTheImage) {
  const std::string image = pattern_bytes(700, 3);
  target_script script{reply({0x0101, 3, 0, 0, 0}), reply({0, 3, 0, 0, 0})};
  target_log log;
  std::string out = run_download(image, 0, 0, script, &log);
  EXPECT_EQ(log.image, image);
  EXPECT_NE(out.find("kesp: flash_id = 0101\n"), std::string::npos);
  EXPECT_NE(out.find("error = \"invalid address\""), std::string::npos);
}

TEST(Download, RepliesDrippedOneByteAtATime) {
  const std::string image = pattern_bytes(300, 4);
  target_script script{reply({0xBEEF, 0, 0, 0, 0}), reply({0, 0, 0, 300, 7})};
  script.drip = true;
  target_log log;
  std::string out = run_download(image, 0, 0, script, &log);
  EXPECT_NE(out.find("kesp: flash_id = beef\n"), std::string::npos);
  EXPECT_NE(out.find("kesp: flash update done, size = 300\nkesp: crc ="), std::string::npos);
  EXPECT_NE(out.find(", received = 7\n"), std::string::npos);
}

// No field of a partial reply may be printed.
TEST(Download, MissingOrPartialReplies) {
  const std::string image = pattern_bytes(300, 5);
  const std::string first = reply(FIRST);
  const std::string head = "kesp: address = 0\nkesp: flags = 0\n";
  const std::string streamed = head + "kesp: flash_id = 00c2\n" + bar(42) + bar(50) + "\n";
  const std::string closed = "kesp: connection failed: closed by target\n";
  const struct {
    const char *name;
    target_script script;
    std::string out;
    bool image_sent;
  } cases[] = {
      {"closed before first", {"", "", true}, head + closed, false},
      {"first cut short", {first.substr(0, 17), ""}, head + closed, false},
      {"final missing", {first, ""}, streamed + closed, true},
      {"final cut short", {first, first.substr(0, 10)}, streamed + closed, true},
  };
  for (const auto &c : cases) {
    target_log log;
    EXPECT_EQ(run_download(image, 0, 0, c.script, &log), c.out) << c.name;
    EXPECT_EQ(log.image, c.image_sent ? image : "") << c.name;
  }
}

// A target that goes away mid-image fails our send; the bar must show what
// really went out, and the reason must be the send's.
TEST(Download, TargetClosesMidImage) {
  const std::string image = pattern_bytes(4 << 20, 6);
  target_script script{reply(FIRST), ""};
  script.close_after = 1024;
  target_log log;
  std::string out = run_download(image, 0, 0, script, &log);
  EXPECT_EQ(log.image, image.substr(0, 1024));
  // The socket layer reports the close as a broken pipe or, when the
  // target left our bytes unread, as a reset: either is the send's error.
  const std::string tail = out.substr(out.rfind(']') + 1);
  EXPECT_TRUE(tail == "\nkesp: connection failed: Broken pipe\n" ||
              tail == "\nkesp: connection failed: Connection reset by peer\n")
      << tail;
  const std::string last_bar = out.substr(out.rfind('\r'), bar(0).size());
  EXPECT_NE(last_bar, bar(50));
  EXPECT_EQ(out.find("kesp: flash"), out.find("kesp: flash_id"));
}

// The target may give its verdict and close before taking the whole image.
TEST(Download, VerdictSentBeforeCloseIsStillRead) {
  const std::string image = pattern_bytes(4 << 20, 8);
  target_script script{reply(FIRST) + reply({0, 5, 0, 0, 0}), ""};
  script.close_after = 512;
  target_log log;
  std::string out = run_download(image, 0, 0, script, &log);
  EXPECT_NE(out.find("kesp: flash update failed (addr = 0, size = 0, error = \"invalid size\")\n"),
            std::string::npos);
  EXPECT_EQ(out.find("connection failed"), std::string::npos);
}

// Nothing follows the last image bytes that could fill their segment, so
// they are pushed out at once: by the time the verdict is awaited the
// connection has TCP_NODELAY and no longer holds partial segments back.
// Over TCP, which a socketpair is not.
TEST(Download, LastImageBytesArePushedOut) {
  const std::string image = pattern_bytes(1000, 9);
  const std::string path = temp_path("pushed.bin");
  write_file(path, image);
  int nodelay_at_verdict = -1;
  int corked_at_verdict = -1;
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  scripted_target target([&](scripted_target::session &s) {
    if (!s.request()) return;
    s.send(reply(FIRST));
    if (!s.image()) return;
    socklen_t size = sizeof nodelay_at_verdict;
    getsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nodelay_at_verdict, &size);
    size = sizeof corked_at_verdict;
    getsockopt(sock, IPPROTO_TCP, TCP_CORK, &corked_at_verdict, &size);
    s.send(reply({0x0101, 0, 0, static_cast<uint32_t>(image.size()), crc_of(image)}));
    s.close();
  });
  ASSERT_TRUE(target.listening());
  sockaddr_in sa = loader_address(target.address());
  ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  testing::internal::CaptureStdout();
  download_file(sock, path.c_str(), 0, 0);
  std::string out = testing::internal::GetCapturedStdout();
  // The target's close waits for ours.
  close(sock);
  target.finish();
  EXPECT_NE(out.find("kesp: flash update done, size = 1000\n"), std::string::npos) << out;
  EXPECT_EQ(nodelay_at_verdict, 1);
  EXPECT_EQ(corked_at_verdict, 0);
}

// Sends on one descriptor made to fail or come up short at a chosen
// piece: this definition takes the C library's place in the whole test
// process and passes every other call through unchanged.
struct send_fault {
  int fd = -1;         // the client's end; -1 watches none
  size_t request = 0;  // bytes of request words before the first image byte
  long fail_at = -1;   // the piece whose send fails, as a closed peer's would
  long short_at = -1;  // the piece whose first send takes only half its bytes
  size_t sent = 0;     // bytes that went out on fd
  bool failed = false;
  bool shortened = false;
  // Each call on fd: where in the image it began (-1 for the request
  // words), and whether the socket held back partial segments then.
  std::vector<std::pair<long, bool>> calls;
  int nodelay_at_request = -1;  // TCP_NODELAY when the first byte went out
};
// The interposed send below is a free function, so what it is told to do
// lives here, for the whole process.
send_fault &fault() {
  static send_fault watched;
  return watched;
}

}  // namespace

extern "C" ssize_t send(int fd, const void *buf, size_t n, int flags) {
  if (fd == fault().fd && !fault().failed) {
    const bool image = fault().sent >= fault().request;
    int corked = 0;
    socklen_t corked_size = sizeof corked;
    getsockopt(fd, IPPROTO_TCP, TCP_CORK, &corked, &corked_size);
    fault().calls.emplace_back(image ? static_cast<long>(fault().sent - fault().request) : -1,
                               corked != 0);
    if (fault().sent == 0) {
      socklen_t size = sizeof fault().nodelay_at_request;
      getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &fault().nodelay_at_request, &size);
    }
  }
  if (fd != fault().fd || fault().failed || fault().sent < fault().request) {
    ssize_t r = sendto(fd, buf, n, flags, nullptr, 0);
    if (fd == fault().fd && r > 0) fault().sent += static_cast<size_t>(r);
    return r;
  }
  const size_t at = fault().sent - fault().request;
  const auto piece = static_cast<long>(at / 256);
  if (piece == fault().fail_at) {
    // The target sees the bytes before this piece, then the end.
    shutdown(fd, SHUT_WR);
    fault().failed = true;
    errno = EPIPE;
    return -1;
  }
  if (piece == fault().short_at && at % 256 == 0 && n > 1) {
    n /= 2;
    fault().shortened = true;
  }
  ssize_t r = sendto(fd, buf, n, flags, nullptr, 0);
  if (r > 0) fault().sent += static_cast<size_t>(r);
  return r;
}

namespace {

// kesp's output and what the target receives when one send of the image
// fails or comes up short: a short send is finished by the next, so the
// run is as if nothing happened; a failed one ends the image there, the
// bar showing what went out, and the verdict, even "done", cannot pass.
// (An empty image is refused before anything is sent: see the local
// failures below.)
TEST(Download, SendFailingOrShortAtChosenPieces) {
  const struct {
    size_t size;
    long fail_at;
    long short_at;
  } cases[] = {
      {1, -1, -1},        {1, 0, -1},         {255, -1, 0},        {255, 0, -1},
      {256, -1, 0},       {256, 0, -1},       {257, -1, 0},        {300, -1, 0},
      {257, 0, -1},       {257, 1, -1},       {300, -1, 1},        {300, 1, -1},
      {1 << 20, -1, -1},  {1 << 20, -1, 256}, {1 << 20, -1, 4095}, {1 << 20, 0, -1},
      {1 << 20, 255, -1}, {1 << 20, 256, -1}, {1 << 20, 4095, -1},
  };
  for (const auto &c : cases) {
    const std::string image = pattern_bytes(c.size, static_cast<unsigned>(c.size + 31));
    const auto size = static_cast<uint32_t>(c.size);
    const std::string what = std::to_string(c.size) + " bytes, fail at " +
                             std::to_string(c.fail_at) + ", short at " + std::to_string(c.short_at);
    const std::string path = temp_path("faulty.bin");
    write_file(path, image);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    fault() = {sv[0], WORD_SIZE, c.fail_at, c.short_at, 0, false, false, {}, -1};
    target_script script{reply(FIRST), reply({0, 0, 0, size, crc_of(image)})};
    target_log log;
    std::thread target([&] {
      play_target(sv[1], script, &log);
      close(sv[1]);
    });
    testing::internal::CaptureStdout();
    download_file(sv[0], path.c_str(), 0, 0);
    std::string out = testing::internal::GetCapturedStdout();
    target.join();
    EXPECT_EQ(fault().failed, c.fail_at >= 0) << what;
    EXPECT_EQ(fault().shortened, c.short_at >= 0) << what;
    fault() = {};
    close(sv[0]);

    const std::string head = "kesp: address = 0\nkesp: flags = 0\nkesp: flash_id = 00c2\n";
    if (c.fail_at < 0) {
      EXPECT_EQ(out, head + progress_bars(size, size / 256) + bar(50) +
                         "\nkesp: flash update done, size = " + std::to_string(c.size) +
                         "\nkesp: crc = " + crc_hex(image) + ", received = " + crc_hex(image) +
                         "\n")
          << what;
      EXPECT_EQ(log.image, image) << what;
    } else {
      const auto went = static_cast<uint32_t>(c.fail_at) * 256;
      EXPECT_EQ(out, head + progress_bars(size, went / 256) + progress_bar(size, went) +
                         "\nkesp: connection failed: Broken pipe\n")
          << what;
      EXPECT_EQ(log.image, image.substr(0, went)) << what;
    }
  }
}

// Each 256-byte piece is one send of its own, made while the socket holds
// back partial segments, so that the kernel packs the pieces into full
// ones; the request words go out at once, Nagle's algorithm being off from
// the first byte on. Over TCP, which a socketpair is not.
TEST(Download, OneSendPerPieceInFullSegments) {
  for (size_t size : {size_t{1}, size_t{256}, size_t{257}, size_t{(1 << 20) + 44}}) {
    const std::string image = pattern_bytes(size, 40);
    const std::string path = temp_path("pieces.bin");
    write_file(path, image);
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    scripted_target target([&](scripted_target::session &s) {
      if (!s.request()) return;
      s.send(reply(FIRST));
      if (!s.image()) return;
      s.send(reply({0x0101, 0, 0, static_cast<uint32_t>(size), crc_of(image)}));
      s.close();
    });
    ASSERT_TRUE(target.listening());
    sockaddr_in sa = loader_address(target.address());
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    fault() = {sock, WORD_SIZE, -1, -1, 0, false, false, {}, -1};
    testing::internal::CaptureStdout();
    download_file(sock, path.c_str(), 0, 0);
    std::string out = testing::internal::GetCapturedStdout();
    const send_fault seen = fault();
    fault() = {};
    close(sock);
    target.finish();
    EXPECT_NE(out.find("kesp: flash update done, size = " + std::to_string(size) + "\n"),
              std::string::npos)
        << out.substr(out.rfind(']') + 1);
    EXPECT_EQ(seen.nodelay_at_request, 1) << size;
    const long pieces = static_cast<long>((size + 255) / 256);
    long starts = 0;
    long first_wrong = -2;  // where the first call made in the wrong state began
    for (const auto &[at, corked] : seen.calls) {
      // A send the kernel took only part of is finished by one more call
      // for the same piece.
      if (at >= 0 && at % 256 == 0) ++starts;
      if (corked != (at >= 0) && first_wrong == -2) first_wrong = at;
    }
    EXPECT_EQ(starts, pieces) << size;
    EXPECT_EQ(first_wrong, -2) << size << " bytes: the call at that offset (-1: the request)";
    ASSERT_FALSE(seen.calls.empty());
    EXPECT_EQ(seen.calls.front().first, -1) << "the request words come first";
  }
}

// The one size check every sender uses: 1 byte to under 512 MiB.
TEST(ImageSize, OneByteToUnderTheLengthLimit) {
  EXPECT_EQ(judge_image_size(0), image_size::empty);
  EXPECT_EQ(judge_image_size(1), image_size::fits);
  EXPECT_EQ(judge_image_size(int64_t{LENGTH_LIMIT} - 1), image_size::fits);
  EXPECT_EQ(judge_image_size(LENGTH_LIMIT), image_size::too_large);
  EXPECT_EQ(judge_image_size(int64_t{1} << 40), image_size::too_large);
  EXPECT_EQ(std::string(IMAGE_LIMIT_TEXT), std::to_string(LENGTH_LIMIT >> 20) + " MiB");
}

void expect_local_failure(const std::string &path, const char *message) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EXIT(download_file(sv[0], path.c_str(), 0, 0), testing::ExitedWithCode(255), message);
  // Nothing reached the target.
  shutdown(sv[0], SHUT_WR);
  char byte;
  EXPECT_EQ(recv(sv[1], &byte, 1, 0), 0) << path;
  close(sv[0]);
  close(sv[1]);
}

TEST(DownloadDeathTest, LocalFileFailuresSendNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string empty = temp_path("empty.bin");
  write_file(empty, "");
  const std::string huge = temp_path("huge.bin");
  write_file(huge, "");
  ASSERT_EQ(truncate(huge.c_str(), off_t{LENGTH_LIMIT}), 0);
  const std::string fifo = temp_path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  expect_local_failure(temp_path("missing.bin"), "^open file: No such file or directory\n$");
  expect_local_failure(empty, "^kesp: image file is empty\n$");
  expect_local_failure(huge, "^get file len: File too large\n$");
  expect_local_failure(fifo, "^get file len: Illegal seek\n$");
}

// The image shrinks after its length went out: the client must not pad,
// hang or claim success.
TEST(DownloadDeathTest, FileEndingEarlyIsALocalFailure) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = temp_path("shrinking.bin");
  EXPECT_EXIT(
      {
        write_file(path, pattern_bytes(1000, 9));
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) _exit(1);
        std::thread target([&] {
          receive(sv[1], WORD_SIZE);
          if (truncate(path.c_str(), 300) != 0) _exit(1);
          send_reply(sv[1], reply(FIRST), false);
          receive(sv[1], 1000);
        });
        target.detach();
        download_file(sv[0], path.c_str(), 0, 0);
      },
      testing::ExitedWithCode(255), "^read file: file ended after 300 of 1000 bytes\n$");
}

}  // namespace
