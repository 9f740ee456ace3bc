// The tool given images, addresses and hosts it cannot use, run as a
// process against the simulator: each gets its own message and exit
// status, and nothing reaches the flash.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t NOR_SIZE = 64 * 1024;
constexpr uint32_t NOR_BLOCK = 16 * 1024;
// The largest length the header carries, and the first it cannot.
constexpr off_t LARGEST_IMAGE = LENGTH_LIMIT - 1;
constexpr off_t TOO_LARGE_IMAGE = LENGTH_LIMIT;
// The shrinking image: its length goes out, then it loses its tail.
constexpr uint32_t SHRINK_FROM = 10000;
constexpr uint32_t SHRINK_TO = 3000;
constexpr unsigned SHRINK_SEED = 4;  // its bytes, so that the simulator's crc can be foreseen
constexpr uint32_t CHUNK = 256;      // image bytes per redraw of the bar
constexpr uint32_t SHRINK_SENT = SHRINK_TO / CHUNK * CHUNK;  // whole chunks before the short read
// Holds the first reply back while the test shrinks the image.
constexpr char FIRST_REPLY_DELAY_MS[] = "2000";
constexpr auto RUN_LIMIT = 20s;
// A local failure is found at once; anything slower waited for something.
constexpr auto PROMPT = 5s;

enum class target {
  sim,     // the simulator, whose flash must stay as it was
  header,  // a scripted target that reads the header and closes
  none,    // nothing listens: connections are refused
};

struct bad_input {
  std::string name;
  std::function<std::string()> make_image;  // returns the image's path
  std::vector<std::string> args;            // HOST and IMAGE stand for those
  target at = target::sim;
  int status = 0;
  std::string out = "";
  std::string err = "";       // ending in "...\n": any text for the rest of the line
  std::string sim_line = "";  // what the simulator logs; empty: no connection reached it
  bool shrink = false;        // truncate the image once its length has gone out
};

std::string file_of(const std::string &name, const std::string &bytes) {
  std::string path = temp_path(name);
  write_file(path, bytes);
  return path;
}

std::string sparse_file(const std::string &name, off_t size) {
  std::string path = file_of(name, "");
  EXPECT_EQ(truncate(path.c_str(), size), 0);
  return path;
}

std::string fifo() {
  std::string path = temp_path("fifo");
  EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
  return path;
}

std::string directory() {
  std::string path = temp_path("folder");
  std::filesystem::create_directory(path);
  return path;
}

const std::string BEFORE_REQUEST = "client went away before a whole request (0 bytes)";

// An image the tool cannot use: refused once connected, before the request.
bad_input unusable(std::string name, std::function<std::string()> make_image, std::string err) {
  return {.name = std::move(name),
          .make_image = std::move(make_image),
          .args = {"HOST", "IMAGE"},
          .status = 255,
          .err = std::move(err),
          .sim_line = BEFORE_REQUEST};
}

// Refused before any connection reaches a target.
bad_input unsent(std::string name, std::vector<std::string> args, target at, std::string err) {
  return {.name = std::move(name),
          .make_image = [] { return file_of("image.bin", "firmware"); },
          .args = std::move(args),
          .at = at,
          .status = 255,
          .err = std::move(err)};
}

const std::vector<bad_input> &table() {
  static const std::vector<bad_input> all = {
      unusable(
          "MissingFile", [] { return temp_path("missing.bin"); },
          "open file: No such file or directory\n"),
      unusable("Directory", directory, "open file: Is a directory\n"),
      unusable("Fifo", fifo, "get file len: Illegal seek\n"),
      unusable(
          "DevNull", [] { return std::string("/dev/null"); }, "kesp: image file is empty\n"),
      unusable(
          "EmptyFile", [] { return file_of("empty.bin", ""); }, "kesp: image file is empty\n"),
      unusable(
          "TooLargeSparseFile", [] { return sparse_file("512M.bin", TOO_LARGE_IMAGE); },
          "get file len: File too large\n"),
      // Accepted: the whole length goes out in the header, 1F FF FF FF.
      {.name = "LargestSparseFile",
       .make_image = [] { return sparse_file("512M-1.bin", LARGEST_IMAGE); },
       .args = {"HOST", "IMAGE"},
       .at = target::header,
       .status = 0,
       .out = "kesp: address = 0\nkesp: flags = 0\nkesp: connection failed: closed by target\n"},
      {.name = "FileShrinksWhileStreamed",
       .make_image =
           [] { return file_of("shrinking.bin", pattern_bytes(SHRINK_FROM, SHRINK_SEED)); },
       .args = {"HOST", "IMAGE"},
       .status = 255,
       .out = "kesp: address = 0\nkesp: flags = 0\nkesp: flash_id = 0101\n" +
              progress_bars(SHRINK_FROM, SHRINK_TO / CHUNK) + "\n",
       .err = "read file: file ended after " + std::to_string(SHRINK_TO) + " of " +
              std::to_string(SHRINK_FROM) + " bytes\n",
       .sim_line = "update nor addr=0x0 size=" + std::to_string(SHRINK_FROM) +
                   " crc=" + crc_hex(pattern_bytes(SHRINK_SENT, SHRINK_SEED), 8) +
                   ": client went away after " + std::to_string(SHRINK_SENT) + " of " +
                   std::to_string(SHRINK_FROM) + " bytes",
       .shrink = true},
      unsent("AddressNotANumber", {"-a", "0x8000x", "HOST", "IMAGE"}, target::sim,
             "kesp: invalid address: 0x8000x\n"),
      unsent("UnresolvableHost", {"board.invalid", "IMAGE"}, target::sim,
             "get host by name: ...\n"),
      unsent("ConnectionRefused", {"HOST", "IMAGE"}, target::none, "connect: Connection refused\n"),
  };
  return all;
}

// Waits until a child of ours running binary blocks in the receive of a
// reply: by then it has measured the image and sent the header.
bool wait_until_receiving(const std::string &binary, std::chrono::milliseconds limit) {
  const std::string parent = std::to_string(getpid());
  const std::string want = std::to_string(SYS_recvfrom) + " ";
  const auto program = std::filesystem::weakly_canonical(binary);
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    // Processes come and go while the folder is read: no error is fatal.
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
         it.increment(ec)) {
      std::string dir = it->path().string();
      std::error_code link_ec;
      if (std::filesystem::read_symlink(dir + "/exe", link_ec) != program) continue;
      // The field after the name and the state is the parent's id.
      std::string stat = read_file(dir + "/stat");
      size_t after_name = stat.rfind(") ");
      if (after_name == std::string::npos ||
          stat.compare(after_name + 4, parent.size() + 1, parent + " ") != 0) {
        continue;
      }
      if (read_file(dir + "/syscall").rfind(want, 0) == 0) return true;
    }
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

std::string fill(const std::string &word, const std::string &host, const std::string &image) {
  if (word == "HOST") return host;
  if (word == "IMAGE") return image;
  return word;
}

class BadInput : public testing::TestWithParam<int> {};

TEST_P(BadInput, RefusedWithItsMessageAndFlashUntouched) {
  const bad_input &c = table()[static_cast<size_t>(GetParam())];
  const std::string image = c.make_image();

  std::unique_ptr<flashed_sim> sim;
  std::unique_ptr<scripted_target> reader;
  std::unique_ptr<refusing_address> nobody;
  std::string host;
  if (c.at == target::sim) {
    std::vector<std::string> faults;
    if (c.shrink) faults = {"--reply-delay", FIRST_REPLY_DELAY_MS};
    sim = std::make_unique<flashed_sim>(KESP_SIM_BINARY, NOR_SIZE, NOR_BLOCK, faults);
    ASSERT_TRUE(sim->sim->ready()) << sim->sim->log();
    host = sim->sim->address();
  } else if (c.at == target::header) {
    reader = std::make_unique<scripted_target>([](scripted_target::session &s) {
      s.receive(WORD_SIZE);
      s.close();
    });
    ASSERT_TRUE(reader->listening()) << "no free loopback address";
    host = reader->address();
  } else {
    nobody = std::make_unique<refusing_address>();
    ASSERT_FALSE(nobody->address().empty()) << "no free loopback address";
    host = nobody->address();
  }

  std::vector<std::string> argv = {KESP_BINARY};
  for (const auto &word : c.args) argv.push_back(fill(word, host, image));
  auto began = std::chrono::steady_clock::now();
  run_result r;
  std::thread tool([&] { r = run_program(argv, RUN_LIMIT); });
  if (c.shrink) {
    bool measured = wait_until_receiving(KESP_BINARY, PROMPT);
    EXPECT_TRUE(measured) << "the tool never waited for the first reply";
    EXPECT_EQ(truncate(image.c_str(), SHRINK_TO), 0);
  }
  tool.join();
  auto took = std::chrono::steady_clock::now() - began;

  EXPECT_FALSE(r.signaled) << "status " << r.status;
  EXPECT_EQ(r.status, c.status);
  if (!c.shrink) {
    EXPECT_LT(took, PROMPT);
  }
  EXPECT_EQ(r.out, c.out);
  const std::string any = "...\n";
  if (c.err.size() > any.size() && c.err.compare(c.err.size() - any.size(), any.size(), any) == 0) {
    std::string prefix = c.err.substr(0, c.err.size() - any.size());
    EXPECT_EQ(r.err.rfind(prefix, 0), 0U) << r.err;
    EXPECT_GT(r.err.size(), prefix.size() + 1) << "no reason given";
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  } else {
    EXPECT_EQ(r.err, c.err);
  }

  if (reader) {
    ASSERT_TRUE(reader->finish()) << "the tool never connected";
    EXPECT_EQ(reader->seen().received, std::string("\x1f\xff\xff\xff", WORD_SIZE));
  }
  if (sim) {
    if (!c.sim_line.empty()) {
      EXPECT_TRUE(sim->sim->wait_for_log("kesp-sim: " + c.sim_line + "\n"));
    }
    EXPECT_EQ(sim->sim->stop(), 0);
    std::string lines = c.sim_line.empty() ? "" : "kesp-sim: " + c.sim_line + "\n";
    EXPECT_EQ(sim->sim->log(),
              "kesp-sim: listening on " + host + ":57000\n" + lines + "kesp-sim: stopped\n");
    EXPECT_TRUE(read_file(sim->nor_path) == sim->nor) << "the flash changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Inputs, BadInput, testing::Range(0, static_cast<int>(table().size())),
                         [](const testing::TestParamInfo<int> &p) {
                           return table()[static_cast<size_t>(p.param)].name;
                         });

}  // namespace
