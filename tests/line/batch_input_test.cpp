// kesp-batch's inputs as they come: images that change while the line
// runs, board lists and recipes as people save them, standard input, a
// limit of open files, and the live view as each board ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "batch_support.h"
#include "recipe.h"
#include "snapshot.h"
#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// More than two of kesp-batch's 128 KiB pieces.
constexpr uint32_t IMAGE_SIZE = 300000;
constexpr uint32_t NOR_SIZE = 1 << 20;
constexpr uint32_t NOR_BLOCK = 64 << 10;
constexpr char SIM_CONNECTION[] = "kesp-sim: update";  // the start of a logged download

// SHA-256 as sha256sum, a program of its own, computes it.
std::string sha256_of(const std::string &bytes) {
  const std::string path = temp_path("sha-input.bin");
  write_file(path, bytes);
  run_result r = run_program({"/usr/bin/sha256sum", path});
  return r.out.substr(0, 64);
}

// When the test changes the image, as the first board sees it.
enum class moment : uint8_t {
  before_reply,  // the request is in: the image is checked, no image byte sent yet
  mid_image,     // the first image bytes are in: the first send is under way
};

// A target that behaves as a board would, but lets the test change the
// image at the given moment of its load.
struct honest_board {
  std::shared_ptr<size_t> header = std::make_shared<size_t>(0);
  std::unique_ptr<scripted_target> target;
  honest_board(const std::function<void()> &meanwhile, moment when) {
    auto header_size = header;
    target = std::make_unique<scripted_target>([meanwhile, header_size, when](auto &s) {
      if (!s.request()) return;
      *header_size = s.received.size();
      if (when == moment::before_reply) meanwhile();
      s.send(reply({0x0101, 0, 0, 0, 0}));
      if (when == moment::mid_image) {
        if (!s.receive(1)) return;
        meanwhile();
        // The rest of what the header announced.
        if (!s.receive(IMAGE_SIZE - 1)) return;
      } else if (!s.image()) {
        return;
      }
      std::string image = s.received.substr(*header_size);
      s.send(reply({0x0101, 0, 0, static_cast<uint32_t>(image.size()), crc_of(image)}));
      s.close();
    });
  }
  std::string image() const { return target->seen().received.substr(*header); }
};

struct change_case {
  std::string label;
  bool per_board;  // the image is {board}'s file, each board's own
  moment when;
  std::function<void(const std::string &path, const std::string &other)> change;
};

void rewrite_in_place(const std::string &path, const std::string &other) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
  close(fd);
}

void truncate_to_half(const std::string &path, const std::string & /*other*/) {
  ASSERT_EQ(truncate(path.c_str(), IMAGE_SIZE / 2), 0);
}

// A board that passed holds the bytes the run checked, whatever became of
// the file: the first board meets the change mid-step, before its first
// reply or with its image on the wire (the digest of a large image may
// still be under way then), the second (-j 1) starts after it.
TEST(BatchSnapshot, ImageChangedDuringTheRunChangesNothingSent) {
  const std::vector<change_case> cases = {
      {.label = "rewritten in place",
       .per_board = false,
       .when = moment::before_reply,
       .change = rewrite_in_place},
      {.label = "truncated to half",
       .per_board = false,
       .when = moment::before_reply,
       .change = truncate_to_half},
      {.label = "replaced by rename",
       .per_board = false,
       .when = moment::before_reply,
       .change =
           [](auto path, auto other) {
             write_file(path + ".new", other);
             ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
           }},
      {.label = "per-board file rewritten in place",
       .per_board = true,
       .when = moment::before_reply,
       .change = rewrite_in_place},
      {.label = "rewritten in place during the first send",
       .per_board = false,
       .when = moment::mid_image,
       .change = rewrite_in_place},
      {.label = "truncated to half during the first send",
       .per_board = false,
       .when = moment::mid_image,
       .change = truncate_to_half},
  };
  const std::string original = pattern_bytes(IMAGE_SIZE, 40);
  const std::string other = pattern_bytes(IMAGE_SIZE, 41);
  const std::string original_sha = sha256_of(original);
  int number = 0;
  for (const change_case &c : cases) {
    SCOPED_TRACE(c.label);
    const std::string dir = temp_path("changed-" + std::to_string(++number));
    ASSERT_TRUE(std::filesystem::create_directories(dir));
    std::vector<std::string> paths;
    flashed_sim second(KESP_SIM_BINARY, NOR_SIZE, NOR_BLOCK);
    ASSERT_TRUE(second.sim->ready());
    honest_board first(
        [&] {
          for (const std::string &path : paths) c.change(path, other);
        },
        c.when);
    ASSERT_TRUE(first.target->listening());
    const std::string a = first.target->address();
    const std::string b = second.sim->address();
    std::string image = dir + "/app.bin";
    if (c.per_board) {
      image = dir + "/{board}.bin";
      paths = {dir + "/" + a + ".bin", dir + "/" + b + ".bin"};
    } else {
      paths = {image};
    }
    for (const std::string &path : paths) write_file(path, original);
    const std::string report_path = dir + "/line.jsonl";
    run_result r =
        run_batch({"-j", "1", "--retries", "0", "-i", image, "--report", report_path, a, b}, 30s);
    first.target->finish();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(first.image(), original);
    EXPECT_EQ(read_file(second.nor_path).substr(0, IMAGE_SIZE), original);
    report rep = read_report(report_path);
    for (const std::string &board : {a, b}) {
      json j = rep.step(board, 1);
      EXPECT_EQ(j["result"], "passed") << board;
      EXPECT_EQ(j["size"], IMAGE_SIZE) << board;
      EXPECT_EQ(j["crc"], crc_hex(original, 8)) << board;
      EXPECT_EQ(j["sha256"], original_sha) << board;
    }
  }
}

// The copy and its digest, whether made at once or beside the caller, and
// whatever is done with the snapshot while it is made: moved, taken again,
// or dropped before anyone asked.
TEST(BatchSnapshot, CopyAndDigestMatchTheFileAtEverySize) {
  const std::string dir = temp_path("snapshot-sizes");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  // The copy's pieces grow from 64 KiB, twice each time, to 1 MiB: sizes
  // either side of their ends, copied at once and beside the caller.
  constexpr size_t KIB = 1024;
  for (size_t size :
       {size_t{1}, 64 * KIB - 1, 64 * KIB, 64 * KIB + 1, 192 * KIB + 1, size_t{1} << 20,
        (size_t{1} << 20) + 1, 1984 * KIB, 1984 * KIB + 1, size_t{3} << 20}) {
    SCOPED_TRACE(size);
    const std::string path = dir + "/image-" + std::to_string(size) + ".bin";
    const std::string bytes = pattern_bytes(size, 43);
    write_file(path, bytes);
    std::vector<snapshot> copies;
    for (int i = 0; i < 3; ++i) {
      snapshot s;
      ASSERT_EQ(s.take(path), "");
      // Each push may move the ones before while their digests run.
      copies.push_back(std::move(s));
    }
    const std::string want = sha256_of(bytes);
    for (const snapshot &s : copies) EXPECT_EQ(s.sha256(), want);
    // Once made, the file's end no longer matters to any of them.
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    for (const snapshot &s : copies) {
      ASSERT_EQ(s.size(), size);
      EXPECT_EQ(s.ready(), size);
      std::string copied(size + 1, '\0');
      ASSERT_EQ(pread(s.fd(), copied.data(), copied.size(), 0), static_cast<ssize_t>(size));
      copied.resize(size);
      EXPECT_TRUE(copied == bytes);
      EXPECT_EQ(s.sha256(), want);
      EXPECT_EQ(s.sha256(), want);  // asked again: the same answer, not a second wait
    }
    write_file(path, bytes);
    {
      snapshot unasked;
      ASSERT_EQ(unasked.take(path), "");
    }
    snapshot dropped;
    ASSERT_EQ(dropped.take(path), "");
    // Taken again at once: the first copy and its digest give way.
    ASSERT_EQ(dropped.take(path), "");
    EXPECT_EQ(dropped.sha256(), want);
  }
}

struct list_case {
  std::string label;
  std::string text;
  std::vector<std::string> boards;  // what the list gives; empty when refused
  std::string error;                // the refusal, whole
};

TEST(BatchBoardList, SavedWithAMarkOrHoldingNamesThatLeaveTheirFolder) {
  const std::vector<list_case> cases = {
      {.label = "byte order mark",
       .text = "\xef\xbb\xbf"
               "10.0.0.1\n10.0.0.2\n",
       .boards = {"10.0.0.1", "10.0.0.2"},
       .error = ""},
      {.label = "mark and CR LF, a comment first",
       .text = "\xef\xbb\xbf# line\r\nb1\r\n",
       .boards = {"b1"},
       .error = ""},
      {.label = "a mark later on is no mark",
       .text = "b1\n\xef\xbb\xbf"
               "b2\n",
       .boards = {"b1",
                  "\xef\xbb\xbf"
                  "b2"},
       .error = ""},
      {.label = "up and out",
       .text = "b1\n../../outside\n",
       .boards = {},
       .error = "l.txt:2: \"../../outside\" is not a board name: it holds a \"/\""},
      {.label = "dots",
       .text = "..\n",
       .boards = {},
       .error = "l.txt:1: \"..\" is not a board name: it is made only of dots"},
      {.label = "one dot",
       .text = "b1\n\n.\n",
       .boards = {},
       .error = "l.txt:3: \".\" is not a board name: it is made only of dots"},
      {.label = "NUL",
       .text = std::string("b1\nb\0x\n", 7),
       .boards = {},
       .error = "l.txt:2: \"b\\x00x\" is not a board name: it holds a NUL or control character"},
      {.label = "escape",
       .text = "b\x1b[2J\n",
       .boards = {},
       .error = "l.txt:1: \"b\\x1b[2J\" is not a board name: it holds a NUL or control character"},
  };
  for (const list_case &c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> boards;
    std::string error;
    bool ok = parse_board_list(c.text, "l.txt", &boards, &error);
    EXPECT_EQ(ok, c.error.empty());
    EXPECT_EQ(error, c.error);
    if (ok) {
      EXPECT_EQ(boards, c.boards);
    }
  }
}

TEST(BatchRecipe, ByteOrderMarkIsSkipped) {
  std::vector<step> steps;
  std::string error;
  ASSERT_TRUE(parse_recipe("\xef\xbb\xbf-a 0x100 boot.bin\n", "r.txt", ".", &steps, &error))
      << error;
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].file, "boot.bin");
  EXPECT_EQ(steps[0].address, 0x100u);
}

// What the board list of a station script, piped in, or a name on the
// command line gives: run, or refused with exit 2 before anything is sent.
struct stdin_case {
  std::string label;
  std::string command;  // for bash: $B the board, $I the image, $D a folder, $K kesp-batch
  int status;
  std::string err;  // standard error holds it; "" for none at all
  bool sends;       // the board is loaded
};

TEST(BatchInputs, StandardInputAndBoardNamesOnTheCommandLine) {
  const std::vector<stdin_case> cases = {
      {.label = "board list on standard input, with a mark",
       .command = "printf '\\357\\273\\277# line\\n%s\\n' \"$B\" | \"$K\" -i \"$I\" -b -",
       .status = 0,
       .err = "",
       .sends = true},
      {.label = "recipe on standard input, files from the current folder",
       .command = "cd \"$D\" && echo '-a 0x0 app.bin' | \"$K\" -r - \"$B\"",
       .status = 0,
       .err = "",
       .sends = true},
      {.label = "both on standard input",
       .command = "echo \"$B\" | \"$K\" -r - -b -",
       .status = 2,
       .err = "kesp-batch: standard input can be read once",
       .sends = false},
      {.label = "a bad name on standard input",
       .command = "printf '%s\\n../x\\n' \"$B\" | \"$K\" -i \"$I\" -b -",
       .status = 2,
       .err = "kesp-batch: standard input:2: \"../x\" is not a board name: it holds a \"/\"\n",
       .sends = false},
      {.label = "a bad name on the command line",
       .command = "\"$K\" -i \"$I\" \"$B\" ..",
       .status = 2,
       .err = "kesp-batch: command line: \"..\" is not a board name: it is made only of dots\n",
       .sends = false},
      {.label = "a descriptor limit that cannot hold one board",
       .command = "ulimit -n 8 && \"$K\" -i \"$I\" \"$B\"",
       .status = 2,
       .err = "kesp-batch: the limit of open files (8) cannot hold one board at work: it needs 34 "
              "(ulimit -n)\n",
       .sends = false},
  };
  const std::string dir = temp_path("stdin");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  const std::string image = dir + "/app.bin";
  write_file(image, pattern_bytes(5000, 42));
  for (const stdin_case &c : cases) {
    SCOPED_TRACE(c.label);
    sim_process board(KESP_SIM_BINARY, {});
    ASSERT_TRUE(board.ready());
    run_result r =
        run_program({"/bin/bash", "-c", "B=\"$1\" I=\"$2\" D=\"$3\" K=\"$4\"; " + c.command, "bash",
                     board.address(), image, dir, KESP_BATCH_BINARY},
                    20s);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (c.err.empty() || c.err.back() == '\n') {
      EXPECT_EQ(r.err, c.err);
    } else {
      EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
    }
    board.stop();
    EXPECT_EQ(board.log().find(SIM_CONNECTION) != std::string::npos, c.sends) << board.log();
  }
}

// A limit of open files too low for every board at once lowers -j, says
// to what, and the line still passes.
TEST(BatchInputs, LowDescriptorLimitLowersTheBoardsAtOnce) {
  const std::string image = temp_path("limit.bin");
  write_file(image, pattern_bytes(5000, 43));
  sim_process boards(KESP_SIM_BINARY, 10, std::vector<std::string>{});
  ASSERT_TRUE(boards.ready());
  std::string command = "ulimit -n 40 && exec \"$0\" -i \"$1\"";
  std::vector<std::string> argv = {"/bin/bash", "-c", "", KESP_BATCH_BINARY, image};
  for (uint32_t i = 0; i < 10; ++i) {
    command += " \"${" + std::to_string(i + 2) + "}\"";
    argv.push_back(boards.address(i));
  }
  argv[2] = command;
  run_result r = run_program(argv, 30s);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err,
            "kesp-batch: 10 boards at once would pass the limit of 40 open files; 7 at once\n");
  EXPECT_NE(r.out.find("kesp-batch: 10 passed, 0 failed (10 boards)"), std::string::npos) << r.out;
}

// The screen as redraws leave it: the lines printed so far, and the block
// each redraw drew below them.
struct frame {
  std::vector<std::string> printed;  // PASS and FAIL lines, in this redraw
  std::vector<std::string> block;    // the live block it drew
};

std::vector<frame> frames_of(const std::string &screen) {
  std::vector<frame> frames;
  size_t at = 0;
  while (at < screen.size()) {
    size_t clear = screen.find("\x1b[J", at);
    size_t from = clear == std::string::npos ? screen.size() : clear + 3;
    size_t up = screen.find("\x1b[", from);
    std::istringstream text(
        screen.substr(from, (up == std::string::npos ? screen.size() : up) - from));
    frame f;
    std::string line;
    while (std::getline(text, line)) {
      if (line.starts_with("PASS ") || line.starts_with("FAIL ")) {
        f.printed.push_back(line);
      } else if (!line.starts_with("kesp-batch: ") && !line.empty()) {
        f.block.push_back(line);
      }
    }
    if (clear != std::string::npos) frames.push_back(f);
    if (up == std::string::npos) break;
    at = up;
  }
  return frames;
}

// Six boards answering within milliseconds of each other: from the redraw
// that prints a board's line on, it is gone from the boards at work and
// counted among the done.
TEST(BatchOutput, LiveViewNeverLagsThePrintedLines) {
  constexpr uint32_t BOARDS = 6;
  const std::string path = temp_path("frames.bin");
  write_file(path, pattern_bytes(3000, 44));
  sim_process boards(KESP_SIM_BINARY, BOARDS, std::vector<std::string>{"--final-delay", "700"});
  ASSERT_TRUE(boards.ready());
  std::vector<std::string> words = {KESP_BATCH_BINARY, "-i", path};
  for (uint32_t i = 0; i < BOARDS; ++i) words.push_back(boards.address(i));
  int master = -1;
  pid_t pid = start_on_terminal(words, {.rows = 40, .cols = 120}, &master);
  ASSERT_GE(pid, 0);
  std::string screen;
  EXPECT_EQ(read_terminal(master, pid, &screen), 0) << screen;

  const std::regex count(R"(^(\d+)/6 boards done: (\d+) passed, 0 failed)");
  std::set<std::string> done;
  bool waited = false;
  for (const frame &f : frames_of(screen)) {
    for (const std::string &line : f.printed) done.insert(line.substr(5, line.find(':') - 5));
    for (const std::string &line : f.block) {
      waited = waited || line.find("waiting for the board's verdict") != std::string::npos;
      for (const std::string &board : done) {
        EXPECT_FALSE(line.starts_with(board + "  step")) << line << "\n" << screen;
      }
    }
    if (f.block.empty()) continue;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(f.block.back(), m, count)) << f.block.back();
    EXPECT_EQ(std::stoul(m[1]), done.size()) << f.block.back() << "\n" << screen;
    EXPECT_EQ(std::stoul(m[2]), done.size()) << f.block.back() << "\n" << screen;
  }
  EXPECT_EQ(done.size(), BOARDS) << screen;
  EXPECT_TRUE(waited) << screen;
}

}  // namespace
