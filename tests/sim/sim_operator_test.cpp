// kesp-sim playing the operator: a board that was started leaves its slot
// and a fresh one comes, boards pulled and put in through the control
// FIFO, mid-image too, the leaving line's CRC held against the flash, the
// flash's own timing, and a station's probes told apart from clients.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "support.h"
#include "target.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr uint32_t NOR_SIZE = 128 * 1024;
constexpr uint32_t NOR_BLOCK = 16 * 1024;
constexpr uint32_t ADDRESS = 0x4010;
constexpr char ADDRESS_ARG[] = "0x4010";
constexpr auto RUN_LIMIT = 20s;
constexpr int SWAP_MS = 1500;  // long enough that the test sees the slot empty

std::vector<std::string> small_nor() {
  return {"--nor-size", std::to_string(NOR_SIZE), "--nor-block", std::to_string(NOR_BLOCK)};
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The leaving line's CRC of a NOR holding image at ADDRESS, or erased.
std::string nor_crc(const std::string &image) {
  std::string flash(NOR_SIZE, '\xff');
  if (!image.empty()) program_flash(flash, NOR_BLOCK, ADDRESS, image);
  return crc_hex(flash, 8);
}

void send_control(const std::string &fifo, const std::string &line) {
  std::ofstream(fifo) << line << "\n";
}

// A board that was started leaves at once (its address refuses), a fresh
// erased one with a new serial number comes after the swap time, and what
// each held when it left is the flash the tool's run made.
TEST(SimOperator, StartedBoardLeavesAndAFreshOneComes) {
  sim_process sim(KESP_SIM_BINARY, with(small_nor(), {"--swap", std::to_string(SWAP_MS)}));
  ASSERT_TRUE(sim.ready()) << sim.log();
  ASSERT_TRUE(sim.wait_for_log("board SN000001 in, nor id 0101\n")) << sim.log();
  const std::string image = pattern_bytes(3000, 7);
  const std::string path = temp_path("operator-image");
  write_file(path, image);
  run_result r = run_program({KESP_BINARY, "-a", ADDRESS_ARG, sim.address(), path}, RUN_LIMIT);
  ASSERT_EQ(r.status, 0) << r.out << r.err << sim.log();
  // Before the start request, so that however late the test looks, the
  // time measured is never more than the board was away.
  auto started = clock_type::now();
  r = run_program({KESP_BINARY, "-s", sim.address()}, RUN_LIMIT);
  ASSERT_EQ(r.status, 0) << r.out << r.err << sim.log();
  ASSERT_TRUE(
      sim.wait_for_log("board SN000001 left (start request): nor crc32=" + nor_crc(image) + "\n"))
      << sim.log();
  EXPECT_TRUE(refused(sim.address())) << sim.log();
  ASSERT_TRUE(sim.wait_for_log("board SN000002 inserted, erased, nor id 0101\n")) << sim.log();
  // Never before the swap time (a busy machine only makes it later).
  EXPECT_GE(clock_type::now() - started, std::chrono::milliseconds(SWAP_MS));
  EXPECT_FALSE(refused(sim.address()));
  r = run_program({KESP_BINARY, "-s", sim.address()}, RUN_LIMIT);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(
      sim.wait_for_log("board SN000002 left (start request): nor crc32=" + nor_crc("") + "\n"))
      << sim.log();
}

size_t open_descriptors(pid_t pid) {
  std::error_code ec;
  size_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

// Whether every thread of pid is stopped (by SIGSTOP).
bool all_stopped(pid_t pid) {
  std::error_code ec;
  bool any = false;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end;
       !ec && it != end; it.increment(ec)) {
    // "PID (NAME) STATE ...": the name may hold anything but the last ')'.
    const std::string stat = read_file(it->path().string() + "/stat");
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos || name_end + 2 >= stat.size()) return false;
    if (stat[name_end + 2] != 'T') return false;
    any = true;
  }
  return any;
}

// Waits, at most limit, until check holds.
bool wait_until(const std::function<bool()> &check, std::chrono::milliseconds limit = 10s) {
  for (auto until = clock_type::now() + limit; !check();) {
    if (clock_type::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A client that left before the simulator was stopped: the simulator has
// taken the connection and is held still while its kernel takes the
// client's close, then gets the stop, so that both wake it at once.
void leave_then_stop(const sim_process &sim) {
  const size_t idle = open_descriptors(sim.pid());
  int fd = connect_to(sim.address());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(wait_until([&] { return open_descriptors(sim.pid()) > idle; })) << sim.log();
  ASSERT_EQ(kill(sim.pid(), SIGSTOP), 0);
  ASSERT_TRUE(wait_until([&] { return all_stopped(sim.pid()); }));
  shutdown(fd, SHUT_WR);
  EXPECT_TRUE(wait_until([fd] {
    tcp_info info{};
    socklen_t size = sizeof info;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           info.tcpi_state == TCP_FIN_WAIT2;
  }));
  kill(sim.pid(), SIGTERM);
  kill(sim.pid(), SIGCONT);
  close(fd);
}

// A connection closed without a byte is a station looking for a board:
// logged as a probe in operator mode, as a client that went away otherwise,
// even when a stop came before the simulator looked.
TEST(SimOperator, ProbeIsLoggedAsSuch) {
  struct probe_case {
    std::vector<std::string> args;
    std::string line;
    bool stop_after = false;  // the simulator is stopped after the client left
  };
  const probe_case cases[] = {
      {.args = {"--swap", "100"}, .line = "board SN000001: probe: closed without a byte\n"},
      {.args = {}, .line = "kesp-sim: client went away before a whole request (0 bytes)\n"},
      {.args = {"--swap", "100"},
       .line = "board SN000001: probe: closed without a byte\nkesp-sim: stopped\n",
       .stop_after = true},
      {.args = {},
       .line = "kesp-sim: client went away before a whole request (0 bytes)\nkesp-sim: stopped\n",
       .stop_after = true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.line);
    sim_process sim(KESP_SIM_BINARY, with(small_nor(), c.args));
    ASSERT_TRUE(sim.ready()) << sim.log();
    if (c.stop_after) {
      leave_then_stop(sim);
    } else {
      int fd = connect_to(sim.address());
      ASSERT_GE(fd, 0);
      close(fd);
    }
    EXPECT_TRUE(sim.wait_for_log(c.line)) << sim.log();
  }
}

// A board counts as touched by the connections that brought it a byte,
// however their ends are worded: a probe cut by a stop touched nothing.
TEST(SimOperator, LogTellsWhatTouchedEachBoard) {
  struct touch_case {
    std::string line;
    bool touched;
  };
  const touch_case cases[] = {
      {.line = "kesp-sim: board SN000001: probe: closed without a byte", .touched = false},
      {.line = "kesp-sim: board SN000001: stopped before a whole request (0 bytes)",
       .touched = false},
      {.line = "kesp-sim: board SN000001: board pulled before a whole request (0 bytes)",
       .touched = false},
      {.line = "kesp-sim: board SN000001: client went away before a whole request (3 bytes)",
       .touched = true},
      {.line = "kesp-sim: board SN000001: start request", .touched = true},
      {.line = "kesp-sim: 127.0.0.2: board SN000001: update nor addr=0x0 size=300 crc=072607bc: "
               "client went away after 0 of 300 bytes",
       .touched = true},
      {.line = "kesp-sim: 127.0.0.2: board SN000001 in, nor id 0101", .touched = false},
      {.line = "kesp-sim: 127.0.0.2: board SN000001 already in the slot: insert ignored",
       .touched = false},
      {.line = "kesp-sim: 127.0.0.2: board SN000001 left (removed): nor crc32=86175ebf",
       .touched = false},
  };
  for (const auto &c : cases) {
    sim_boards seen = read_sim_log(c.line + "\n");
    ASSERT_EQ(seen.by_serial.size(), 1U) << c.line;
    const sim_board &b = seen.by_serial["SN000001"];
    EXPECT_EQ(b.touches, c.touched ? std::vector<std::string>{c.line} : std::vector<std::string>{})
        << c.line;
  }
  // What a board held as it left is its NOR's, whatever devices follow.
  sim_boards gone = read_sim_log(
      "kesp-sim: board SN000002 left (start request): nor crc32=0badf00d, nand crc32=12345678\n");
  EXPECT_EQ(gone.by_serial["SN000002"].left, "0badf00d");
  EXPECT_EQ(gone.by_serial["SN000002"].left_why, "start request");
}

// A request for image_size bytes at ADDRESS, its first reply read; -1 when
// the board did not take it.
int begin_update(const std::string &address, uint32_t image_size, flash_reply *first) {
  int fd = connect_to(address);
  if (fd < 0) return -1;
  uint8_t words[2 * WORD_SIZE];
  encode_header(words, image_size, FLAG_ADDRESS);
  encode_address(words + WORD_SIZE, ADDRESS);
  uint8_t answer[REPLY_SIZE];
  if (send_all(fd, words, sizeof words) != sizeof words ||
      recv_all(fd, answer, sizeof answer) != sizeof answer) {
    close(fd);
    return -1;
  }
  *first = decode_reply(answer);
  return fd;
}

// An insert into a slot whose board is mid-image: the board stays, its
// update goes on to its verdict, and the log says the insert was ignored.
void insert_leaves_the_board(sim_process &sim, int fd, const std::string &fifo, uint32_t size,
                             uint32_t sent) {
  send_control(fifo, "insert 2");
  ASSERT_TRUE(sim.wait_for_log("kesp-sim: control: insert 2\n")) << sim.log();
  const std::string image = pattern_bytes(size, 3);
  ASSERT_EQ(send_all(fd, image.data() + sent, size - sent), static_cast<ssize_t>(size - sent));
  uint8_t answer[REPLY_SIZE];
  ASSERT_EQ(recv_all(fd, answer, sizeof answer), static_cast<ssize_t>(REPLY_SIZE)) << sim.log();
  close(fd);
  EXPECT_EQ(decode_reply(answer).error, ERR_NONE);
  const std::string prefix = "kesp-sim: " + sim.address(1) + ": board SN000002";
  EXPECT_TRUE(sim.wait_for_log(prefix + ": update nor addr=0x4010 size=20000 crc=" +
                               crc_hex(image, 8) + ": done\n"))
      << sim.log();
  EXPECT_TRUE(sim.wait_for_log(prefix + " already in the slot: insert ignored\n")) << sim.log();
  EXPECT_EQ(sim.log().find(" left ("), std::string::npos) << sim.log();
  EXPECT_EQ(sim.log().find("SN000003"), std::string::npos) << sim.log();
  EXPECT_FALSE(refused(sim.address(1)));
}

// Boards pulled through the control FIFO: mid-image, or while the part
// erases and programs. The client sees its connection end at once, the log
// says the board was pulled and left with its flash as it was, the address
// refuses until an insert brings a fresh board. An insert pulls nothing.
TEST(SimOperator, RemovedThroughControlEvenMidImage) {
  struct pull_case {
    const char *name;
    uint32_t sent;  // image bytes before the pull
    std::vector<std::string> args;
    std::string note;
    bool insert = false;  // an insert instead of the remove: the board stays
  };
  const uint32_t size = 20000;
  const pull_case cases[] = {
      {.name = "mid-image",
       .sent = 5000,
       .args = {},
       .note = "board pulled after 5000 of 20000 bytes"},
      {.name = "programming",
       .sent = size,
       .args = {"--erase-time", "5000"},
       .note = "board pulled after 20000 of 20000 bytes"},
      {.name = "insert into a taken slot", .sent = 5000, .args = {}, .note = "", .insert = true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string fifo = temp_path("operator-control");
    sim_process sim(KESP_SIM_BINARY, 2, [&](const std::string &) {
      return with(with(small_nor(), {"--control", fifo, "--select", "2", "--other-nor-id", "0xc2"}),
                  c.args);
    });
    ASSERT_TRUE(sim.ready()) << sim.log();
    flash_reply first{};
    int fd = begin_update(sim.address(1), size, &first);
    ASSERT_GE(fd, 0) << sim.log();
    EXPECT_EQ(first.flash_id, 0xc2);
    EXPECT_EQ(first.error, ERR_NONE);
    const std::string image = pattern_bytes(c.sent, 3);
    ASSERT_EQ(send_all(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    // The sim must have the bytes before the pull, or it cannot say so.
    std::this_thread::sleep_for(200ms);
    if (c.insert) {
      insert_leaves_the_board(sim, fd, fifo, size, c.sent);
      continue;
    }
    auto pulled = clock_type::now();
    send_control(fifo, "remove 2");
    uint8_t answer[REPLY_SIZE];
    errno = 0;
    ssize_t got = recv(fd, answer, sizeof answer, 0);
    const int why = errno;
    close(fd);
    EXPECT_EQ(got, -1);
    EXPECT_EQ(why, ECONNRESET);
    EXPECT_LT(clock_type::now() - pulled, 4s);
    const std::string prefix = "kesp-sim: " + sim.address(1) + ": board SN000002";
    // On a busy machine the sim may not have read all that was sent when
    // the pull came: the line must then tell what it had, and its CRC.
    const std::string start = prefix + ": update nor addr=0x4010 size=20000 crc=";
    ASSERT_TRUE(sim.wait_for_log(" of 20000 bytes\n")) << sim.log();
    const std::string log = sim.log();
    size_t at = log.find(start);
    ASSERT_NE(at, std::string::npos) << log;
    char crc[9] = {};
    unsigned had = 0;
    ASSERT_EQ(sscanf(log.c_str() + at + start.size(), "%8[0-9a-f]: board pulled after %u of 20000",
                     crc, &had),
              2)
        << log;
    EXPECT_LE(had, c.sent);
    EXPECT_EQ(crc, crc_hex(image.substr(0, had), 8));
    EXPECT_EQ(had == c.sent,
              log.find(start + crc_hex(image, 8) + ": " + c.note + "\n") != std::string::npos)
        << log;
    EXPECT_TRUE(sim.wait_for_log(prefix + " left (removed): nor crc32=" + nor_crc("") + "\n"))
        << sim.log();
    EXPECT_TRUE(refused(sim.address(1)));
    EXPECT_FALSE(refused(sim.address(0)));  // only the board named
    send_control(fifo, "insert all");
    EXPECT_TRUE(sim.wait_for_log("kesp-sim: " + sim.address(1) +
                                 ": board SN000003 inserted, erased, nor id 00c2\n"))
        << sim.log();
    EXPECT_EQ(sim.log().find("SN000004"), std::string::npos) << "board 1 was in its slot";
    EXPECT_FALSE(refused(sim.address(1)));
    send_control(fifo, "remove 9");
    EXPECT_TRUE(sim.wait_for_log("kesp-sim: control: remove 9: 9: boards are numbered 1 to 2\n"))
        << sim.log();
  }
}

// The part's erase and program times slow an update by about what they
// add up to; never less.
TEST(SimOperator, FlashTimingSlowsTheUpdate) {
  // 20000 bytes at 0x4010 touch 2 blocks of 16K and 20 KiB: 2 x 300 ms +
  // 20 x 20 ms.
  sim_process sim(KESP_SIM_BINARY,
                  with(small_nor(), {"--erase-time", "300", "--program-time", "20000"}));
  ASSERT_TRUE(sim.ready()) << sim.log();
  const std::string path = temp_path("timed-image");
  write_file(path, pattern_bytes(20000, 9));
  auto began = clock_type::now();
  run_result r = run_program({KESP_BINARY, "-a", ADDRESS_ARG, sim.address(), path}, RUN_LIMIT);
  auto took = clock_type::now() - began;
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GE(took, 1000ms);
  EXPECT_LT(took, 15s);
}

TEST(SimOperator, FlashTimeCountsBlocksAndKiB) {
  struct timing_case {
    uint32_t addr, length;
    int erase_ms, program_us;
    int want_ms;
  };
  const timing_case cases[] = {
      {.addr = 0, .length = 0, .erase_ms = 100, .program_us = 1000, .want_ms = 0},
      {.addr = 0, .length = 1, .erase_ms = 100, .program_us = 1000, .want_ms = 101},
      {.addr = 0, .length = NOR_BLOCK, .erase_ms = 100, .program_us = 0, .want_ms = 100},
      {.addr = NOR_BLOCK - 1, .length = 2, .erase_ms = 100, .program_us = 0, .want_ms = 200},
      {.addr = 0, .length = 4096, .erase_ms = 0, .program_us = 250, .want_ms = 1},
      {.addr = 0, .length = 10 * 1024, .erase_ms = 0, .program_us = 1500, .want_ms = 15},
  };
  flash_device dev{"nor", 1, NOR_SIZE, NOR_BLOCK, -1, {}, {}};
  for (const auto &c : cases) {
    fault_plan plan;
    plan.erase_time_ms = c.erase_ms;
    plan.program_time_us = c.program_us;
    EXPECT_EQ(flash_time_ms(plan, dev, c.addr, c.length), c.want_ms) << c.addr << "+" << c.length;
  }
}

}  // namespace
