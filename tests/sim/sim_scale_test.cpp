// The simulator at the scale of a production line: the descriptors,
// threads and memory it needs are had before it says it is ready, or the
// start fails saying what is short; its memory does not grow with the
// images; a write that failed half way is completed, never mixed with the
// next; and its log tells the truth when it is stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;

constexpr auto RUN_LIMIT = 20s;
constexpr auto LINE_READY = 30s;  // for a line of hundreds of boards to say it is ready
// The memory the simulator claims per board before its ready line (two
// 64 KiB buffers and a thread's 256 KiB stack, of which a connection uses
// a fraction), and what it holds besides: the design's bound on its
// resident memory, whatever the images.
constexpr uint64_t PER_BOARD_KIB = 2 * 64 + 256;
constexpr uint64_t BASE_KIB = 8 * 1024;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

// Memory in KiB that pid holds: what it has resident, and what its
// descriptors of anonymous memory files hold, which no mapping shows.
uint64_t held_kib(int pid);

// A field of /proc/PID/status in KiB, or 0 if it cannot be read.
uint64_t status_kib(int pid, const std::string &field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stoull(line.substr(field.size() + 1));
  }
  return 0;
}

uint64_t held_kib(int pid) {
  uint64_t kib = status_kib(pid, "VmRSS");
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (std::filesystem::directory_iterator it(fds, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code link_ec;
    struct stat st {};
    if (std::filesystem::read_symlink(it->path(), link_ec).string().rfind("/memfd:", 0) == 0 &&
        stat(it->path().c_str(), &st) == 0) {
      kib += static_cast<uint64_t>(st.st_blocks) / 2;
    }
  }
  return kib;
}

// A program that runs kesp-sim after prelude, a line of shell, for a limit
// set on the simulator alone, through launcher when one is given.
std::string sim_under(const std::string &prelude, const std::string &launcher = "") {
  static int count = 0;
  const std::string path = temp_path("sim-under-" + std::to_string(++count));
  write_file(
      path, "#!/bin/sh\n" + prelude + "\nexec " + launcher + " '" + KESP_SIM_BINARY + "' \"$@\"\n");
  EXPECT_EQ(chmod(path.c_str(), 0755), 0);
  return path;
}

std::string empty_folder(const std::string &stem) {
  const std::string dir = temp_path(stem);
  std::filesystem::create_directory(dir);
  return dir;
}

bool is_empty(const std::string &dir) { return std::filesystem::is_empty(dir); }

// A client of one board that sends its whole request, then reads the
// replies; the final one's error code, or INT32_MIN if none came whole.
class download_client {
 public:
  download_client(const std::string &address, uint32_t flags, uint32_t addr,
                  const std::string &image) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loader_address(address);
    timeval limit{20, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd_, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) return;
    uint8_t words[2 * WORD_SIZE];
    encode_header(words, static_cast<uint32_t>(image.size()), flags | FLAG_ADDRESS);
    encode_address(words + WORD_SIZE, addr);
    sent_ = send_all(fd_, words, sizeof words) == static_cast<ssize_t>(sizeof words) &&
            send_all(fd_, image.data(), image.size()) == static_cast<ssize_t>(image.size());
  }
  ~download_client() {
    if (fd_ >= 0) close(fd_);
  }
  download_client(const download_client &) = delete;
  download_client &operator=(const download_client &) = delete;

  int32_t verdict() {
    uint8_t replies[2 * REPLY_SIZE];
    if (!sent_ || recv_all(fd_, replies, sizeof replies) != static_cast<ssize_t>(sizeof replies)) {
      return INT32_MIN;
    }
    return decode_reply(replies + REPLY_SIZE).error;
  }

 private:
  int fd_ = -1;
  bool sent_ = false;
};

// The soft descriptor limit most systems give a process, for the
// simulators started meanwhile.
class usual_descriptor_limit {
 public:
  static constexpr rlim_t USUAL = 1024;
  usual_descriptor_limit() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = std::min(saved_.rlim_cur, USUAL);
    setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~usual_descriptor_limit() { setrlimit(RLIMIT_NOFILE, &saved_); }
  usual_descriptor_limit(const usual_descriptor_limit &) = delete;
  usual_descriptor_limit &operator=(const usual_descriptor_limit &) = delete;

 private:
  rlimit saved_{};
};

// Each board holds its listener, a client, both flash files, and the
// journal and folder of a write, all at once: with the usual limit of 1024,
// 512 such boards need more than it allows. The simulator raises it, or
// refuses to start saying why; it never answers "erase error" for want of
// a descriptor.
TEST(SimScale, LineWithFilesUnderTheUsualLimitServesEveryBoard) {
  constexpr uint32_t BOARDS = 512;
  const std::string dir = empty_folder("line-512");
  std::unique_ptr<sim_process> sim;
  {
    usual_descriptor_limit usual;
    // The files are there already, erased: making a thousand, each synced,
    // would take most of the test's time. The final delay gathers every
    // board's write into the same moment.
    sim = std::make_unique<sim_process>(
        KESP_SIM_BINARY, BOARDS,
        [&](const std::string &first) {
          for (uint32_t i = 0; i < BOARDS; ++i) {
            const std::string stem = dir + "/" + nth_address(first, i);
            write_file(stem + ".nor", std::string(64 << 10, '\xff'));
            write_file(stem + ".nand", std::string(128 << 10, '\xff'));
          }
          return std::vector<std::string>{"--nor-file",    dir + "/{addr}.nor",
                                          "--nor-size",    "64K",
                                          "--nand-file",   dir + "/{addr}.nand",
                                          "--nand-size",   "128K",
                                          "--final-delay", "300"};
        },
        LINE_READY);
  }
  if (!sim->ready()) {
    EXPECT_NE(sim->log().find("kesp-sim: open files: 512 boards need "), std::string::npos)
        << sim->log();
    return;
  }
  const std::string image = pattern_bytes(3000, 61);
  std::vector<std::unique_ptr<download_client>> clients;
  for (uint32_t i = 0; i < BOARDS; ++i) {
    clients.push_back(std::make_unique<download_client>(sim->address(i), i % 2 == 0 ? 0 : FLAG_NAND,
                                                        0x100, image));
  }
  uint32_t failed = 0;
  for (auto &c : clients) failed += c->verdict() == ERR_NONE ? 0 : 1;
  clients.clear();
  EXPECT_EQ(failed, 0u) << sim->log();
  EXPECT_EQ(sim->log().find("erase error"), std::string::npos) << sim->log();
  EXPECT_EQ(sim->stop(), 0);
}

// Every board of a line loads image at once; their final replies' error
// codes.
std::vector<int32_t> load_line(const sim_process &sim, uint32_t boards, const std::string &image) {
  std::vector<int32_t> verdicts(boards, INT32_MIN);
  std::vector<std::thread> loads;
  for (uint32_t i = 0; i < boards; ++i) {
    loads.emplace_back(
        [&, i] { verdicts[i] = download_client(sim.address(i), 0, 0, image).verdict(); });
  }
  for (auto &l : loads) l.join();
  return verdicts;
}

// Resident memory of a line taking large images at once, and when idle
// after it: within the design's per-board amount, whatever the images.
TEST(SimScale, MemoryDoesNotGrowWithTheImages) {
  if (SANITIZED) GTEST_SKIP() << "resident memory under AddressSanitizer is not the program's own";
  constexpr uint32_t BOARDS = 32;
  constexpr size_t IMAGE = size_t{16} << 20;
  const uint64_t bound_kib = BASE_KIB + BOARDS * PER_BOARD_KIB;
  const std::string dir = empty_folder("line-32");
  sim_process sim(KESP_SIM_BINARY, BOARDS,
                  std::vector<std::string>{"--nor-file", dir + "/{addr}.nor", "--nor-size", "16M"},
                  LINE_READY);
  ASSERT_TRUE(sim.ready()) << sim.log();
  const std::string image = pattern_bytes(IMAGE, 62);
  EXPECT_EQ(load_line(sim, BOARDS, image), std::vector<int32_t>(BOARDS, ERR_NONE)) << sim.log();
  const uint64_t peak = status_kib(sim.pid(), "VmHWM");
  const uint64_t idle = status_kib(sim.pid(), "VmRSS");
  EXPECT_GT(peak, 0u);
  EXPECT_LE(peak, bound_kib) << "peak resident memory, KiB";
  EXPECT_LE(idle, bound_kib) << "resident memory when idle, KiB";
  EXPECT_TRUE(read_file(dir + "/" + sim.address(BOARDS - 1) + ".nor") == image);
  EXPECT_EQ(sim.stop(), 0);
}

// Flash in memory holds what was written once, not twice: the peak of a
// line taking large images at once, then the same images again as the next
// units, stays within a tenth more than the flash written besides the
// per-board amount.
TEST(SimScale, FlashInMemoryPeaksNearTheFlashWritten) {
  if (SANITIZED) GTEST_SKIP() << "resident memory under AddressSanitizer is not the program's own";
  constexpr uint32_t BOARDS = 16;
  constexpr size_t IMAGE = size_t{16} << 20;
  const uint64_t written_kib = BOARDS * IMAGE / 1024;
  const uint64_t bound_kib = written_kib + written_kib / 10 + BASE_KIB + BOARDS * PER_BOARD_KIB;
  sim_process sim(KESP_SIM_BINARY, BOARDS, std::vector<std::string>{"--nor-size", "16M"},
                  LINE_READY);
  ASSERT_TRUE(sim.ready()) << sim.log();
  const std::string image = pattern_bytes(IMAGE, 68);
  for (int unit = 0; unit < 2; ++unit) {
    EXPECT_EQ(load_line(sim, BOARDS, image), std::vector<int32_t>(BOARDS, ERR_NONE)) << sim.log();
    const uint64_t peak = status_kib(sim.pid(), "VmHWM");
    EXPECT_GE(peak, written_kib) << "the flash written is not all there";
    EXPECT_LE(peak, bound_kib) << "peak resident memory after unit " << unit + 1 << ", KiB";
  }
  EXPECT_EQ(sim.stop(), 0);
}

// Flash in memory takes memory only where written: a whole line starts at
// once, and erased flash is compared without being made.
TEST(SimScale, LineInMemoryTakesMemoryOnlyWhereWritten) {
  if (SANITIZED) GTEST_SKIP() << "resident memory under AddressSanitizer is not the program's own";
  constexpr uint32_t BOARDS = 1024;
  const uint64_t bound_kib = BASE_KIB + BOARDS * PER_BOARD_KIB;
  sim_process sim(KESP_SIM_BINARY, BOARDS, std::vector<std::string>{"--nand"}, LINE_READY);
  ASSERT_TRUE(sim.ready()) << sim.log();
  EXPECT_LE(held_kib(sim.pid()), bound_kib) << "memory held when ready, KiB";
  // All of the default 16 MiB NOR, erased.
  const std::string erased(size_t{16} << 20, '\xff');
  EXPECT_EQ(download_client(sim.address(0), FLAG_COMPARE, 0, erased).verdict(), ERR_NONE);
  EXPECT_LE(held_kib(sim.pid()), bound_kib) << "after comparing erased flash, KiB";
  EXPECT_EQ(sim.stop(), 0);
}

// What cannot run is refused before anything is made: the folder the flash
// files would go to stays empty, and the message names what the user gave.
struct start_refusal {
  const char *name;
  const char *prelude;  // shell run before the simulator, for its limits
  // Whether the limit must hold for root too, which could raise it.
  bool without_privilege;
  std::vector<std::string> args;  // with DIR for the folder
  int status;
  const char *says;
};

const start_refusal START_REFUSALS[] = {
    {.name = "TooFewDescriptors",
     .prelude = "ulimit -n 64",
     .without_privilege = true,
     .args = {"--boards", "16", "--nor-file", "DIR/{addr}.nor", "--nand-file", "DIR/{addr}.nand"},
     .status = 1,
     .says = "kesp-sim: open files: 16 boards need "},
    {.name = "JournalIsTheOtherDevicesFile",
     .prelude = "",
     .without_privilege = false,
     .args = {"--nor-file", "DIR/f", "--nand-file", "DIR/f.journal"},
     .status = 2,
     .says = "the file of the NAND device and the journal of the NOR device"},
    {.name = "TemporaryIsTheOtherDevicesFile",
     .prelude = "",
     .without_privilege = false,
     .args = {"--nor-file", "DIR/f.kesp-sim-new", "--nand-file", "DIR/f"},
     .status = 2,
     .says = "the temporary file of the NAND device and the file of the NOR device"},
    {.name = "OneFileForBothDevices",
     .prelude = "",
     .without_privilege = false,
     .args = {"--nor-file", "DIR/x", "--nand-file", "DIR/x"},
     .status = 2,
     .says = "are the same file: each device needs its own"},
    {.name = "MissingFolder",
     .prelude = "",
     .without_privilege = false,
     .args = {"--nor-file", "DIR/none/x.img"},
     .status = 1,
     .says = "kesp-sim: cannot create DIR/none/x.img: No such file or directory\n"},
    {.name = "TooManyBoards",
     .prelude = "",
     .without_privilege = false,
     .args = {"--boards", "1025", "--nor-file", "DIR/{addr}"},
     .status = 2,
     .says = "invalid --boards: 1025 (one process serves 1 to 1024 boards)"},
};

class SimStartRefused : public testing::TestWithParam<int> {};

TEST_P(SimStartRefused, MakesNothing) {
  const start_refusal &c = START_REFUSALS[GetParam()];
  const std::string dir = empty_folder("refused");
  std::vector<std::string> args;
  for (std::string a : c.args) {
    if (a.rfind("DIR", 0) == 0) a = dir + a.substr(3);
    args.push_back(a);
  }
  const std::string launcher =
      c.without_privilege && geteuid() == 0 ? "setpriv --bounding-set=-sys_resource" : "";
  run_result r = run_sim_on_free_address(sim_under(c.prelude, launcher), args, RUN_LIMIT);
  std::string says = c.says;
  if (size_t at = says.find("DIR"); at != std::string::npos) says.replace(at, 3, dir);
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("listening on"), std::string::npos) << r.err;
  EXPECT_TRUE(is_empty(dir)) << "a refused start left files";
}

INSTANTIATE_TEST_SUITE_P(Starts, SimStartRefused,
                         testing::Range(0, static_cast<int>(std::size(START_REFUSALS))),
                         [](const testing::TestParamInfo<int> &p) {
                           return START_REFUSALS[p.param].name;
                         });

// Limits on the whole process set by a control group of the test's own:
// a start either serves every board or is refused before its ready line,
// naming what is short; never killed or aborted after it.
struct group_limit {
  const char *name;
  const char *controller;  // "pids" or "memory"
  const char *v1_file;
  const char *v2_file;
  const char *value;
  uint32_t boards;
  std::vector<std::string> args;
  const char *refusal;  // what the start says, or null when it must serve
};

const group_limit GROUP_LIMITS[] = {
    {.name = "TooFewTasks",
     .controller = "pids",
     .v1_file = "pids.max",
     .v2_file = "pids.max",
     .value = "50",
     .boards = 100,
     .args = {},
     .refusal = "kesp-sim: threads: 100 boards need a thread each"},
    {.name = "EnoughTasks",
     .controller = "pids",
     .v1_file = "pids.max",
     .v2_file = "pids.max",
     .value = "200",
     .boards = 100,
     .args = {},
     .refusal = nullptr},
    {.name = "TooLittleMemory",
     .controller = "memory",
     .v1_file = "memory.limit_in_bytes",
     .v2_file = "memory.max",
     .value = "67108864",
     .boards = 1024,
     .args = {},
     .refusal = "kesp-sim: memory: 1024 boards need "},
    {.name = "EnoughMemoryForALineInMemory",
     .controller = "memory",
     .v1_file = "memory.limit_in_bytes",
     .v2_file = "memory.max",
     .value = "1073741824",
     .boards = 1024,
     .args = {"--nand"},
     .refusal = nullptr},
};

// A control group of the test's own with one limit set, removed with it;
// empty path when none can be made (not root, or no such controller).
class control_group {
 public:
  explicit control_group(const group_limit &c) {
    static int count = 0;
    const std::string leaf =
        "kesp-test-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    const std::string v2 = "/sys/fs/cgroup";
    if (std::filesystem::exists(v2 + "/cgroup.controllers")) {
      std::ofstream(v2 + "/cgroup.subtree_control") << "+" << c.controller;
      try_make(v2 + "/" + leaf, c.v2_file, c.value);
    } else {
      try_make(v2 + "/" + c.controller + "/" + leaf, c.v1_file, c.value);
    }
  }
  ~control_group() {
    if (!path_.empty()) rmdir(path_.c_str());
  }
  control_group(const control_group &) = delete;
  control_group &operator=(const control_group &) = delete;
  const std::string &path() const { return path_; }

 private:
  void try_make(const std::string &dir, const char *file, const char *value) {
    if (mkdir(dir.c_str(), 0755) != 0) return;
    std::ofstream limit(dir + "/" + file);
    limit << value << std::flush;
    if (!limit) {
      rmdir(dir.c_str());
      return;
    }
    path_ = dir;
  }
  std::string path_;
};

class SimUnderGroupLimit : public testing::TestWithParam<int> {};

TEST_P(SimUnderGroupLimit, ServesOrRefusesBeforeTheReadyLine) {
  const group_limit &c = GROUP_LIMITS[GetParam()];
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a control group";
  if (SANITIZED && std::string(c.controller) == "memory" && c.refusal == nullptr) {
    GTEST_SKIP() << "AddressSanitizer's own memory would not fit the limit";
  }
  control_group group(c);
  if (group.path().empty()) GTEST_SKIP() << "no " << c.controller << " control group could be made";
  sim_process sim(sim_under("echo $$ >'" + group.path() + "/cgroup.procs' || exit 99"), c.boards,
                  c.args, LINE_READY);
  if (c.refusal == nullptr) {
    ASSERT_TRUE(sim.ready()) << sim.log();
    EXPECT_EQ(download_client(sim.address(c.boards - 1), 0, 0x100, "line end").verdict(), ERR_NONE);
    EXPECT_EQ(sim.stop(), 0) << sim.log();
  } else {
    EXPECT_FALSE(sim.ready()) << sim.log();
    EXPECT_EQ(sim.stop(), 1) << sim.log();
    EXPECT_NE(sim.log().find(c.refusal), std::string::npos) << sim.log();
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, SimUnderGroupLimit,
                         testing::Range(0, static_cast<int>(std::size(GROUP_LIMITS))),
                         [](const testing::TestParamInfo<int> &p) {
                           return GROUP_LIMITS[p.param].name;
                         });

// A write into the file that fails half way (a file-size limit stands in
// for an I/O error) keeps its journal. The next download must not write
// over it, and after a restart the blocks read wholly old or wholly new.
TEST(SimTornWrite, IsCompletedNeverMixedWithTheNext) {
  constexpr uint32_t NOR_SIZE = 2 << 20;
  constexpr uint32_t NOR_BLOCK = 64 << 10;
  constexpr uint32_t FIRST_AT = 0x160000;  // straddles the limit of 0x180000
  const std::string nor_path = temp_path("torn.nor");
  const std::string old = pattern_bytes(NOR_SIZE, 63);
  write_file(nor_path, old);
  const std::vector<std::string> args = {"--nor-file",  nor_path,
                                         "--nor-size",  std::to_string(NOR_SIZE),
                                         "--nor-block", std::to_string(NOR_BLOCK)};
  const std::string first = pattern_bytes(256 << 10, 64);
  const std::string second = pattern_bytes(4096, 65);
  auto load = [](const sim_process &sim, uint32_t at, const std::string &image) {
    const std::string path = temp_path("torn-image");
    write_file(path, image);
    char addr[16];
    snprintf(addr, sizeof addr, "0x%x", at);
    return run_program({KESP_BINARY, "-a", addr, sim.address(), path}, RUN_LIMIT).out;
  };
  std::string second_out;
  {
    sim_process sim(sim_under("ulimit -f 1536"), args);
    ASSERT_TRUE(sim.ready()) << sim.log();
    EXPECT_NE(load(sim, FIRST_AT, first).find("error = \"reprogram error\""), std::string::npos);
    second_out = load(sim, 0, second);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.log().find("[host: " + nor_path + ": " + strerror(EFBIG) + "]"),
              std::string::npos)
        << sim.log();
  }
  {
    sim_process sim(KESP_SIM_BINARY, args);
    ASSERT_TRUE(sim.ready()) << sim.log();
    EXPECT_EQ(sim.stop(), 0);
  }
  const bool second_done = second_out.find("flash update done") != std::string::npos;
  std::string without_first = old;
  if (second_done) program_flash(without_first, NOR_BLOCK, 0, second);
  std::string with_first = without_first;
  program_flash(with_first, NOR_BLOCK, FIRST_AT, first);
  const std::string now = read_file(nor_path);
  EXPECT_TRUE(now == with_first || now == without_first)
      << "the first download's blocks are torn, or the second's reply lies";
}

// A stop after the image went into the flash says so, and whether the
// final reply went out.
TEST(SimStopsTruthfully, AfterTheImageIsWritten) {
  constexpr uint32_t AT = 0x10000;
  const std::string nor_path = temp_path("stop-written.nor");
  // The slow part pauses after writing the block; the stop comes in that
  // pause, and cuts the trickled reply short.
  sim_process sim(KESP_SIM_BINARY, {"--nor-file", nor_path, "--nor-size", "1M", "--trickle",
                                    "--write-delay", "5000"});
  ASSERT_TRUE(sim.ready()) << sim.log();
  const std::string image = pattern_bytes(32 << 10, 66);
  download_client client(sim.address(), 0, AT, image);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (read_file(nor_path).substr(AT, image.size()) != image &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(read_file(nor_path).substr(AT, image.size()) == image) << "never written";
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_NE(
      sim.log().find(": done, image written, stopped after 1 of 18 bytes of the final reply\n"),
      std::string::npos)
      << sim.log();
}

// Closing the terminal stops the simulator as SIGTERM does: every cut
// connection is logged, then the stop.
TEST(SimStopsTruthfully, OnHangUpWithEveryConnectionLogged) {
  constexpr uint32_t BOARDS = 8;
  sim_process sim(KESP_SIM_BINARY, BOARDS, std::vector<std::string>{"--nor-size", "64K"});
  ASSERT_TRUE(sim.ready()) << sim.log();
  std::vector<int> clients;
  for (uint32_t i = 0; i < BOARDS; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loader_address(sim.address(i));
    ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa), 0);
    uint8_t words[2 * WORD_SIZE];
    encode_header(words, 1000, FLAG_ADDRESS);
    encode_address(words + WORD_SIZE, 0);
    std::string bytes =
        std::string(reinterpret_cast<char *>(words), sizeof words) + pattern_bytes(100, 67);
    send_all(fd, bytes.data(), bytes.size());
    // The first reply: the board is reading the image.
    uint8_t reply[REPLY_SIZE];
    EXPECT_EQ(recv_all(fd, reply, sizeof reply), static_cast<ssize_t>(REPLY_SIZE));
    clients.push_back(fd);
  }
  kill(sim.pid(), SIGHUP);
  EXPECT_TRUE(sim.wait_for_log("kesp-sim: stopped\n")) << sim.log();
  EXPECT_EQ(sim.stop(), 0) << sim.log();
  for (int fd : clients) close(fd);
  for (uint32_t i = 0; i < BOARDS; ++i) {
    EXPECT_NE(
        sim.log().find("kesp-sim: " + sim.address(i) + ": update nor addr=0x0 size=1000 crc="),
        std::string::npos)
        << sim.log();
  }
  size_t stopped = 0;
  for (size_t at = sim.log().find(": stopped after "); at != std::string::npos;
       at = sim.log().find(": stopped after ", at + 1)) {
    ++stopped;
  }
  EXPECT_EQ(stopped, BOARDS) << sim.log();
}

}  // namespace
