// kesp-batch's own files: an output never destroys an input or another
// output, a refused run changes nothing, a full disk leaves whole lines,
// names we make up follow no planted link, and "-" is standard output.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "batch_support.h"
#include "support.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr char SIM_CONNECTION[] = "kesp-sim: update";  // the start of a logged download
constexpr char JUNIT_TEMP[] = ".kesp-batch-new";       // the JUnit file's temporary, beside it

// A folder of inputs that the cases name, each with bytes to compare after.
struct inputs {
  std::string dir = temp_path("files-" + std::to_string(counter()));
  std::string image = dir + "/image.bin";
  std::string recipe = dir + "/line.recipe";
  std::string boards = dir + "/boards.txt";
  std::string logs = dir + "/logs";  // not made: a refused run must not make it
  explicit inputs(const std::string &board) {
    fs::create_directories(dir);
    write_file(image, pattern_bytes(5000, 40));
    write_file(recipe, "-a 0x0 image.bin\n");
    write_file(boards, board + "\n");
  }
  std::vector<std::string> files() const { return {image, recipe, boards}; }
  static int counter() {
    static int n = 0;
    return ++n;
  }
};

bool is_link(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

struct clash {
  std::string label;
  std::function<std::vector<std::string>(const inputs &in, const std::string &board)> args;
  std::function<std::string(const inputs &in, const std::string &board)> message;
};

// Every clash exits 2 before a connection, with every input as it was.
TEST(BatchFiles, OutputNamingAnInputOrAnotherOutputIsRefused) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::vector<clash> cases = {
      {.label = "report is the image",
       .args =
           [](auto &in, auto b) {
             return std::vector<std::string>{"-i", in.image, "--report", in.image, b};
           },
       .message =
           [](auto &in, auto) {
             return "--report " + in.image + ": the same file as the image " + in.image;
           }},
      {.label = "report is the image by a link",
       .args =
           [](auto &in, auto b) {
             EXPECT_EQ(symlink(in.image.c_str(), (in.dir + "/copy.bin").c_str()), 0);
             return std::vector<std::string>{"-i", in.image, "--report", in.dir + "/copy.bin", b};
           },
       .message = [](auto &in, auto) { return ": the same file as the image " + in.image; }},
      {.label = "report is the JUnit file",
       .args =
           [](auto &in, auto b) {
             return std::vector<std::string>{
                 "-i", in.image, "--report", in.dir + "/out", "--junit", in.dir + "/./out", b};
           },
       .message =
           [](auto &in, auto) {
             return "--junit " + in.dir + "/./out: the same file as --report " + in.dir + "/out";
           }},
      {.label = "report is a board's log",
       .args =
           [](auto &in, auto b) {
             return std::vector<std::string>{
                 "-i", in.image, "--log-dir", in.logs, "--report", in.logs + "/" + b + ".log", b};
           },
       .message =
           [](auto &in, auto b) {
             return "--report " + in.logs + "/" + b + ".log: the same file as the log of board " +
                    b;
           }},
      {.label = "report is the recipe",
       .args =
           [](auto &in, auto b) {
             return std::vector<std::string>{"-r", in.recipe, "--report", in.recipe, b};
           },
       .message = [](auto &in, auto) { return ": the same file as the recipe " + in.recipe; }},
      {.label = "report is the board list",
       .args =
           [](auto &in, auto) {
             return std::vector<std::string>{"-i",      in.image,   "-b",
                                             in.boards, "--report", in.boards};
           },
       .message = [](auto &in, auto) { return ": the same file as the board list " + in.boards; }},
      {.label = "JUnit file is the image",
       .args =
           [](auto &in, auto b) {
             return std::vector<std::string>{"-i", in.image, "--junit", in.image, b};
           },
       .message = [](auto &in,
                     auto) { return "--junit " + in.image + ": the same file as the image"; }},
  };
  for (const clash &c : cases) {
    SCOPED_TRACE(c.label);
    inputs in(board.address());
    std::vector<std::string> before;
    for (const std::string &f : in.files()) before.push_back(read_file(f));
    run_result r = run_batch(c.args(in, board.address()), 20s);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message(in, board.address())), std::string::npos) << r.err;
    for (size_t i = 0; i < before.size(); ++i)
      EXPECT_TRUE(read_file(in.files()[i]) == before[i]) << in.files()[i] << " changed";
    EXPECT_FALSE(fs::exists(in.logs));
    EXPECT_FALSE(fs::exists(in.dir + "/out"));
  }
  board.stop();
  EXPECT_EQ(board.log().find(SIM_CONNECTION), std::string::npos) << board.log();
}

// A target that takes the connection and says nothing until finish():
// *connected is ready once kesp-batch is at work.
std::unique_ptr<scripted_target> holding_target(std::future<void> *connected) {
  auto promise = std::make_shared<std::promise<void>>();
  *connected = promise->get_future();
  return std::make_unique<scripted_target>(
      [promise](scripted_target::session &) { promise->set_value(); });
}

// A run at work holds its report and its JUnit file: a second run on
// either is refused, naming the first, and the first's file stays whole.
TEST(BatchFiles, SecondRunOnTheSameOutputIsRefusedNamingTheHolder) {
  sim_process other(KESP_SIM_BINARY, {});
  ASSERT_TRUE(other.ready());
  const std::string image = temp_path("held.bin");
  write_file(image, pattern_bytes(3000, 41));
  for (const std::string &option : {std::string("--report"), std::string("--junit")}) {
    SCOPED_TRACE(option);
    std::future<void> connected;
    auto held = holding_target(&connected);
    ASSERT_TRUE(held->listening());
    const std::string path = temp_path("held" + option);
    batch_process first({"--retries", "0", "-i", image, option, path, held->address()});
    ASSERT_EQ(connected.wait_for(10s), std::future_status::ready);
    run_result second = run_batch({"-i", image, option, path, other.address()}, 20s);
    EXPECT_EQ(second.status, 2) << second.err;
    EXPECT_NE(second.err.find(option + " " + path + ": in use by another run (process " +
                              std::to_string(first.pid()) + ")"),
              std::string::npos)
        << second.err;
    held->finish();
    EXPECT_EQ(first.wait(20s), 1) << first.err();
    if (option == "--report") {
      report rep = read_report(path);
      EXPECT_EQ(rep.error, "");
      EXPECT_EQ(rep.summary["failed"], 1);
      EXPECT_EQ(rep.steps.size(), 1u);
    } else {
      std::string error;
      EXPECT_EQ(read_junit(path, &error)[held->address()], "failure:connection") << error;
    }
  }
  other.stop();
  EXPECT_EQ(other.log().find(SIM_CONNECTION), std::string::npos) << other.log();
}

// A file-size limit is a write error like a full disk: the report keeps
// its whole lines only, the boards finish, the summary is printed, exit 3.
TEST(BatchFiles, FileSizeLimitLeavesWholeLinesAndExitsThree) {
  constexpr uint32_t BOARDS = 3;
  sim_process boards(KESP_SIM_BINARY, BOARDS, std::vector<std::string>{});
  ASSERT_TRUE(boards.ready());
  const std::string image = temp_path("limit.bin");
  write_file(image, pattern_bytes(3000, 42));
  const std::string report_path = temp_path("limit.jsonl");
  // 2 KiB: a few step objects fit, the six and the summary do not.
  std::string command = "ulimit -f 2 && exec '" + std::string(KESP_BATCH_BINARY) + "' -i '" +
                        image + "' --verify --report '" + report_path + "'";
  for (uint32_t i = 0; i < BOARDS; ++i) command += " " + boards.address(i);
  run_result r = run_program({"/bin/bash", "-c", command}, 30s);
  EXPECT_FALSE(r.signaled) << r.status;
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_NE(r.out.find("kesp-batch: 3 passed"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("--report " + report_path + ": File too large"), std::string::npos) << r.err;
  const std::string text = read_file(report_path);
  EXPECT_TRUE(!text.empty() && text.back() == '\n') << text;
  report rep = read_report(report_path);
  EXPECT_EQ(rep.error, "");
  EXPECT_LT(rep.steps.size(), 2 * BOARDS);
  EXPECT_TRUE(rep.summary.is_null());
}

struct refused_run {
  std::string label;
  std::function<std::vector<std::string>(const inputs &in, const std::string &board)> args;
  std::string message;
};

// Whatever stops a run before it starts, the report, the JUnit file and
// the folders are as they were: nothing emptied, made or removed.
TEST(BatchFiles, RefusedRunChangesNothingOnDisk) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::vector<refused_run> cases = {
      {.label = "missing image",
       .args =
           [](auto &in, auto b) {
             return std::vector<std::string>{"-i", in.dir + "/none.bin", b};
           },
       .message = "No such file or directory"},
      {.label = "JUnit file in a missing folder",
       .args =
           [](auto &in, auto b) {
             return std::vector<std::string>{"-i", in.image, "--junit", in.dir + "/no/j.xml", b};
           },
       .message = "--junit "},
      {.label = "JUnit temporary planted as a link",
       .args =
           [](auto &in, auto b) {
             EXPECT_EQ(
                 symlink((in.dir + "/victim").c_str(), (in.dir + "/j.xml" + JUNIT_TEMP).c_str()),
                 0);
             return std::vector<std::string>{"-i", in.image, "--junit", in.dir + "/j.xml", b};
           },
       .message = "j.xml.kesp-batch-new is a symbolic link"},
  };
  for (const refused_run &c : cases) {
    SCOPED_TRACE(c.label);
    inputs in(board.address());
    const std::string report_path = in.dir + "/old.jsonl";
    const std::string junit_path = in.dir + "/j.xml";
    write_file(report_path, "{\"type\":\"summary\"}\n");
    write_file(junit_path, "<testsuites/>\n");
    write_file(in.dir + "/victim", "victim");
    std::vector<std::string> args = c.args(in, board.address());
    args.insert(args.end(), {"--report", report_path, "--log-dir", in.logs});
    if (std::find(args.begin(), args.end(), "--junit") == args.end())
      args.insert(args.end(), {"--junit", junit_path});
    run_result r = run_batch(args, 20s);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(read_file(report_path), "{\"type\":\"summary\"}\n");
    EXPECT_EQ(read_file(junit_path), "<testsuites/>\n");
    EXPECT_EQ(read_file(in.dir + "/victim"), "victim");
    EXPECT_FALSE(fs::exists(in.logs));
  }
  board.stop();
  EXPECT_EQ(board.log().find(SIM_CONNECTION), std::string::npos) << board.log();
}

// A link planted at a board's log name is refused, not followed.
TEST(BatchFiles, LinkAtABoardsLogNameIsNotFollowed) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  inputs in(board.address());
  fs::create_directories(in.logs);
  const std::string victim = in.dir + "/victim";
  const std::string log = in.logs + "/" + board.address() + ".log";
  write_file(victim, "victim");
  ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
  run_result r = run_batch({"-i", in.image, "--log-dir", in.logs, board.address()}, 20s);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find(log + " is a symbolic link"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(victim), "victim");
  EXPECT_TRUE(is_link(log));
  board.stop();
  EXPECT_EQ(board.log().find(SIM_CONNECTION), std::string::npos) << board.log();
}

// The JUnit file of an earlier run is gone once a run starts, and the new
// one appears whole at the end: after kill -9 there is none, and the next
// run takes over the temporary left behind.
TEST(BatchFiles, JunitFileIsAbsentOrWholeAfterAKill) {
  sim_process fast(KESP_SIM_BINARY, {});
  ASSERT_TRUE(fast.ready());
  std::future<void> connected;
  auto held = holding_target(&connected);
  ASSERT_TRUE(held->listening());
  const std::string image = temp_path("killed.bin");
  write_file(image, pattern_bytes(3000, 43));
  const std::string junit_path = temp_path("killed.xml");
  write_file(junit_path, "<testsuites/>\n");
  {
    batch_process killed({"-i", image, "--junit", junit_path, held->address()});
    ASSERT_EQ(connected.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(fs::exists(junit_path));
    killed.signal(SIGKILL);
    EXPECT_EQ(killed.wait(10s), 128 + SIGKILL);
  }
  held->finish();
  EXPECT_FALSE(fs::exists(junit_path));
  run_result r = run_batch({"-i", image, "--junit", junit_path, fast.address()}, 20s);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string error;
  EXPECT_EQ(read_junit(junit_path, &error)[fast.address()], "passed") << error;
  EXPECT_FALSE(fs::exists(junit_path + JUNIT_TEMP));
}

// "--report -": standard output carries the JSON Lines and nothing else,
// the lines for people go to standard error, and no file "-" is made.
TEST(BatchFiles, ReportDashGoesToStandardOutputAlone) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  inputs in(board.address());
  run_result r = run_program({"/bin/bash", "-c",
                              "cd '" + in.dir + "' && exec '" + KESP_BATCH_BINARY +
                                  "' -i image.bin --verify --report - " + board.address()});
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  std::string line;
  size_t objects = 0;
  while (std::getline(lines, line)) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << line;
    ++objects;
  }
  EXPECT_EQ(objects, 3u) << r.out;
  EXPECT_NE(r.err.find(board.address() + ": step 2/2 compare nor 0x0 image.bin: passed"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("kesp-batch: 1 passed"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(in.dir + "/-"));
}

}  // namespace
