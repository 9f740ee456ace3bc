// kesp-batch as a process: what it refuses before sending anything, its
// dry run, interrupts, and outputs that cannot be written.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "batch_support.h"
#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr char SIM_CONNECTION[] = "kesp-sim: update";  // the start of a logged download

struct refusal {
  std::string label;
  std::function<std::vector<std::string>(const std::string &board, const std::string &dir)> args;
  std::string message;  // what standard error must hold
};

std::string put(const std::string &dir, const std::string &name, const std::string &bytes) {
  write_file(dir + "/" + name, bytes);
  return dir + "/" + name;
}

// Every case must exit 2 with its message, before a single connection.
TEST(BatchRefuses, BadInputExitsTwoAndSendsNothing) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::string dir = temp_path("refusals");
  ASSERT_TRUE(std::filesystem::create_directories(dir + "/folder"));
  const std::string image = put(dir, "image.bin", "image");
  put(dir, "empty.bin", "");
  const std::vector<refusal> cases = {
      {"missing image",
       [](auto b, auto d) {
         return std::vector<std::string>{"-i", d + "/none.bin", b};
       },
       "/none.bin, command line: No such file or directory"},
      {"empty image",
       [](auto b, auto d) {
         return std::vector<std::string>{"-i", d + "/empty.bin", b};
       },
       "empty.bin, command line: empty"},
      {"folder as image",
       [](auto b, auto d) {
         return std::vector<std::string>{"-i", d + "/folder", b};
       },
       "not a regular file"},
      {"missing per-board file",
       [](auto b, auto d) {
         put(d, "only-one.bin", "x");
         put(d, "board-recipe.txt", "-a 0x0 image.bin\n-a 0x100 data-{board}.bin\n");
         return std::vector<std::string>{"-r", d + "/board-recipe.txt", b};
       },
       "/data-" /* board */},
      {"unknown option in a recipe",
       [](auto b, auto d) {
         put(d, "r1.txt", "# comment\n-a 0x0 image.bin\n-x image.bin\n");
         return std::vector<std::string>{"-r", d + "/r1.txt", b};
       },
       "r1.txt:3: unknown option -x"},
      {"address that is not a number in a recipe",
       [](auto b, auto d) {
         put(d, "r2.txt", "\n-a 0xZZ image.bin\n");
         return std::vector<std::string>{"-r", d + "/r2.txt", b};
       },
       "r2.txt:2: invalid address: 0xZZ"},
      {"two files on a recipe line",
       [](auto b, auto d) {
         put(d, "r3.txt", "image.bin image.bin\n");
         return std::vector<std::string>{"-r", d + "/r3.txt", b};
       },
       "r3.txt:1: more than one file"},
      {"start with a file",
       [](auto b, auto d) {
         put(d, "r4.txt", "-s image.bin\n");
         return std::vector<std::string>{"-r", d + "/r4.txt", b};
       },
       "r4.txt:1: -s starts the program and takes no file"},
      {"unmatched quote",
       [](auto b, auto d) {
         put(d, "r5.txt", "-a 0 'image.bin\n");
         return std::vector<std::string>{"-r", d + "/r5.txt", b};
       },
       "r5.txt:1: unmatched '"},
      {"recipe without steps",
       [](auto b, auto d) {
         put(d, "r6.txt", "# nothing yet\n\n");
         return std::vector<std::string>{"-r", d + "/r6.txt", b};
       },
       "r6.txt: no steps"},
      {"address that is not a number",
       [&](auto b, auto) {
         return std::vector<std::string>{"-a", "zz", "-i", image, b};
       },
       "invalid address: zz"},
      {"address past 32 bits",
       [&](auto b, auto) {
         return std::vector<std::string>{"-a", "0x100000000", "-i", image, b};
       },
       "kesp-batch: address 0x100000000 is past the flash's 32 bits (at most 0xffffffff)\n"},
      {"address past 32 bits in a recipe",
       [](auto b, auto d) {
         put(d, "r7.txt", "-a 0x0 image.bin\n-n -a 4294967296 image.bin\n");
         return std::vector<std::string>{"-r", d + "/r7.txt", b};
       },
       "r7.txt:2: address 4294967296 is past the flash's 32 bits"},
      {"image that runs past 32 bits",
       [&](auto b, auto) {
         return std::vector<std::string>{"-a", "0xfffffffc", "-i", image, b};
       },
       "image " + image + ", command line: its 5 bytes at 0xfffffffc run past the flash's 32 bits"},
      {"NOR flash id and only NAND steps",
       [&](auto b, auto) {
         return std::vector<std::string>{"-n", "-i", image, "--expect-id", "0202", b};
       },
       "kesp-batch: --expect-id holds for the NOR steps, and every step is on the NAND: give the "
       "NAND's id with --expect-nand-id\n"},
      {"board given twice",
       [&](auto b, auto) {
         return std::vector<std::string>{"-i", image, b, b};
       },
       "is given twice"},
      {"one board by two names",
       [&](auto, auto) {
         return std::vector<std::string>{"-i", image, "localhost", "127.0.0.1"};
       },
       "are the same board (127.0.0.1)"},
      {"two boards on a line of a board list",
       [&](auto b, auto d) {
         put(d, "boards.txt", "# the line\n" + b + " " + b + "\n");
         return std::vector<std::string>{"-i", image, "-b", d + "/boards.txt"};
       },
       "boards.txt:2: one board per line"},
      {"no boards",
       [&](auto, auto) {
         return std::vector<std::string>{"-i", image};
       },
       "no boards given"},
      {"nothing to do", [&](auto b, auto) { return std::vector<std::string>{b}; }, "nothing to do"},
      {"image and recipe",
       [&](auto b, auto d) {
         return std::vector<std::string>{"-i", image, "-r", d + "/r1.txt", b};
       },
       "-i and -r exclude each other"},
      {"unknown option",
       [&](auto b, auto) {
         return std::vector<std::string>{"-i", image, "--frobnicate", b};
       },
       "unknown option --frobnicate\n"},
      {"misspelt option",
       [&](auto b, auto) {
         return std::vector<std::string>{"-i", image, "--compair", b};
       },
       "kesp-batch: unknown option --compair; did you mean --compare?\n"},
      {"no jobs",
       [&](auto b, auto) {
         return std::vector<std::string>{"-j", "0", "-i", image, b};
       },
       "invalid --jobs: 0"},
      {"report in a missing folder",
       [&](auto b, auto d) {
         return std::vector<std::string>{"-i", image, "--report", d + "/no/r.jsonl", b};
       },
       "--report " /* path */},
  };
  for (const refusal &c : cases) {
    SCOPED_TRACE(c.label);
    run_result r = run_batch(c.args(board.address(), dir), 20s);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.starts_with("kesp-batch: ")) << r.err;
    EXPECT_EQ(r.out, "");
  }
  board.stop();
  EXPECT_EQ(board.log().find(SIM_CONNECTION), std::string::npos) << board.log();
  EXPECT_EQ(board.log().find("start"), std::string::npos) << board.log();
}

TEST(BatchRefuses, DryRunPrintsThePlanAndSendsNothing) {
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::string dir = temp_path("dry");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  const std::string image = put(dir, "app.bin", std::string(1234, 'a'));
  run_result r = run_batch({"--dry-run", "-n", "-a", "0x200000", "-i", image, "--verify", "-s",
                            board.address(), "no-such-board.invalid"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string steps = "  step 1/3: update nand 0x200000 " + image + ", 1234 bytes\n" +
                            "  step 2/3: compare nand 0x200000 " + image + ", 1234 bytes\n" +
                            "  step 3/3: start\n";
  const std::string head =
      "kesp-batch: dry run, nothing is sent: 2 boards, 3 steps each, "
      "2 at a time\n" +
      board.address() + ": " + board.address() + "\n" + steps +
      "no-such-board.invalid: does not resolve: ";
  EXPECT_TRUE(r.out.starts_with(head)) << r.out;
  EXPECT_TRUE(r.out.ends_with(steps)) << r.out;
  EXPECT_EQ(r.out.size(), head.size() + r.out.substr(head.size()).find('\n') + 1 + steps.size())
      << r.out;
  board.stop();
  EXPECT_EQ(board.log().find(SIM_CONNECTION), std::string::npos) << board.log();
}

// An image cut short after the checks changes nothing that is sent: the
// board is sent the bytes the checks copied, and the other boards go on.
TEST(BatchRefuses, ImageCutShortDuringTheRunChangesNothingSent) {
  const std::string shrinking = temp_path("shrinking.bin");
  const std::string steady = temp_path("steady.bin");
  const std::string whole = pattern_bytes(300000, 30);
  write_file(shrinking, whole);
  write_file(steady, pattern_bytes(300000, 31));
  sim_process slow(KESP_SIM_BINARY, {"--reply-delay", "1500"});
  sim_process other(KESP_SIM_BINARY, {});
  ASSERT_TRUE(slow.ready() && other.ready());
  const std::string dir = temp_path("shrink");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  ASSERT_EQ(symlink(shrinking.c_str(), (dir + "/" + slow.address() + ".bin").c_str()), 0);
  ASSERT_EQ(symlink(steady.c_str(), (dir + "/" + other.address() + ".bin").c_str()), 0);
  const std::string report_path = temp_path("shrink.jsonl");
  const std::string logs = temp_path("shrink-logs");
  batch_process batch({"-i", dir + "/{board}.bin", "--report", report_path, "--log-dir", logs,
                       slow.address(), other.address()});
  // The slow board holds its first reply back; the image shrinks meanwhile,
  // once the request is in, which comes after the checks' copy.
  ASSERT_TRUE(wait_until_read(slow.address(), WORD_SIZE, 20s)) << batch.err();
  ASSERT_EQ(truncate(shrinking.c_str(), 1000), 0);
  EXPECT_EQ(batch.wait(20s), 0) << batch.out() << batch.err();
  report rep = read_report(report_path);
  json j = rep.step(slow.address(), 1);
  EXPECT_EQ(j["result"], "passed");
  EXPECT_EQ(j["size"], 300000);
  EXPECT_EQ(j["crc"], crc_hex(whole, 8));
  EXPECT_EQ(j["attempts"], 1);
  EXPECT_EQ(rep.step(other.address(), 1)["result"], "passed");
  EXPECT_TRUE(slow.wait_for_log("kesp-sim: update nor")) << slow.log();
  EXPECT_NE(slow.log().find("crc=" + crc_hex(whole, 8)), std::string::npos) << slow.log();
}

// The first interrupt lets the running step end and starts nothing more;
// the report still covers every board and step.
TEST(BatchInterrupt, FirstInterruptFinishesRunningStepsAndStartsNoMore) {
  const std::string path = temp_path("interrupt-image.bin");
  write_file(path, pattern_bytes(20000, 20));
  sim_process slow(KESP_SIM_BINARY, {"--final-delay", "3000"});
  sim_process other(KESP_SIM_BINARY, {});
  ASSERT_TRUE(slow.ready() && other.ready());
  const std::string report_path = temp_path("interrupt.jsonl");
  const std::string junit_path = temp_path("interrupt.xml");
  batch_process batch({"-j", "1", "-i", path, "--verify", "--report", report_path, "--junit",
                       junit_path, slow.address(), other.address()});
  // The slow board holds its verdict for 3 s once the whole image is in.
  ASSERT_TRUE(wait_until_read(slow.address(), 20000, 20s)) << batch.err();
  batch.signal(SIGINT);
  EXPECT_EQ(batch.wait(20s), 130) << batch.out() << batch.err();
  report rep = read_report(report_path);
  EXPECT_EQ(rep.error, "");
  EXPECT_EQ(rep.steps.size(), 4u);
  EXPECT_EQ(rep.step(slow.address(), 1)["result"], "passed");
  EXPECT_EQ(rep.step(slow.address(), 2)["result"], "not run");
  EXPECT_EQ(rep.step(slow.address(), 2)["reason"], "not run: interrupted");
  EXPECT_EQ(rep.step(other.address(), 1)["result"], "not run");
  EXPECT_EQ(rep.step(other.address(), 2)["result"], "not run");
  EXPECT_EQ(rep.summary["interrupted"], true);
  EXPECT_EQ(rep.summary["not_run"], 2);
  std::string junit_error;
  auto junit = read_junit(junit_path, &junit_error);
  EXPECT_EQ(junit_error, "");
  EXPECT_EQ(junit[slow.address()], "skipped");
  EXPECT_EQ(junit[other.address()], "skipped");
  EXPECT_NE(batch.out().find("kesp-batch: interrupted: 0 passed, 0 failed, 2 not run"),
            std::string::npos)
      << batch.out();
  slow.stop();
  other.stop();
  EXPECT_NE(slow.log().find("update nor addr=0x0 size=20000"), std::string::npos);
  EXPECT_EQ(slow.log().find("compare"), std::string::npos) << slow.log();
  EXPECT_EQ(other.log().find(SIM_CONNECTION), std::string::npos) << other.log();
}

TEST(BatchInterrupt, SecondInterruptStopsRunningSteps) {
  const std::string path = temp_path("interrupt2-image.bin");
  write_file(path, pattern_bytes(20000, 21));
  sim_process slow(KESP_SIM_BINARY, {"--final-delay", "20000"});
  ASSERT_TRUE(slow.ready());
  const std::string report_path = temp_path("interrupt2.jsonl");
  batch_process batch({"-i", path, "--report", report_path, slow.address()});
  ASSERT_TRUE(wait_until_read(slow.address(), 20000, 20s)) << batch.err();
  auto began = std::chrono::steady_clock::now();
  batch.signal(SIGTERM);
  batch.signal(SIGINT);
  EXPECT_EQ(batch.wait(20s), 130) << batch.out() << batch.err();
  // Well before the verdict the board holds back for 20 s.
  EXPECT_LT(std::chrono::steady_clock::now() - began, 15s);
  json j = read_report(report_path).step(slow.address(), 1);
  EXPECT_EQ(j["result"], "failed");
  EXPECT_EQ(j["failure"], "interrupted");
}

// Standard output is for people: losing it changes neither the work, the
// reports nor the exit status, and is said on standard error.
TEST(BatchOutput, UnwritableStandardOutputChangesNothing) {
  const std::string path = temp_path("out-image.bin");
  write_file(path, pattern_bytes(3000, 22));
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  const std::string report_path = temp_path("out.jsonl");
  const std::string command = std::string("'") + KESP_BATCH_BINARY + "' -i '" + path +
                              "' --report '" + report_path + "' " + board.address();
  for (const std::string &redirect :
       {std::string(">/dev/full"), std::string("| true"), std::string(">&-")}) {
    SCOPED_TRACE(redirect);
    run_result r = run_program(
        {"/bin/bash", "-c", command + " 2>&1 " + redirect + "; echo \"${PIPESTATUS[0]}\""});
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "0\n") << r.out;
    report rep = read_report(report_path);
    EXPECT_EQ(rep.step(board.address(), 1)["result"], "passed");
    EXPECT_EQ(rep.summary["passed"], 1);
  }
  run_result full = run_program({"/bin/bash", "-c", command + " >/dev/full"});
  EXPECT_EQ(full.status, 0);
  EXPECT_EQ(full.err, "kesp-batch: standard output: No space left on device\n");
}

// A report that cannot be written is never a silent success.
TEST(BatchOutput, UnwritableReportMakesTheExitStatusNonZero) {
  const std::string path = temp_path("full-image.bin");
  write_file(path, pattern_bytes(3000, 23));
  sim_process board(KESP_SIM_BINARY, {});
  ASSERT_TRUE(board.ready());
  for (const std::string &option : {std::string("--report"), std::string("--junit")}) {
    run_result r = run_batch({"-i", path, option, "/dev/full", board.address()});
    EXPECT_EQ(r.status, 3) << option;
    EXPECT_EQ(r.err, "kesp-batch: " + option + " /dev/full: No space left on device\n");
  }
}

// Names the reports carry as they are, whatever their characters: the
// JSON and the XML still parse and say them back.
TEST(BatchOutput, ReportsCarryAwkwardNamesIntact) {
  const std::string dir = temp_path("a&b <c> \"d\" 'e'");
  ASSERT_TRUE(std::filesystem::create_directories(dir));
  const std::string image = dir + "/\x01app\xff.bin";
  write_file(image, pattern_bytes(500, 32));
  sim_process bad(KESP_SIM_BINARY, {"--final-error", "3"});
  ASSERT_TRUE(bad.ready());
  const std::string report_path = temp_path("awkward.jsonl");
  const std::string junit_path = temp_path("awkward.xml");
  run_result r =
      run_batch({"-i", image, "--report", report_path, "--junit", junit_path, bad.address()});
  EXPECT_EQ(r.status, 1) << r.err;
  report rep = read_report(report_path);
  EXPECT_EQ(rep.error, "");
  // Bytes that are not UTF-8 come back replaced, the rest as they were.
  EXPECT_EQ(rep.step(bad.address(), 1)["image"], dir + "/\x01app\xef\xbf\xbd.bin");
  std::string junit_error;
  auto junit = read_junit(junit_path, &junit_error);
  EXPECT_EQ(junit_error, "");
  EXPECT_EQ(junit[bad.address()], "failure:target_error");
}

// On a terminal: a live view redrawn in place, a line per finished board
// and the summary; the program's lines never carry escape codes elsewhere.
TEST(BatchOutput, LiveViewOnATerminal) {
  const std::string path = temp_path("tty-image.bin");
  write_file(path, pattern_bytes(3000, 24));
  sim_process good(KESP_SIM_BINARY, {"--final-delay", "700"});
  sim_process bad(KESP_SIM_BINARY, {"--final-error", "2"});
  ASSERT_TRUE(good.ready() && bad.ready());
  int master = -1;
  pid_t pid = start_on_terminal({KESP_BATCH_BINARY, "-i", path, good.address(), bad.address()},
                                {.cols = 100}, &master);
  ASSERT_GE(pid, 0);
  std::string screen;
  EXPECT_EQ(read_terminal(master, pid, &screen), 1);
  EXPECT_NE(screen.find("step 1/1 update  ["), std::string::npos) << screen;
  EXPECT_NE(screen.find("\x1b["), std::string::npos) << screen;
  EXPECT_NE(screen.find("PASS " + good.address() + ": 1 step"), std::string::npos) << screen;
  EXPECT_NE(screen.find("FAIL " + bad.address() + ": step 1/1 update nor 0x0 " + path +
                        ": erase error (error 2, addr = 0)"),
            std::string::npos)
      << screen;
  EXPECT_NE(screen.find("kesp-batch: 1 passed, 1 failed (2 boards)"), std::string::npos) << screen;
}

}  // namespace
