// One simulator process serving a line of boards: each its own flash and
// file, all served at once, faults only where selected, and a start that
// fails whole, naming the address, when any board's address is taken.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "addresses.h"
#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t NOR_SIZE = 128 * 1024;
constexpr uint32_t NOR_BLOCK = 16 * 1024;
constexpr uint32_t IMAGE_SIZE = 300;
constexpr uint32_t ADDRESS = 0x4010;
constexpr char ADDRESS_ARG[] = "0x4010";
constexpr auto RUN_LIMIT = 20s;
constexpr uint32_t LINE = 6;        // boards in the line
constexpr uint32_t BUSY_BOARD = 0;  // slow to answer, so that the others must not wait for it
constexpr char BUSY_DELAY_MS[] = "3000";
constexpr uint32_t MANY = 256;     // a whole line in one process
constexpr char MANY_NOR[] = "2M";  // in memory, each

std::string done_line() { return "kesp: flash update done, size = " + std::to_string(IMAGE_SIZE); }

// What each board of the line does with a download, by the faults chosen
// for it below.
struct board_case {
  std::string last_line;  // the tool's
  bool written;
};

TEST(MultiBoard, FaultsOnlyWhereSelectedAndEachBoardItsOwnFile) {
  const std::string dir = temp_path("line");
  std::filesystem::create_directory(dir);
  // Board 1 is slow; 2, 4 and 5 fail their erase, by number and range;
  // 6, named by its address, closes mid-image; 3 behaves.
  sim_process sim(KESP_SIM_BINARY, LINE, [&](const std::string &first) {
    return std::vector<std::string>{"--nor-file",    dir + "/{addr}.nor",
                                    "--nor-size",    std::to_string(NOR_SIZE),
                                    "--nor-block",   std::to_string(NOR_BLOCK),
                                    "--select",      "1",
                                    "--final-delay", BUSY_DELAY_MS,
                                    "--select",      "2,4-5",
                                    "--final-error", "2",
                                    "--select",      nth_address(first, 5),
                                    "--close-after", "100"};
  });
  ASSERT_TRUE(sim.ready()) << sim.log();
  EXPECT_EQ(sim.log(), "kesp-sim: listening on " + sim.address(0) + ":57000 .. " +
                           sim.address(LINE - 1) + ":57000 (6 boards)\n");
  const std::string erase_error =
      "kesp: flash update failed (addr = 4010, size = 300, error = \"erase error\")";
  const board_case want[LINE] = {
      {done_line(), true},  {erase_error, false},
      {done_line(), true},  {erase_error, false},
      {erase_error, false}, {"kesp: connection failed: closed by target", false},
  };

  std::vector<std::string> images;
  std::vector<run_result> results(LINE);
  std::vector<std::chrono::steady_clock::time_point> ended(LINE);
  std::vector<std::thread> tools;
  for (uint32_t i = 0; i < LINE; ++i) {
    images.push_back(pattern_bytes(IMAGE_SIZE, 40 + i));
    std::string path = temp_path("line-image-" + std::to_string(i));
    write_file(path, images[i]);
    tools.emplace_back([&, i, path] {
      results[i] = run_program({KESP_BINARY, "-a", ADDRESS_ARG, sim.address(i), path}, RUN_LIMIT);
      ended[i] = std::chrono::steady_clock::now();
    });
    // The busy board gets its client first, and still holds up nobody.
    if (i == BUSY_BOARD) std::this_thread::sleep_for(200ms);
  }
  for (auto &t : tools) t.join();

  for (uint32_t i = 0; i < LINE; ++i) {
    SCOPED_TRACE("board " + std::to_string(i + 1) + " at " + sim.address(i));
    const std::string &out = results[i].out;
    EXPECT_NE(out.find("\n" + want[i].last_line + "\n"), std::string::npos) << out;
    if (i != BUSY_BOARD) {
      EXPECT_LT(ended[i], ended[BUSY_BOARD]) << "it waited for the busy board";
    }
    std::string flash(NOR_SIZE, '\xff');
    if (want[i].written) program_flash(flash, NOR_BLOCK, ADDRESS, images[i]);
    EXPECT_TRUE(read_file(dir + "/" + sim.address(i) + ".nor") == flash)
        << "the board's file does not hold what it should";
    // The sim logs a download once its reply is out, so the tool may be
    // gone before the line is written.
    EXPECT_TRUE(
        sim.wait_for_log("kesp-sim: " + sim.address(i) + ": update nor addr=0x4010 size=300 "))
        << sim.log();
  }
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(sim.log().substr(sim.log().size() - 18), "kesp-sim: stopped\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), LINE)
      << "files beyond one per board";
}

TEST(MultiBoard, AnyAddressTakenFailsTheStartNamingIt) {
  // Someone else listens where the third board would.
  std::string first = next_candidate();
  std::string taken = nth_address(first, 2);
  int fd = listen_at(taken);
  ASSERT_GE(fd, 0) << taken;
  const std::string nor = temp_path("taken-{addr}.nor");

  run_result r = run_program(
      {KESP_SIM_BINARY, "--listen", first, "--boards", "4", "--nor-file", nor, "--nor-size", "64K"},
      RUN_LIMIT);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "kesp-sim: " + taken + ":57000: " + strerror(EADDRINUSE) + "\n");
  for (uint32_t i = 0; i < 4; ++i) {
    EXPECT_NE(access(temp_path("taken-" + nth_address(first, i) + ".nor").c_str(), F_OK), 0)
        << "a file was made though the start failed";
  }

  // The harness moves on to a range that is free throughout.
  const std::string next = peek_candidate(0);
  int fd2 = listen_at(nth_address(next, 3));
  ASSERT_GE(fd2, 0);
  sim_process sim(KESP_SIM_BINARY, 4, std::vector<std::string>{"--nor-size", "64K"});
  EXPECT_TRUE(sim.ready()) << sim.log();
  EXPECT_NE(sim.address(), next);
  close(fd);
  close(fd2);
}

struct refusal {
  std::vector<std::string> args;
  std::string says;
};

TEST(MultiBoard, RefusesWhatItCannotServe) {
  const refusal cases[] = {
      {{"--boards", "0"}, "--boards must be at least 1"},
      {{"--boards", "1025"}, "invalid --boards: 1025"},
      {{"--boards", "2", "--nor-file", "line.nor"}, "must contain {addr}"},
      {{"--boards", "2", "--nand-file", "line.nand"}, "must contain {addr}"},
      {{"--boards", "3", "--select", "4", "--trickle"}, "boards are numbered 1 to 3"},
      {{"--boards", "3", "--select", "0", "--trickle"}, "boards are numbered 1 to 3"},
      {{"--boards", "3", "--select", "3-2", "--trickle"}, "boards are numbered 1 to 3"},
      {{"--boards", "3", "--select", "1,", "--trickle"}, "not a board number or range"},
      {{"--boards", "3", "--select", "", "--trickle"}, "--select needs a list of boards"},
      {{"--listen", "127.0.0.250", "--boards", "3", "--select", "127.0.0.253"},
       "not the address of one of the boards"},
      {{"--listen", "255.255.255.254", "--boards", "3"}, "run past 255.255.255.255"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {KESP_SIM_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    run_result r = run_program(argv, RUN_LIMIT);
    EXPECT_EQ(r.status, 2) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
}

struct board_list {
  std::string list;
  std::string first;  // the first board's address
  uint32_t boards;
  std::string chosen;  // a digit a board, 1 where chosen; empty when refused
  std::string why;     // the refusal
  std::string bad;     // the piece named as no address or no number
};

// The lists that --select and the control FIFO read: the boards each names,
// and the refusals that a process started per row would not reach, such as
// a number past 32 bits that must not wrap to another board.
TEST(MultiBoard, ListsNameTheirBoards) {
  const board_list cases[] = {
      {"1", "127.0.0.1", 5, "10000", "", ""},
      {"2,4-5", "127.0.0.1", 5, "01011", "", ""},
      {"0x2-0x3", "127.0.0.1", 5, "01100", "", ""},
      {"127.0.0.5,1", "127.0.0.1", 5, "10001", "", ""},
      {"255.255.255.255", "255.255.255.254", 2, "01", "", ""},
      {"4294967297", "127.0.0.1", 5, "", "4294967297: not a number", "4294967297"},
      {"1-4294967298", "127.0.0.1", 5, "", "4294967298: not a number", "4294967298"},
      {"+1", "127.0.0.1", 5, "", "+1: not a number", "+1"},
      {"1-", "127.0.0.1", 5, "", "1-: not a board number or range", ""},
      {"0.0.0.0", "255.255.255.254", 2, "", "0.0.0.0: not the address of one of the boards", ""},
      {"127.0.0.6", "127.0.0.1", 5, "", "127.0.0.6: not the address of one of the boards", ""},
      {"127.0.0.x", "127.0.0.1", 5, "", "127.0.0.x: not an IPv4 address", "127.0.0.x"},
  };
  for (const auto &c : cases) {
    std::vector<bool> chosen;
    selection_error e = select_boards(c.list, parse_ipv4(c.first), c.boards, chosen);
    std::string marks;
    for (bool b : chosen) marks += b ? '1' : '0';
    EXPECT_EQ(e.why, c.why) << c.list;
    EXPECT_EQ(e.bad_address + e.bad_number, c.bad) << c.list;
    if (c.why.empty()) {
      EXPECT_EQ(marks, c.chosen) << c.list;
    }
  }
}

// A whole production line in one process, its flash in memory.
TEST(MultiBoard, ServesAWholeLine) {
  sim_process sim(KESP_SIM_BINARY, MANY, std::vector<std::string>{"--nor-size", MANY_NOR});
  ASSERT_TRUE(sim.ready()) << sim.log();
  std::string image = pattern_bytes(IMAGE_SIZE, 50);
  std::string path = temp_path("many.bin");
  write_file(path, image);
  for (uint32_t i : {0U, MANY / 2, MANY - 1}) {
    run_result r = run_program({KESP_BINARY, "-a", ADDRESS_ARG, sim.address(i), path}, RUN_LIMIT);
    EXPECT_NE(r.out.find(done_line()), std::string::npos) << sim.address(i) << ": " << r.out;
    // A compare proves it went to that board's own flash.
    run_result c =
        run_program({KESP_BINARY, "-c", "-a", ADDRESS_ARG, sim.address(i), path}, RUN_LIMIT);
    EXPECT_NE(c.out.find("kesp: flash compare done"), std::string::npos) << c.out;
  }
  run_result other =
      run_program({KESP_BINARY, "-c", "-a", ADDRESS_ARG, sim.address(1), path}, RUN_LIMIT);
  EXPECT_NE(other.out.find("compare failed"), std::string::npos) << "boards share a flash";
  EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
