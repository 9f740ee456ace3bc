// The tool where a hostile host or network would hurt it: closed standard
// descriptors, a reader of its output that leaves, a full disk behind its
// output, a target that fails its sends yet claims success, a board that is
// busy far longer than the dead-peer window, and one that is off.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;

constexpr auto RUN_LIMIT = 30s;
constexpr uint32_t NOR_SIZE = 2 << 20;
constexpr uint32_t ADDRESS = 0x10000;

// Runs kesp through bash so that the test can close or redirect its
// standard descriptors: shell is bash text in which "$@" is kesp's command.
run_result kesp_through(const std::string &shell, const std::vector<std::string> &args,
                        std::chrono::milliseconds limit = RUN_LIMIT) {
  std::vector<std::string> argv = {"/bin/bash", "-c", shell, KESP_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, limit);
}

std::string done_lines(const std::string &image) {
  return "kesp: flash update done, size = " + std::to_string(image.size()) +
         "\nkesp: crc = " + crc_hex(image) + ", received = " + crc_hex(image) + "\n";
}

std::string sim_done(const std::string &image, uint32_t address) {
  char addr[16];
  snprintf(addr, sizeof addr, "0x%x", address);
  return "update nor addr=" + std::string(addr) + " size=" + std::to_string(image.size()) +
         " crc=" + crc_hex(image, 8) + ": done";
}

// With a standard descriptor closed, the socket would take its number and
// the tool's own lines would go to the target as image bytes.
TEST(KespDescriptors, ClosedStandardDescriptorsNeverReachTheFlash) {
  const std::string image = pattern_bytes(64 * 1024 + 300, 21);
  const std::string path = temp_path("image.bin");
  write_file(path, image);
  for (const char *redirect : {">&-", "2>&-", "<&- >&- 2>&-"}) {
    const std::string nor = temp_path(std::string("nor") + std::to_string(redirect[0]) + ".img");
    unlink(nor.c_str());
    sim_process sim(KESP_SIM_BINARY, {"--nor-file", nor, "--nor-size", std::to_string(NOR_SIZE)});
    ASSERT_TRUE(sim.ready()) << sim.log();
    run_result r = kesp_through(std::string("exec \"$0\" \"$@\" ") + redirect,
                                {"-a", "0x10000", sim.address(), path});
    EXPECT_EQ(r.status, 0) << redirect << "\n" << r.err;
    ASSERT_TRUE(sim.wait_for_log(sim_done(image, ADDRESS))) << redirect << "\n" << sim.log();
    sim.stop();
    std::string flash = read_file(nor);
    ASSERT_EQ(flash.size(), NOR_SIZE);
    EXPECT_TRUE(flash.compare(ADDRESS, image.size(), image) == 0)
        << redirect << ": the flash does not hold the image as sent";
  }
}

// The verdict reaches a script only on standard output: when it cannot be
// written the run must not pass for a success, but the board must not be
// left half flashed either.
TEST(KespStdout, UnwritableOutputFinishesTheTransferAndFails) {
  const std::string image = pattern_bytes(4 << 20, 22);
  const std::string path = temp_path("big.bin");
  write_file(path, image);
  const struct {
    const char *shell;
    const char *error;
  } cases[] = {
      {"\"$0\" \"$@\" | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}", "Broken pipe"},
      {"exec \"$0\" \"$@\" >/dev/full", "No space left on device"},
  };
  for (const auto &c : cases) {
    sim_process sim(KESP_SIM_BINARY, {"--nor-size", "8M"});
    ASSERT_TRUE(sim.ready()) << sim.log();
    run_result r = kesp_through(c.shell, {sim.address(), path});
    EXPECT_FALSE(r.signaled) << c.shell;
    EXPECT_EQ(r.status, 255) << c.shell;
    EXPECT_EQ(r.err, std::string("kesp: standard output: ") + c.error + "\n") << c.shell;
    EXPECT_TRUE(sim.wait_for_log(sim_done(image, 0))) << c.shell << "\n" << sim.log();
  }
}

// A target that sends both replies at once and resets makes the image's
// sends fail: its "done" cannot be true of an image it never had whole.
TEST(KespVerdict, DoneAfterAFailedSendIsAConnectionFailure) {
  const std::string image = pattern_bytes(4 << 20, 23);
  const std::string path = temp_path("image.bin");
  write_file(path, image);
  scripted_target target([&](scripted_target::session &s) {
    if (!s.request()) return;
    s.send(reply({0x0101, 0, 0, 0, 0}) +
           reply({0x0101, 0, 0, static_cast<uint32_t>(image.size()), crc_of(image)}));
    s.reset();
  });
  ASSERT_TRUE(target.listening());
  run_result r = run_program({KESP_BINARY, target.address(), path}, RUN_LIMIT);
  target.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.find("done"), std::string::npos) << r.out;
  const std::string last = r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1);
  EXPECT_TRUE(last == "kesp: connection failed: Connection reset by peer\n" ||
              last == "kesp: connection failed: Broken pipe\n")
      << last;
}

// kesp as run, over TCP, where its socket options take effect: its output
// and the bytes the target receives for images around the piece size. An
// empty image is refused once connected, before any byte goes out.
TEST(KespPieces, OutputAndBytesPerImageSize) {
  for (size_t size : {0U, 1U, 255U, 256U, 257U, 300U, 1U << 20}) {
    const std::string image = pattern_bytes(size, static_cast<unsigned>(size + 27));
    const std::string path = temp_path("pieces.bin");
    write_file(path, image);
    scripted_target target([&](scripted_target::session &s) {
      if (!s.request()) return;
      s.send(reply({0x0101, 0, 0, 0, 0}));
      if (!s.image()) return;
      s.send(reply({0x0101, 0, 0, static_cast<uint32_t>(size), crc_of(image)}));
      s.close();
    });
    ASSERT_TRUE(target.listening());
    run_result r = run_program({KESP_BINARY, target.address(), path}, RUN_LIMIT);
    target.finish();
    const std::string &received = target.seen().received;
    if (size == 0) {
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(r.err, "kesp: image file is empty\n");
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(received, "");
      continue;
    }
    const auto length = static_cast<uint32_t>(size);
    EXPECT_EQ(r.status, 0) << size << "\n" << r.err;
    EXPECT_TRUE(r.out == "kesp: address = 0\nkesp: flags = 0\nkesp: flash_id = 0101\n" +
                             progress_bars(length, length / 256) + progress_bar(length, length) +
                             "\n" + done_lines(image))
        << size << " bytes:" << r.out.substr(r.out.rfind(']') + 1);
    uint8_t header[WORD_SIZE];
    encode_header(header, length, 0);
    EXPECT_TRUE(received == std::string(reinterpret_cast<char *>(header), WORD_SIZE) + image)
        << size << " bytes: the target received " << received.size();
  }
}

// A target that resets after a chosen piece of a 1 MiB image: it has
// exactly what it read, a send (or the wait for the verdict) fails, and
// the final bar shows the pieces whose sends went through.
TEST(KespPieces, TargetResetAfterAChosenPiece) {
  const std::string image = pattern_bytes(1 << 20, 28);
  const std::string path = temp_path("reset.bin");
  write_file(path, image);
  for (size_t pieces : {1U, 256U, 2049U}) {
    scripted_target target([&](scripted_target::session &s) {
      if (!s.request()) return;
      s.send(reply({0x0101, 0, 0, 0, 0}));
      if (!s.receive(pieces * 256)) return;
      s.reset();
    });
    ASSERT_TRUE(target.listening());
    run_result r = run_program({KESP_BINARY, target.address(), path}, RUN_LIMIT);
    target.finish();
    EXPECT_EQ(r.status, 0) << pieces;
    EXPECT_TRUE(target.seen().received.substr(WORD_SIZE) == image.substr(0, pieces * 256))
        << pieces << " pieces: the target read " << target.seen().received.size();
    const std::string head = "kesp: address = 0\nkesp: flags = 0\nkesp: flash_id = 0101\n";
    ASSERT_EQ(r.out.substr(0, head.size()), head) << pieces;
    const size_t bars_end = r.out.rfind('\r');
    ASSERT_NE(bars_end, std::string::npos) << pieces;
    const auto went = static_cast<uint32_t>((bars_end - head.size()) / progress_bar(1, 1).size());
    const auto length = static_cast<uint32_t>(image.size());
    EXPECT_TRUE(r.out.substr(head.size(), bars_end - head.size()) == progress_bars(length, went))
        << pieces;
    const std::string tail = r.out.substr(bars_end);
    EXPECT_TRUE(tail == progress_bar(length, went * 256) +
                            "\nkesp: connection failed: Connection reset by peer\n" ||
                tail ==
                    progress_bar(length, went * 256) + "\nkesp: connection failed: Broken pipe\n")
        << pieces << " pieces, " << went << " sent:" << tail;
  }
}

// A short image ends in a segment Nagle holds until the target's delayed
// acknowledgement, about 40 ms, unless the tool pushes it out. Timed inside
// the target, from the first image byte to the last, so that neither the
// tool's start nor a busy machine's scheduling of it counts.
TEST(KespLatency, SmallImageIsNotHeldForTheDelayedAcknowledgement) {
  const std::string image = pattern_bytes(1000, 24);
  const std::string path = temp_path("small.bin");
  write_file(path, image);
  std::vector<double> ms;
  for (int i = 0; i < 7; ++i) {
    double tail_ms = -1;
    scripted_target target([&](scripted_target::session &s) {
      if (!s.request()) return;
      s.send(reply({0x0101, 0, 0, 0, 0}));
      if (!s.receive(1)) return;
      auto first = std::chrono::steady_clock::now();
      if (!s.receive(image.size() - 1)) return;
      tail_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - first)
                    .count();
      s.send(reply({0x0101, 0, 0, static_cast<uint32_t>(image.size()), crc_of(image)}));
      s.close();
    });
    ASSERT_TRUE(target.listening());
    run_result r = run_program({KESP_BINARY, target.address(), path}, RUN_LIMIT);
    target.finish();
    ASSERT_NE(r.out.find(done_lines(image)), std::string::npos) << r.out;
    ASSERT_GE(tail_ms, 0.0);
    ms.push_back(tail_ms);
  }
  std::sort(ms.begin(), ms.end());
  // Generous: the stall alone is 40 ms, the four sends take microseconds.
  EXPECT_LT(ms[ms.size() / 2], 20.0) << "median of 7 runs, first to last image byte, in ms";
}

}  // namespace

// A live board that is busy (erasing) longer than the dead-peer window,
// with its stack still answering, must be waited for: with its window
// closed mid-image, and silent before its verdict. Each takes half a
// minute or more, so they run as their own slow tests.
TEST(KespSlowTarget, ClosedWindowMidImageForFortySeconds) {
  const std::string image = pattern_bytes(32 << 20, 25);
  const std::string path = temp_path("image.bin");
  write_file(path, image);
  scripted_target target([&](scripted_target::session &s) {
    if (!s.request()) return;
    s.send(reply({0x0101, 0, 0, 0, 0}));
    // Both socket buffers fill within the first megabytes, so the window
    // stays closed while this sleeps.
    if (!s.receive(1 << 20)) return;
    std::this_thread::sleep_for(40s);
    if (!s.receive(image.size() - (1 << 20))) return;
    s.send(reply({0x0101, 0, 0, static_cast<uint32_t>(image.size()), crc_of(image)}));
    s.close();
  });
  ASSERT_TRUE(target.listening());
  auto began = std::chrono::steady_clock::now();
  run_result r = run_program({KESP_BINARY, target.address(), path}, 100s);
  auto took = std::chrono::steady_clock::now() - began;
  target.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(took, 40s);
  EXPECT_TRUE(r.out.ends_with(done_lines(image)))
      << r.out.substr(r.out.rfind('\n', r.out.size() - 2));
}

// Both replies are awaited by the same code, so one long wait, before the
// verdict, proves it for both in half the time.
TEST(KespSlowTarget, SilentBeforeTheVerdictLongerThanTheWindow) {
  const std::string image = pattern_bytes(300, 26);
  const std::string path = temp_path("image.bin");
  write_file(path, image);
  sim_process sim(KESP_SIM_BINARY, {"--nor-size", "1M", "--final-delay", "27000"});
  ASSERT_TRUE(sim.ready()) << sim.log();
  run_result r = run_program({KESP_BINARY, sim.address(), path}, 100s);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with(done_lines(image))) << r.out;
}

// A board that is off: the connect times out on its own, not after the
// kernel's two minutes.
TEST(KespSlowTarget, BoardThatIsOffTimesOutTheConnect) {
  off_board off;
  ASSERT_TRUE(off.ok());
  const std::string path = temp_path("image.bin");
  write_file(path, "image");
  auto began = std::chrono::steady_clock::now();
  run_result r = run_program({KESP_BINARY, off.address(), path}, 60s);
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "connect: Connection timed out\n");
  EXPECT_GT(took, 20s);
  EXPECT_LT(took, 35s);
}
