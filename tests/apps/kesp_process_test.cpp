// The built kesp binary run as a process: usage, exit statuses, local
// failures, and the start request on the wire.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support.h"
#include "wire.h"

namespace {

const std::string USAGE_TAIL =
    " -[csn] -[a <address>] <host> [filename]\n"
    "\n"
    "-a <address> - place data in flash at <address>\n"
    "-c           - compare only (no update)\n"
    "-s           - start program\n"
    "-n           - select nand device as flash\n";

// A loader port on a free loopback address of the test's own that records
// what one client sends until it closes.
struct recording_target {
  int listener = -1;
  std::string address;
  recording_target() {
    listener = bind_loopback(true, &address);
    EXPECT_GE(listener, 0) << "no free loopback address";
  }
  ~recording_target() { close(listener); }

  // Accepts one connection within the limit; returns false if none came.
  bool accept_and_record(std::string *bytes, int limit_ms = 5000) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, limit_ms) != 1) return false;
    int conn = accept(listener, nullptr, nullptr);
    if (conn < 0) return false;
    timeval tv{5, 0};
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[512];
    ssize_t n;
    while ((n = recv(conn, buf, sizeof buf, 0)) > 0) bytes->append(buf, static_cast<size_t>(n));
    close(conn);
    return true;
  }
};

run_result kesp(std::vector<std::string> args) {
  args.insert(args.begin(), KESP_BINARY);
  return run_program(args);
}

TEST(KespProcess, IncompleteCommandLinePrintsUsage) {
  // Appended piece by piece: GCC 12 warns falsely about "literal" + string.
  std::string usage = "usage: ";
  usage += KESP_BINARY;
  usage += USAGE_TAIL;
  for (const auto &args : std::vector<std::vector<std::string>>{
           {}, {"127.0.0.2"}, {"-c", "-a", "0x100", "127.0.0.2"}, {"-s"}, {"--", "-s"}}) {
    run_result r = kesp(args);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
  }
}

TEST(KespProcess, StartSendsFourZeroBytesAndNothingElse) {
  recording_target target;
  std::string bytes;
  std::thread t([&] { EXPECT_TRUE(target.accept_and_record(&bytes)); });
  // The file is neither needed nor opened, and the address is not sent.
  run_result r = kesp({"-s", "-a", "0x100", target.address, "/nonexistent/image"});
  t.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(bytes, std::string(4, '\0'));
}

TEST(KespProcess, LocalFailures) {
  const std::string image = temp_path("img");
  write_file(image, "firmware");
  refusing_address nobody;
  const std::string &host = nobody.address();
  ASSERT_FALSE(host.empty()) << "no free loopback address";
  const struct {
    std::vector<std::string> args;
    std::string err_prefix;
  } cases[] = {
      {{host, image}, "connect: Connection refused\n"},
      {{"nonexistent.invalid", image}, "get host by name: "},
      {{"-a", "0x1OOO", host, image}, "kesp: invalid address: 0x1OOO\n"},
      {{"-a", "", host, image}, "kesp: invalid address: \n"},
  };
  for (const auto &c : cases) {
    run_result r = kesp(c.args);
    EXPECT_EQ(r.status, 255) << c.err_prefix;
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, c.err_prefix.size()), c.err_prefix);
    EXPECT_EQ(r.err.back(), '\n');
  }
}

// A refused address is refused before any connection is made.
TEST(KespProcess, BadAddressNeverConnects) {
  recording_target target;
  run_result r = kesp({"-a", "12k", target.address, "image"});
  EXPECT_EQ(r.status, 255);
  std::string bytes;
  EXPECT_FALSE(target.accept_and_record(&bytes, 200));
}

// An empty image would be the start request on the wire.
TEST(KespProcess, EmptyImageIsRefusedAfterConnecting) {
  recording_target target;
  const std::string empty = temp_path("empty");
  write_file(empty, "");
  std::string bytes = "unset";
  std::thread t([&] {
    bytes.clear();
    EXPECT_TRUE(target.accept_and_record(&bytes));
  });
  run_result r = kesp({target.address, empty});
  t.join();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "kesp: image file is empty\n");
  EXPECT_EQ(bytes, "");
}

}  // namespace
