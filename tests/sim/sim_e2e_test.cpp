// The tool against the simulated target, both run as processes over
// loopback: what the user reads, and what ends up in the flash files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;

// Small devices keep each test's files small; the NOR still takes more
// than one receive of the simulator to fill.
constexpr uint32_t NOR_SIZE = 128 * 1024;
constexpr uint32_t NOR_BLOCK = 16 * 1024;
constexpr uint32_t NAND_SIZE = 256 * 1024;
constexpr uint32_t NAND_BLOCK = 32 * 1024;
constexpr uint32_t IMAGE_SIZE = 300;  // one whole piece on the wire and a short one
constexpr auto RUN_LIMIT = 20s;
// Far above any healthy run and below the simulator's idle time-out, so a
// run that only ends because the simulator gave up waiting shows.
constexpr auto PROMPT = 5s;
std::string unique_path(const std::string &stem) {
  static int count = 0;
  return temp_path(stem + std::to_string(++count));
}

// The tool's lines, without the progress bar, which is redrawn in place.
std::vector<std::string> lines_of(const std::string &out) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end = out.find('\n'); end != std::string::npos; end = out.find('\n', start)) {
    std::string line = out.substr(start, end - start);
    if (line.rfind("\rloader: [", 0) != 0) lines.push_back(line);
    start = end + 1;
  }
  if (start < out.size()) lines.push_back(out.substr(start));
  return lines;
}

// The lines before the image, then the verdict: "done", "closed", "reset",
// or the failure as "addr, error text".
std::vector<std::string> tool_lines(const std::string &head, const std::string &verdict,
                                    const std::string &mode, const std::string &image) {
  std::vector<std::string> lines;
  const char *names[] = {"kesp: address = ", "kesp: flags = ", "kesp: flash_id = "};
  size_t at = 0;
  for (const char *name : names) {
    if (at >= head.size()) break;
    size_t end = std::min(head.find(' ', at), head.size());
    lines.push_back(name + head.substr(at, end - at));
    at = end + 1;
  }
  std::string size = std::to_string(image.size());
  if (verdict == "done") {
    lines.push_back("kesp: flash " + mode + " done, size = " + size);
    lines.push_back("kesp: crc = " + crc_hex(image) + ", received = " + crc_hex(image));
  } else if (verdict == "closed") {
    lines.push_back("kesp: connection failed: closed by target");
  } else if (verdict == "reset") {
    lines.push_back(std::string("kesp: connection failed: ") + strerror(ECONNRESET));
  } else {
    size_t comma = verdict.find(", ");
    lines.push_back("kesp: flash " + mode + " failed (addr = " + verdict.substr(0, comma) +
                    ", size = " + size + ", error = \"" + verdict.substr(comma + 2) + "\")");
  }
  return lines;
}

// A simulator on its own address with its flash in files: the NOR holding
// a pattern beforehand, the NAND created by the simulator.
struct bench {
  std::string address;
  std::string nor_path = unique_path("nor");
  std::string nand_path = unique_path("nand");
  std::string nor = pattern_bytes(NOR_SIZE, 7);  // what each file should hold
  std::string nand = std::string(NAND_SIZE, '\xff');
  bool with_nand;
  std::unique_ptr<sim_process> sim;

  explicit bench(const std::vector<std::string> &extra = {}, bool nand_too = true)
      : with_nand(nand_too) {
    write_file(nor_path, nor);
    std::vector<std::string> args = {"--nor-file",  nor_path,
                                     "--nor-size",  std::to_string(NOR_SIZE),
                                     "--nor-block", std::to_string(NOR_BLOCK)};
    if (with_nand) {
      args.insert(args.end(), {"--nand-file", nand_path, "--nand-size", std::to_string(NAND_SIZE),
                               "--nand-block", std::to_string(NAND_BLOCK)});
    }
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<sim_process>(KESP_SIM_BINARY, args);
    address = sim->address();
  }

  run_result kesp(std::vector<std::string> options, const std::string &image) const {
    std::string path = unique_path("image");
    write_file(path, image);
    options.insert(options.begin(), KESP_BINARY);
    options.insert(options.end(), {address, path});
    return run_program(options, RUN_LIMIT);
  }

  // Stops the simulator, which must end cleanly, and checks both files.
  void stop_and_check_flash() const {
    EXPECT_EQ(sim->stop(), 0) << sim->log();
    EXPECT_TRUE(read_file(nor_path) == nor) << "NOR file differs from what was loaded";
    if (with_nand) {
      EXPECT_TRUE(read_file(nand_path) == nand) << "NAND file differs from what was loaded";
    } else {
      EXPECT_NE(access(nand_path.c_str(), F_OK), 0) << "an absent NAND got a file";
    }
  }
};

// Each fault against a 300-byte download at 0x4010.
struct fault_case {
  const char *name;
  std::vector<std::string> sim_args;
  bool first_reply;     // the tool gets as far as the flash id
  const char *verdict;  // as tool_lines takes it
  bool written;         // the image reaches the flash even so
  int min_ms;           // the run takes at least this long
};

const fault_case FAULTS[] = {
    {"FirstError", {"--first-error", "2"}, true, "4010, erase error", false, 0},
    {"FinalError", {"--final-error", "-1"}, true, "4010, reprogram error", false, 0},
    {"CloseMidImage", {"--close-after", "100"}, true, "closed", false, 0},
    {"ResetMidImage", {"--reset-after", "100"}, true, "reset", false, 0},
    {"NoFinalReply", {"--no-final-reply"}, true, "closed", true, 0},
    {"CutFirstReply", {"--cut-first", "5"}, false, "closed", false, 0},
    {"CutFinalReply", {"--cut-final", "17"}, true, "closed", true, 0},
    {"TrickledReplies", {"--trickle"}, true, "done", true, 150},
    {"DelayBeforeEachReply", {"--reply-delay", "150"}, true, "done", true, 300},
    {"DelayBeforeFinalReply", {"--final-delay", "300"}, true, "done", true, 300},
};

class SimFault : public testing::TestWithParam<int> {};

TEST_P(SimFault, ToolReportsItAndSimKeepsServing) {
  const fault_case &c = FAULTS[GetParam()];
  bench b(c.sim_args);
  ASSERT_TRUE(b.sim->ready()) << b.sim->log();
  std::string image = pattern_bytes(IMAGE_SIZE, 1);

  auto began = std::chrono::steady_clock::now();
  run_result r = b.kesp({"-a", "0x4010"}, image);
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(r.status, 0) << r.err;
  std::string head = c.first_reply ? "4010 40000000 0101" : "4010 40000000";
  EXPECT_EQ(lines_of(r.out), tool_lines(head, c.verdict, "update", image));
  EXPECT_GE(took, std::chrono::milliseconds(c.min_ms));
  EXPECT_LT(took, PROMPT);
  if (c.written) program_flash(b.nor, NOR_BLOCK, 0x4010, image);

  // Whatever happened, the next client is served.
  EXPECT_EQ(run_program({KESP_BINARY, "-s", b.address}, RUN_LIMIT).status, 0);
  EXPECT_TRUE(b.sim->wait_for_log("kesp-sim: start request\n")) << b.sim->log();
  b.stop_and_check_flash();
}

INSTANTIATE_TEST_SUITE_P(Faults, SimFault, testing::Range(0, static_cast<int>(std::size(FAULTS))),
                         [](const testing::TestParamInfo<int> &p) { return FAULTS[p.param].name; });

// Modes, addresses and devices, without faults.
enum class source { fresh, nor_copy, nor_copy_flipped };

struct mode_case {
  const char *name;
  const char *options;  // the tool's, between blanks
  source image_source;
  uint32_t size;
  uint32_t at;          // where the image goes, or where it is copied from
  const char *written;  // "nor", "nand" or ""
  const char *head;     // address, flags and flash id as the tool prints them
  const char *verdict;  // as tool_lines takes it
  const char *log;      // how the simulator's line starts
  bool with_nand = true;
};

const mode_case MODES[] = {
    {.name = "DownloadWithoutAddressGoesToZero",
     .options = "",
     .image_source = source::fresh,
     .size = IMAGE_SIZE,
     .at = 0,
     .written = "nor",
     .head = "0 0 0101",
     .verdict = "done",
     .log = "update nor addr=0x0 size=300"},
    {.name = "DownloadAcrossTwoBlocks",
     .options = "-a 0x7f00",
     .image_source = source::fresh,
     .size = 600,
     .at = 0x7f00,
     .written = "nor",
     .head = "7f00 40000000 0101",
     .verdict = "done",
     .log = "update nor addr=0x7f00 size=600"},
    {.name = "DownloadWholeDevice",
     .options = "",
     .image_source = source::fresh,
     .size = NOR_SIZE,
     .at = 0,
     .written = "nor",
     .head = "0 0 0101",
     .verdict = "done",
     .log = "update nor addr=0x0 size=131072"},
    {.name = "DownloadEndingAtDeviceEnd",
     .options = "-a 0x1fed4",
     .image_source = source::fresh,
     .size = IMAGE_SIZE,
     .at = 0x1fed4,
     .written = "nor",
     .head = "1fed4 40000000 0101",
     .verdict = "done",
     .log = "update nor addr=0x1fed4"},
    {.name = "NandDownload",
     .options = "-n -a 0x9000",
     .image_source = source::fresh,
     .size = IMAGE_SIZE,
     .at = 0x9000,
     .written = "nand",
     .head = "9000 60000000 0202",
     .verdict = "done",
     .log = "update nand addr=0x9000"},
    {.name = "ComparePasses",
     .options = "-c -a 0x4010",
     .image_source = source::nor_copy,
     .size = IMAGE_SIZE,
     .at = 0x4010,
     .written = "",
     .head = "4010 c0000000 0101",
     .verdict = "done",
     .log = "compare nor addr=0x4010"},
    {.name = "CompareFailsAtFirstDifference",
     .options = "-c -a 0x4010",
     .image_source = source::nor_copy_flipped,
     .size = IMAGE_SIZE,
     .at = 0x4010,
     .written = "",
     .head = "4010 c0000000 0101",
     .verdict = "408b, compare failed",
     .log = "compare nor addr=0x4010"},
    {.name = "AddressOutsideDevice",
     .options = "-a 0x20000",
     .image_source = source::fresh,
     .size = IMAGE_SIZE,
     .at = 0,
     .written = "",
     .head = "20000 40000000 0101",
     .verdict = "20000, invalid address",
     .log = "update nor addr=0x20000"},
    {.name = "ImagePastDeviceEnd",
     .options = "-a 0x1fed5",
     .image_source = source::fresh,
     .size = IMAGE_SIZE,
     .at = 0,
     .written = "",
     .head = "1fed5 40000000 0101",
     .verdict = "1fed5, invalid size",
     .log = "update nor addr=0x1fed5"},
    {.name = "NandAbsent",
     .options = "-n",
     .image_source = source::fresh,
     .size = IMAGE_SIZE,
     .at = 0,
     .written = "",
     .head = "0 60000000 0000",
     .verdict = "0, no such device",
     .log = "update nand addr=0x0",
     .with_nand = false},
};

class SimMode : public testing::TestWithParam<int> {};

TEST_P(SimMode, ToolAndFlashAgree) {
  const mode_case &c = MODES[GetParam()];
  bench b({}, c.with_nand);
  ASSERT_TRUE(b.sim->ready()) << b.sim->log();
  std::string image = pattern_bytes(c.size, 2);
  if (c.image_source != source::fresh) image = b.nor.substr(c.at, c.size);
  if (c.image_source == source::nor_copy_flipped) image[0x7b] ^= 0x01;

  std::vector<std::string> options;
  std::istringstream words(c.options);
  for (std::string word; words >> word;) options.push_back(word);
  run_result r = b.kesp(options, image);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string mode = std::string(c.options).rfind("-c", 0) == 0 ? "compare" : "update";
  EXPECT_EQ(lines_of(r.out), tool_lines(c.head, c.verdict, mode, image));

  if (c.written == std::string("nor")) program_flash(b.nor, NOR_BLOCK, c.at, image);
  if (c.written == std::string("nand")) program_flash(b.nand, NAND_BLOCK, c.at, image);
  b.stop_and_check_flash();
  std::string line = "kesp-sim: " + std::string(c.log);
  EXPECT_NE(b.sim->log().find(line), std::string::npos) << line << "\n" << b.sim->log();
  EXPECT_NE(b.sim->log().find("crc=" + crc_hex(image, 8) + ": "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, SimMode, testing::Range(0, static_cast<int>(std::size(MODES))),
                         [](const testing::TestParamInfo<int> &p) { return MODES[p.param].name; });

// Clients that misbehave, written by hand over a socket.
std::string request(uint32_t header, uint32_t address, size_t image_bytes) {
  uint8_t words[2 * WORD_SIZE];
  put_be32(words, header);
  put_be32(words + WORD_SIZE, address);
  size_t n = (header & FLAG_ADDRESS) != 0 ? 2 * WORD_SIZE : WORD_SIZE;
  return std::string(reinterpret_cast<char *>(words), n) + pattern_bytes(image_bytes, 3);
}

enum class leave { close, reset, silent };

// Sends bytes and leaves the way given. A reset waits for the first reply,
// so that it comes while the simulator reads the image.
void misbehave(const std::string &address, const std::string &bytes, leave how) {
  int fd = connect_to(address);
  ASSERT_GE(fd, 0);
  send_all(fd, bytes.data(), bytes.size());
  if (how == leave::reset) {
    uint8_t reply[REPLY_SIZE];
    EXPECT_EQ(recv_all(fd, reply, sizeof reply), static_cast<ssize_t>(REPLY_SIZE));
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  } else {
    if (how == leave::close) shutdown(fd, SHUT_WR);
    // Either way the simulator ends it: after our close, or its idle time-out.
    char buf[256];
    ssize_t n = 0;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
    }
    EXPECT_EQ(n, 0) << "the simulator did not end the connection";
  }
  close(fd);
}

TEST(SimSurvives, ClientsThatMisbehave) {
  bench b({"--idle-timeout", "300"});
  ASSERT_TRUE(b.sim->ready()) << b.sim->log();
  // Read as a header, "GET " asks for 121984032 bytes at 0x2f204854.
  const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string cut = request(1000 | FLAG_ADDRESS, 0x4000, 100);
  const std::string reset = request(1000 | FLAG_ADDRESS, 0x8000, 100);
  struct rogue {
    std::string bytes;
    leave how;
    std::string log;
  };
  const rogue rogues[] = {
      {http, leave::close,
       "update nor addr=0x2f204854 size=121984032 crc=" + crc_hex(http.substr(8), 8) +
           ": refused (error = \"invalid address\"), then client went away after 19 of 121984032 "
           "bytes"},
      // Far beyond the device: must be drained, not allocated.
      {request(500'000'000, 0, 0), leave::close,
       "update nor addr=0x0 size=500000000 crc=00000000: refused (error = \"invalid size\"), then "
       "client went away after 0 of 500000000 bytes"},
      {cut, leave::close,
       "update nor addr=0x4000 size=1000 crc=" + crc_hex(cut.substr(8), 8) +
           ": client went away after 100 of 1000 bytes"},
      {reset, leave::reset,
       "update nor addr=0x8000 size=1000 crc=" + crc_hex(reset.substr(8), 8) +
           ": client went away after 100 of 1000 bytes"},
      {request(FLAG_ADDRESS | FLAG_COMPARE, 0, 0).substr(0, 6), leave::silent,
       "client went silent before a whole request (6 bytes)"},
      {request(0, 0, 0), leave::close, "start request"},
  };
  std::string want = "kesp-sim: listening on " + b.address + ":57000\n";
  for (const auto &r : rogues) {
    misbehave(b.address, r.bytes, r.how);
    want += "kesp-sim: " + r.log + "\n";
  }

  std::string image = pattern_bytes(IMAGE_SIZE, 5);
  EXPECT_EQ(lines_of(b.kesp({"-a", "0x4010"}, image).out),
            tool_lines("4010 40000000 0101", "done", "update", image));
  want += "kesp-sim: update nor addr=0x4010 size=300 crc=" + crc_hex(image, 8) + ": done\n";
  program_flash(b.nor, NOR_BLOCK, 0x4010, image);
  b.stop_and_check_flash();
  EXPECT_EQ(b.sim->log(), want + "kesp-sim: stopped\n");
}

TEST(SimStops, MidImageWithoutTouchingFlash) {
  bench b;
  ASSERT_TRUE(b.sim->ready()) << b.sim->log();
  int fd = connect_to(b.address);
  ASSERT_GE(fd, 0);
  std::string bytes = request(1000 | FLAG_ADDRESS, 0x4000, 100);
  send_all(fd, bytes.data(), bytes.size());
  uint8_t reply[REPLY_SIZE];
  ASSERT_EQ(recv_all(fd, reply, sizeof reply), static_cast<ssize_t>(REPLY_SIZE));

  b.stop_and_check_flash();
  close(fd);
  // A stop outranks the bytes already waiting, so either count may show.
  std::string log = b.sim->log();
  auto ends_with = [&](const std::string &crc, int got) {
    std::string tail = "kesp-sim: update nor addr=0x4000 size=1000 crc=" + crc +
                       ": stopped after " + std::to_string(got) +
                       " of 1000 bytes\nkesp-sim: stopped\n";
    return log.size() >= tail.size() &&
           log.compare(log.size() - tail.size(), tail.size(), tail) == 0;
  };
  EXPECT_TRUE(ends_with("00000000", 0) || ends_with(crc_hex(bytes.substr(8), 8), 100)) << log;
}

// A simulator started by a service manager or a careless script may find
// its standard descriptors closed; its log must not reach the flash.
struct closed_std_case {
  const char *name;
  std::vector<int> closed;
};

const closed_std_case CLOSED_STD[] = {
    {"OutputAndError", {1, 2}},
    {"InputAndError", {0, 2}},
    {"AllThree", {0, 1, 2}},
};

// True once pid holds path open, false if it ended first or the limit passed.
bool holds_open(pid_t pid, const std::string &path, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  const auto want = std::filesystem::canonical(path);
  while (std::chrono::steady_clock::now() < deadline) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid != 0) {
      return false;
    }
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
         !ec && it != end; it.increment(ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(it->path(), link_ec) == want) return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

class SimClosedStd : public testing::TestWithParam<int> {};

// Starts the simulator with the descriptors of c closed and the others on
// /dev/null, on an address of its own; with no log to read, it counts as
// started once it holds its flash file open, which it opens after binding.
pid_t spawn_closed_std(const closed_std_case &c, const std::vector<std::string> &args,
                       const std::string &watched, std::string *address) {
  for (int attempt = 0; attempt < ADDRESS_TRIES; ++attempt) {
    *address = next_candidate();
    std::vector<std::string> words = {KESP_SIM_BINARY, "--listen", *address};
    words.insert(words.end(), args.begin(), args.end());
    int fds[3] = {SPAWN_NULL, SPAWN_NULL, SPAWN_NULL};
    for (int fd : c.closed) fds[fd] = SPAWN_CLOSED;
    pid_t pid = spawn_program(words, fds);
    if (pid < 0) return -1;
    if (holds_open(pid, watched, 10s)) return pid;
    // It ended at start-up, its address taken most likely: try another.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return -1;
}

TEST_P(SimClosedStd, LogNeverReachesTheFlash) {
  const closed_std_case &c = CLOSED_STD[GetParam()];
  const std::string nor_path = unique_path("nor");
  std::string nor = pattern_bytes(NOR_SIZE, 9);
  write_file(nor_path, nor);
  std::string address;
  pid_t pid = spawn_closed_std(c,
                               {"--nor-file", nor_path, "--nor-size", std::to_string(NOR_SIZE),
                                "--nor-block", std::to_string(NOR_BLOCK)},
                               nor_path, &address);
  ASSERT_GT(pid, 0) << "the simulator did not start";

  std::string image = pattern_bytes(IMAGE_SIZE, 10);
  std::string image_path = unique_path("image");
  write_file(image_path, image);
  run_result r = run_program({KESP_BINARY, "-a", "0x4010", address, image_path}, RUN_LIMIT);
  EXPECT_EQ(lines_of(r.out), tool_lines("4010 40000000 0101", "done", "update", image));
  program_flash(nor, NOR_BLOCK, 0x4010, image);
  kill(pid, SIGTERM);
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << wstatus;
  EXPECT_TRUE(read_file(nor_path) == nor) << "the NOR file holds more than the image";
}

INSTANTIATE_TEST_SUITE_P(StdDescriptors, SimClosedStd,
                         testing::Range(0, static_cast<int>(std::size(CLOSED_STD))),
                         [](const testing::TestParamInfo<int> &p) {
                           return CLOSED_STD[p.param].name;
                         });

// A large flash file takes a while to make; whatever happens meanwhile, a
// restart must find either no file or a whole one under the name.
constexpr char CREATING[] = ".kesp-sim-new";  // the file's name while it is made
constexpr char BIG_SIZE[] = "2G";             // seconds to fill: time enough to interrupt

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// Starts a simulator that makes path at size, and waits until the file
// being made shows up; null if it never did.
std::unique_ptr<sim_process> sim_making(const std::string &path, const std::string &size) {
  for (int attempt = 0; attempt < ADDRESS_TRIES; ++attempt) {
    auto sim = std::make_unique<sim_process>(
        KESP_SIM_BINARY, std::vector<std::string>{"--nor-file", path, "--nor-size", size}, 0ms);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!exists(path + CREATING) && !address_was_taken(sim->log()) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    if (exists(path + CREATING)) return sim;
    if (!address_was_taken(sim->log())) return nullptr;
  }
  return nullptr;
}

TEST(SimCreatesFile, StopWhileMakingItLeavesNothingAndExitsZero) {
  const std::string path = unique_path("big");
  auto sim = sim_making(path, BIG_SIZE);
  ASSERT_TRUE(sim) << "the file was never begun";
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(sim->stop(), 0) << sim->log();
  EXPECT_LT(std::chrono::steady_clock::now() - began, PROMPT) << "the stop waited for the file";
  EXPECT_EQ(sim->log().substr(sim->log().rfind("kesp-sim: ")), "kesp-sim: stopped\n") << sim->log();
  EXPECT_FALSE(exists(path)) << "a partial file is left under the name";
  EXPECT_FALSE(exists(path + CREATING)) << "the partial file is left";

  sim_process again(KESP_SIM_BINARY, {"--nor-file", path, "--nor-size", "64K"});
  EXPECT_TRUE(again.ready()) << again.log();
  EXPECT_EQ(again.stop(), 0);
  EXPECT_TRUE(read_file(path) == std::string(64 * 1024, '\xff'));
}

TEST(SimCreatesFile, KilledWhileMakingItDoesNotBlockARestart) {
  const std::string path = unique_path("big");
  auto sim = sim_making(path, BIG_SIZE);
  ASSERT_TRUE(sim) << "the file was never begun";
  kill(sim->pid(), SIGKILL);
  sim->stop();
  EXPECT_FALSE(exists(path)) << "a partial file is left under the name";

  sim_process again(KESP_SIM_BINARY, {"--nor-file", path, "--nor-size", "64K"});
  EXPECT_TRUE(again.ready()) << again.log();
  EXPECT_EQ(again.stop(), 0);
  EXPECT_TRUE(read_file(path) == std::string(64 * 1024, '\xff'));
  EXPECT_FALSE(exists(path + CREATING)) << "the leftover was not cleared";
}

// A file size limit fails the writes as a full disk would, without needing
// one.
TEST(SimCreatesFile, NoRoomLeavesNothingAndSaysWhy) {
  const std::string path = unique_path("big");
  run_result r;
  for (int attempt = 0; attempt < ADDRESS_TRIES; ++attempt) {
    r = run_program({"/bin/sh", "-c", "ulimit -f 1024 && exec \"$0\" \"$@\"", KESP_SIM_BINARY,
                     "--listen", next_candidate(), "--nor-file", path, "--nor-size", "2M"},
                    RUN_LIMIT);
    if (!address_was_taken(r.err)) break;
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot create " + path + ": " + strerror(EFBIG)), std::string::npos)
      << r.err;
  EXPECT_FALSE(exists(path)) << "a partial file is left under the name";
  EXPECT_FALSE(exists(path + CREATING)) << "the partial file is left";
}

// A client may hold the single-connection simulator only so long: a whole
// session has its limit however the bytes trickle, and after the final
// reply the simulator waits only briefly for the client's close.
constexpr int DRIBBLE_IDLE_MS = 2000;
constexpr auto DRIBBLE_PAUSE = 1500ms;   // under the idle time-out, every time
constexpr int DRIBBLE_LIMIT_MS = 3000;   // the session limit the dribbler meets
constexpr auto CLIENT_GIVES_UP = 9s;     // how long a rogue client goes on at most
constexpr auto DROPPED_WITHIN = 6s;      // from connecting; the rogue alone would take 9 s
constexpr auto DRAINED_WITHIN = 4500ms;  // from the final reply; the drain takes at most 2 s

// Whether the simulator has ended the connection, waiting at most limit.
bool dropped_within(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
  char buf[64];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN);
}

TEST(SimHeldByOneClient, DribblerIsDroppedAtTheSessionLimit) {
  bench b({"--idle-timeout", std::to_string(DRIBBLE_IDLE_MS), "--session-limit",
           std::to_string(DRIBBLE_LIMIT_MS)});
  ASSERT_TRUE(b.sim->ready()) << b.sim->log();
  int fd = connect_to(b.address);
  ASSERT_GE(fd, 0);
  auto began = std::chrono::steady_clock::now();
  std::string header = request(1000 | FLAG_ADDRESS, 0x4000, 0);
  send_all(fd, header.data(), header.size());
  uint8_t reply[REPLY_SIZE];
  ASSERT_EQ(recv_all(fd, reply, sizeof reply), static_cast<ssize_t>(REPLY_SIZE));

  // A real client waits behind it meanwhile.
  std::string image = pattern_bytes(IMAGE_SIZE, 11);
  run_result served;
  std::chrono::steady_clock::duration served_after{};
  std::thread next([&] {
    served = b.kesp({"-a", "0x4010"}, image);
    served_after = std::chrono::steady_clock::now() - began;
  });
  bool dropped = false;
  while (!dropped && std::chrono::steady_clock::now() - began < CLIENT_GIVES_UP) {
    char byte = 'x';
    send(fd, &byte, 1, MSG_NOSIGNAL);
    dropped = dropped_within(fd, DRIBBLE_PAUSE);
  }
  auto dropped_after = std::chrono::steady_clock::now() - began;
  close(fd);
  next.join();

  EXPECT_TRUE(dropped) << "the dribbler was never dropped";
  EXPECT_LT(dropped_after, DROPPED_WITHIN);
  EXPECT_GE(dropped_after, std::chrono::milliseconds(DRIBBLE_LIMIT_MS));
  EXPECT_LT(served_after, DROPPED_WITHIN) << "the real client waited for the dribbler";
  EXPECT_EQ(lines_of(served.out), tool_lines("4010 40000000 0101", "done", "update", image));
  EXPECT_NE(b.sim->log().find(": session limit reached after "), std::string::npos) << b.sim->log();
  program_flash(b.nor, NOR_BLOCK, 0x4010, image);
  b.stop_and_check_flash();
}

TEST(SimHeldByOneClient, ClientSendingPastTheFinalReplyIsLetGo) {
  bench b;
  ASSERT_TRUE(b.sim->ready()) << b.sim->log();
  int fd = connect_to(b.address);
  ASSERT_GE(fd, 0);
  std::string bytes = request(IMAGE_SIZE | FLAG_ADDRESS, 0x4010, IMAGE_SIZE);
  send_all(fd, bytes.data(), bytes.size());
  uint8_t replies[2 * REPLY_SIZE];
  ASSERT_EQ(recv_all(fd, replies, sizeof replies), static_cast<ssize_t>(sizeof replies));
  auto replied = std::chrono::steady_clock::now();
  // The simulator's half close comes at once; only once it has closed for
  // good are our bytes refused.
  bool dropped = false;
  while (!dropped && std::chrono::steady_clock::now() - replied < CLIENT_GIVES_UP) {
    std::string more(100, 'x');
    dropped = send(fd, more.data(), more.size(), MSG_NOSIGNAL) < 0;
    std::this_thread::sleep_for(50ms);
  }
  auto dropped_after = std::chrono::steady_clock::now() - replied;
  close(fd);
  EXPECT_TRUE(dropped) << "the client held the simulator";
  EXPECT_LT(dropped_after, DRAINED_WITHIN);

  std::string image = pattern_bytes(IMAGE_SIZE, 12);
  EXPECT_EQ(lines_of(b.kesp({"-a", "0x8010"}, image).out),
            tool_lines("8010 40000000 0101", "done", "update", image));
  program_flash(b.nor, NOR_BLOCK, 0x4010, bytes.substr(2 * WORD_SIZE));
  program_flash(b.nor, NOR_BLOCK, 0x8010, image);
  b.stop_and_check_flash();
}

TEST(SimCommandLine, HelpListsEveryOption) {
  run_result r = run_program({KESP_SIM_BINARY, "--help"}, RUN_LIMIT);
  EXPECT_EQ(r.status, 0);
  for (const char *option :
       {"--listen",       "--nor-file",       "--nor-size",    "--nor-block",   "--nor-id",
        "--nand ",        "--nand-file",      "--nand-size",   "--nand-block",  "--nand-id",
        "--idle-timeout", "--help",           "--first-error", "--final-error", "--close-after",
        "--reset-after",  "--no-final-reply", "--cut-first",   "--cut-final",   "--trickle",
        "--reply-delay",  "--final-delay",    "--write-delay"}) {
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  }
}

TEST(SimCommandLine, RefusesWhatItCannotServe) {
  std::string kept = unique_path("nor");
  write_file(kept, "not a flash image");
  std::string held = unique_path("nor");
  // One file under two names, for the NOR and the NAND.
  std::string held2 = unique_path("both");
  std::string link2 = unique_path("link");
  write_file(held2, std::string(64 * 1024, '\xff'));
  ASSERT_EQ(link(held2.c_str(), link2.c_str()), 0);
  sim_process holder(KESP_SIM_BINARY, {"--nor-size", "64K", "--nor-file", held});
  ASSERT_TRUE(holder.ready()) << holder.log();
  const std::string taken = holder.address();
  struct refusal {
    std::vector<std::string> args;
    int status;
    std::string says;
    bool anywhere = false;  // run on a free address of its own
  };
  const refusal cases[] = {
      {{"--bogus"}, 2, "unknown option --bogus\n"},
      {{"--close-afer", "3"}, 2, "unknown option --close-afer; did you mean --close-after?\n"},
      {{"--nor-size", "100K", "--nor-block", "64K"}, 2, "multiple of the erase-block size"},
      {{"--cut-first", "18"}, 2, "invalid --cut-first"},
      {{"--final-error", "0"}, 2, "--final-error 0 would report done and write nothing"},
      {{"--final-error", "0x0"}, 2, "--final-error 0 would report done and write nothing"},
      {{"--nor-size", "64K", "--nand-size", "64K", "--nand-block", "16K", "--nor-file", held2,
        "--nand-file", held2},
       2,
       held2 + " and " + held2 + " are the same file",
       true},
      {{"--nor-size", "64K", "--nand-size", "64K", "--nand-block", "16K", "--nor-file", held2,
        "--nand-file", link2},
       2,
       link2 + " and " + held2 + " are the same file",
       true},
      {{"--listen", "localhost"}, 2, "not an IPv4 address"},
      {{"--listen", taken}, 1, strerror(EADDRINUSE)},
      {{"--nor-file", kept}, 1, "holds 17 bytes", true},
      {{"--nor-size", "64K", "--nor-file", held}, 1, "in use by another simulator", true},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {KESP_SIM_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    run_result r = c.anywhere ? run_sim_on_free_address(KESP_SIM_BINARY, c.args, RUN_LIMIT)
                              : run_program(argv, RUN_LIMIT);
    EXPECT_EQ(r.status, c.status) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(kept), "not a flash image");
  EXPECT_TRUE(read_file(held2) == std::string(64 * 1024, '\xff')) << "a refused file changed";
  EXPECT_EQ(holder.stop(), 0);
}

}  // namespace
