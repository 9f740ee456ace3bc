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
  std::string link = dir + "/copy.bin";  // the image by another name
  std::string logs = dir + "/logs";      // not made: a refused run must not make it
  explicit inputs(const std::string &board) {
    fs::create_directories(dir);
    write_file(image, pattern_bytes(5000, 40));
    write_file(recipe, "-a 0x0 image.bin\n");
    write_file(boards, board + "\n");
    EXPECT_EQ(symlink(image.c_str(), link.c_str()), 0);
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

struct refusal {
  std::string label;
  std::vector<std::string> args;
  std::string message;  // what standard error must hold
};

// Runs each case: exit 2 with its message, every input as it was, no
// log folder made, and not a connection to the board.
void expect_refused(const std::vector<refusal> &cases, const inputs &in, sim_process *board) {
  std::vector<std::string> before;
  for (const std::string &f : in.files()) before.push_back(read_file(f));
  for (const refusal &c : cases) {
    SCOPED_TRACE(c.label);
    run_result r = run_batch(c.args, 20s);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    for (size_t i = 0; i < before.size(); ++i)
      EXPECT_TRUE(read_file(in.files()[i]) == before[i]) << in.files()[i] << " changed";
    EXPECT_FALSE(fs::exists(in.logs));
  }
  board->stop();
  EXPECT_EQ(board->log().find(SIM_CONNECTION), std::string::npos) << board->log();
}

TEST(BatchFiles, OutputNamingAnInputOrAnotherOutputIsRefused) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::string b = board.address();
  inputs in(b);
  const std::string out = in.dir + "/out";
  const std::string log = in.logs + "/" + b + ".log";
  const std::string same = ": the same file as ";
  expect_refused(
      {
          {.label = "report is the image",
           .args = {"-i", in.image, "--report", in.image, b},
           .message = "--report " + in.image + same + "the image " + in.image},
          {.label = "report is the image by a link",
           .args = {"-i", in.image, "--report", in.link, b},
           .message = "--report " + in.link + same + "the image " + in.image},
          {.label = "report is the JUnit file, neither there yet",
           .args = {"-i", in.image, "--report", out, "--junit", in.dir + "/./out", b},
           .message = "--junit " + in.dir + "/./out" + same + "--report " + out},
          {.label = "report is a board's log",
           .args = {"-i", in.image, "--log-dir", in.logs, "--report", log, b},
           .message = "--report " + log + same + "the log of board " + b},
          {.label = "report is the recipe",
           .args = {"-r", in.recipe, "--report", in.recipe, b},
           .message = same + "the recipe " + in.recipe},
          {.label = "report is the board list",
           .args = {"-i", in.image, "-b", in.boards, "--report", in.boards},
           .message = same + "the board list " + in.boards},
          {.label = "JUnit file is the image",
           .args = {"-i", in.image, "--junit", in.link, b},
           .message = "--junit " + in.link + same + "the image"},
      },
      in, &board);
  EXPECT_FALSE(fs::exists(out));
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
  // Under the limit, as the image's snapshot is a file that the limit
  // holds too; the report's lines are what must not fit.
  write_file(image, pattern_bytes(1000, 42));
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

// Whatever stops a run before it starts, the report, the JUnit file and
// the folders are as they were: nothing emptied, made or removed.
TEST(BatchFiles, RefusedRunChangesNothingOnDisk) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::string b = board.address();
  inputs in(b);
  const std::string report_path = in.dir + "/old.jsonl";
  const std::string junit_path = in.dir + "/old.xml";
  write_file(report_path, "{\"type\":\"summary\"}\n");
  write_file(junit_path, "<testsuites/>\n");
  const std::vector<std::string> outputs = {"--report", report_path, "--log-dir", in.logs};
  auto with_outputs = [&](std::vector<std::string> args) {
    args.insert(args.begin(), outputs.begin(), outputs.end());
    return args;
  };
  expect_refused(
      {
          {.label = "missing image",
           .args = with_outputs({"--junit", junit_path, "-i", in.dir + "/none.bin", b}),
           .message = "none.bin, command line: No such file or directory"},
          {.label = "one board by two names",
           .args = with_outputs({"--junit", junit_path, "-i", in.image, "localhost", "127.0.0.1"}),
           .message = "are the same board"},
          {.label = "JUnit file in a missing folder",
           .args = with_outputs({"--junit", in.dir + "/no/j.xml", "-i", in.image, b}),
           .message = "--junit " + in.dir + "/no/j.xml: "},
      },
      in, &board);
  EXPECT_EQ(read_file(report_path), "{\"type\":\"summary\"}\n");
  EXPECT_EQ(read_file(junit_path), "<testsuites/>\n");
}

// A link planted where kesp-batch makes a file (a board's log, the JUnit
// file's temporary) is refused and left as it is, its target untouched.
TEST(BatchFiles, LinksPlantedAtNamesWeMakeAreNotFollowed) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::string b = board.address();
  inputs in(b);
  const std::string victim = in.dir + "/victim";
  write_file(victim, "victim");
  const std::string logs = in.dir + "/planted-logs";
  fs::create_directories(logs);
  const std::string log = logs + "/" + b + ".log";
  const std::string junit_temp = in.dir + "/j.xml" + JUNIT_TEMP;
  for (const std::string &link : {log, junit_temp})
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  expect_refused(
      {
          {.label = "a board's log",
           .args = {"-i", in.image, "--log-dir", logs, b},
           .message = log + " is a symbolic link"},
          {.label = "the JUnit file's temporary",
           .args = {"-i", in.image, "--junit", in.dir + "/j.xml", b},
           .message = junit_temp + " is a symbolic link"},
      },
      in, &board);
  EXPECT_EQ(read_file(victim), "victim");
  EXPECT_TRUE(is_link(log) && is_link(junit_temp));
  EXPECT_FALSE(fs::exists(in.dir + "/j.xml"));
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
