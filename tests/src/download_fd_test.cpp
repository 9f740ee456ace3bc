#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "download.h"
#include "net.h"
#include "support.h"
#include "wire.h"

namespace {

// Tests and fuzzers run the transaction many times in one process: each
// path that returns must give the image's descriptor back, or the process
// runs out of them and the next open of the image exits.
TEST(DownloadDescriptors, ImageClosedOnEveryReturn) {
  const std::string path = temp_path("descriptor.bin");
  write_file(path, pattern_bytes(300, 11));
  uint8_t bytes[REPLY_SIZE];
  encode_reply(bytes, {0x00C2, 0, 0, 300, 0});
  const std::string reply(reinterpret_cast<char *>(bytes), REPLY_SIZE);
  const struct {
    const char *name;
    std::string stream;   // all the target sends before it stops sending
    const char *outcome;  // shows which return the transaction took
  } cases[] = {
      {"no reply", "", "kesp: connection failed: closed by target\n"},
      {"first reply only", reply, "\nkesp: connection failed: closed by target\n"},
      {"both replies", reply + reply, "kesp: flash update done, size = 300\n"},
  };
  for (const auto &c : cases) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(send_all(sv[1], c.stream.data(), c.stream.size()),
              static_cast<ssize_t>(c.stream.size()));
    shutdown(sv[1], SHUT_WR);
    testing::internal::CaptureStdout();
    // open() takes the lowest free descriptor, so this is the image's.
    const int image_fd = fcntl(sv[0], F_DUPFD, 0);
    close(image_fd);
    download_file(sv[0], path.c_str(), 0, 0);
    errno = 0;
    const bool image_closed = fcntl(image_fd, F_GETFD) == -1 && errno == EBADF;
    const std::string out = testing::internal::GetCapturedStdout();
    close(sv[0]);
    close(sv[1]);
    EXPECT_NE(out.find(c.outcome), std::string::npos) << c.name << "\n" << out;
    EXPECT_TRUE(image_closed) << c.name;
  }
}

}  // namespace
