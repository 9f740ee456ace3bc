// kesp-batch against a line of simulated boards, run as processes: each
// kind of fault gives its board exactly its verdict and leaves the others
// alone, in the exit status, the report, the JUnit file and the logs.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "batch_support.h"
#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// More than two of kesp-batch's 128 KiB pieces, with a short one last.
constexpr uint32_t IMAGE_SIZE = 300000;
constexpr char ADDRESS[] = "0x10000";
constexpr uint32_t ADDRESS_VALUE = 0x10000;
constexpr uint32_t NOR_SIZE = 1 << 20;
constexpr uint32_t NOR_BLOCK = 64 << 10;

// A target that takes the whole image and answers done with a CRC one
// bit off: the simulator never lies about its CRC.
scripted_target::script wrong_crc(const std::string &image) {
  return [image](scripted_target::session &s) {
    if (!s.request()) return;
    s.send(reply({0x0101, 0, ADDRESS_VALUE, 0, 0}));
    if (!s.image()) return;
    s.send(reply({0x0101, 0, ADDRESS_VALUE, IMAGE_SIZE, crc_of(image) ^ 1}));
    s.close();
  };
}

struct board_case {
  std::string label;
  std::vector<std::string> sim_args = {};  // the simulator's faults
  bool scripted = false;                   // a target that lies about the CRC instead
  std::string result;                      // "passed" or "failed"
  std::string failure = "";                // the report's failure kind; "" when passed
  std::string failure_class = "";          // and its class
  std::optional<int> error = {};           // the verdict's error code; none without a verdict
  bool flash_id = true;                    // the first reply came whole
  std::string reason = "";                 // the whole reason; "" to leave it unchecked
  bool same_log_as_kesp = true;            // its log is kesp's output, bar at its end state
  bool reason_logged = false;              // kesp's lines are followed by the reason's
};

const std::vector<board_case> &line_cases() {
  static const std::vector<board_case> cases = {
      {.label = "good", .result = "passed", .error = 0},
      {.label = "good too", .result = "passed", .error = 0},
      {.label = "first error",
       .sim_args = {"--first-error", "2"},
       .result = "failed",
       .failure = "target_error",
       .failure_class = "part",
       .error = 2,
       .reason = "erase error (error 2, addr = 10000)"},
      {.label = "final error",
       .sim_args = {"--final-error", "1"},
       .result = "failed",
       .failure = "target_error",
       .failure_class = "part",
       .error = 1,
       .reason = "reprogram error (error 1, addr = 10000)"},
      // How far the image got before the close is the socket buffers' choice.
      {.label = "close mid-image",
       .sim_args = {"--close-after", "100000"},
       .result = "failed",
       .failure = "connection",
       .failure_class = "link",
       .same_log_as_kesp = false},
      {.label = "reset mid-image",
       .sim_args = {"--reset-after", "100000"},
       .result = "failed",
       .failure = "connection",
       .failure_class = "link",
       .same_log_as_kesp = false},
      {.label = "no final reply",
       .sim_args = {"--no-final-reply"},
       .result = "failed",
       .failure = "connection",
       .failure_class = "link",
       .reason = "the whole image was sent; the target closed the connection before its verdict",
       .reason_logged = true},
      {.label = "cut first reply",
       .sim_args = {"--cut-first", "7"},
       .result = "failed",
       .failure = "connection",
       .failure_class = "link",
       .flash_id = false,
       .reason = "connection failed: closed by target"},
      {.label = "cut final reply",
       .sim_args = {"--cut-final", "9"},
       .result = "failed",
       .failure = "connection",
       .failure_class = "link",
       .reason = "the whole image was sent; the verdict was cut short after 9 of 18 bytes",
       .reason_logged = true},
      {.label = "wrong crc",
       .scripted = true,
       .result = "failed",
       .failure = "crc_mismatch",
       .failure_class = "board",
       .error = 0},
  };
  return cases;
}

// One board of the line: a simulator, or a scripted target (with a second
// one for kesp's run, since a script serves one client).
struct line_board {
  std::unique_ptr<flashed_sim> sim;
  std::unique_ptr<scripted_target> script;
  std::unique_ptr<scripted_target> script_for_kesp;
  std::string address() const { return sim ? sim->sim->address() : script->address(); }
};

TEST(BatchLine, EachFaultGivesItsBoardItsVerdict) {
  const std::string image = pattern_bytes(IMAGE_SIZE, 10);
  const std::string path = temp_path("line-image.bin");
  write_file(path, image);
  const auto &cases = line_cases();
  std::vector<line_board> boards(cases.size());
  std::vector<std::string> args = {"-a", ADDRESS, "-i", path, "--retries", "0", "-j", "4"};
  for (size_t i = 0; i < cases.size(); ++i) {
    if (cases[i].scripted) {
      boards[i].script = std::make_unique<scripted_target>(wrong_crc(image));
      ASSERT_TRUE(boards[i].script->listening());
    } else {
      boards[i].sim =
          std::make_unique<flashed_sim>(KESP_SIM_BINARY, NOR_SIZE, NOR_BLOCK, cases[i].sim_args);
      ASSERT_TRUE(boards[i].sim->sim->ready()) << boards[i].sim->sim->log();
    }
    args.push_back(boards[i].address());
  }
  const std::string report_path = temp_path("line.jsonl");
  const std::string junit_path = temp_path("line.xml");
  const std::string logs = temp_path("line-logs");
  args.insert(args.end(), {"--report", report_path, "--junit", junit_path, "--log-dir", logs});

  run_result r = run_batch(args);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_EQ(r.err, "");

  report rep = read_report(report_path);
  EXPECT_EQ(rep.error, "");
  EXPECT_EQ(rep.steps.size(), cases.size());
  ASSERT_TRUE(rep.summary.is_object());
  EXPECT_EQ(rep.summary["passed"], 2);
  EXPECT_EQ(rep.summary["failed"], cases.size() - 2);
  EXPECT_EQ(rep.summary["result"], "failed");
  std::string junit_error;
  auto junit = read_junit(junit_path, &junit_error);
  EXPECT_EQ(junit_error, "");
  EXPECT_EQ(junit.size(), cases.size());

  for (size_t i = 0; i < cases.size(); ++i) {
    const board_case &c = cases[i];
    const std::string board = boards[i].address();
    SCOPED_TRACE(c.label + " on " + board);
    json j = rep.step(board, 1);
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j["address"], board);
    EXPECT_EQ(j["result"], c.result);
    EXPECT_EQ(j["failure"], c.failure.empty() ? json() : json(c.failure));
    EXPECT_EQ(j["failure_class"], c.failure_class.empty() ? json() : json(c.failure_class));
    EXPECT_EQ(j["error"], c.error ? json(*c.error) : json());
    EXPECT_EQ(j["flash_id"], c.flash_id ? json("0101") : json());
    EXPECT_EQ(j["attempts"], 1);
    EXPECT_EQ(j["size"], IMAGE_SIZE);
    EXPECT_EQ(j["flash_address"], "00010000");
    EXPECT_EQ(j["flags"], "40000000");
    if (!c.reason.empty()) {
      EXPECT_EQ(j["reason"], c.reason);
    }
    if (c.result == "passed") {
      EXPECT_EQ(j["crc"], crc_hex(image, 8));
      EXPECT_EQ(j["target_crc"], crc_hex(image, 8));
      EXPECT_EQ(j["reason"], json());
      EXPECT_EQ(junit[board], "passed");
      // What the target holds, byte for byte.
      boards[i].sim->sim->stop();
      std::string flash = boards[i].sim->nor;
      program_flash(flash, NOR_BLOCK, ADDRESS_VALUE, image);
      EXPECT_TRUE(read_file(boards[i].sim->nor_path) == flash);
    } else {
      EXPECT_EQ(junit[board], "failure:" + c.failure);
      // The class is the case's property, between its name and its end.
      std::string doc = read_file(junit_path);
      size_t at = doc.find("name=\"" + board + "\"");
      size_t end = doc.find("</testcase>", at);
      size_t property =
          doc.find(R"(<property name="failure_class" value=")" + c.failure_class + "\"/>", at);
      EXPECT_TRUE(at != std::string::npos && property < end) << doc;
      EXPECT_NE(r.out.find(board + ": step 1/1 update nor 0x10000 " + path + ": FAILED: "),
                std::string::npos)
          << r.out;
    }
    if (c.failure == "crc_mismatch") {
      EXPECT_EQ(j["crc"], crc_hex(image, 8));
      EXPECT_NE(j["target_crc"], j["crc"]);
    }

    // The log holds what kesp prints against the same board.
    const std::string log = read_file(logs + "/" + board + ".log");
    if (c.scripted) {
      // Made now: a scripted target waits for its client a bounded time,
      // which the line's run before may outlast.
      boards[i].script_for_kesp = std::make_unique<scripted_target>(wrong_crc(image));
      ASSERT_TRUE(boards[i].script_for_kesp->listening());
      run_result k =
          run_program({KESP_BINARY, "-a", ADDRESS, boards[i].script_for_kesp->address(), path});
      EXPECT_EQ(log, final_bars(k.out));
    } else if (c.same_log_as_kesp) {
      // A passed board's simulator was stopped to read its flash.
      if (c.result == "passed") {
        boards[i].sim =
            std::make_unique<flashed_sim>(KESP_SIM_BINARY, NOR_SIZE, NOR_BLOCK, c.sim_args);
      }
      run_result k = run_program({KESP_BINARY, "-a", ADDRESS, boards[i].address(), path});
      // kesp's lines as kesp prints them, then kesp-batch's closer reading.
      EXPECT_EQ(log, final_bars(k.out) + (c.reason_logged ? c.reason + "\n" : ""));
    } else {
      EXPECT_TRUE(
          log.starts_with("kesp: address = 10000\nkesp: flags = 40000000\n"
                          "kesp: flash_id = 0101\n\rloader: ["))
          << log;
      // How far the image got decides the words (see the test below); a
      // close or reset by the target follows kesp's line with its own.
      const std::string reason = j.value("reason", "");
      EXPECT_NE(log.find("]\nkesp: connection failed: "), std::string::npos) << log;
      EXPECT_TRUE(reason.starts_with("connection failed: ")
                      ? log.ends_with("\nkesp: " + reason + "\n")
                      : log.ends_with("\n" + reason + "\n"))
          << log;
    }
  }
}

// The two ways a board's connection ends early read apart in every
// output: a target that closed mid-image, and one that took the whole
// image and cut its verdict short. The image outgrows the socket buffers
// many times, so that the close comes while it still streams.
TEST(BatchLine, CloseMidImageAndVerdictCutShortReadApart) {
  constexpr uint32_t SIZE = 8 << 20;
  const std::string path = temp_path("apart-image.bin");
  write_file(path, pattern_bytes(SIZE, 16));
  sim_process closing(KESP_SIM_BINARY, {"--close-after", "1000"});
  sim_process cutting(KESP_SIM_BINARY, {"--cut-final", "9"});
  ASSERT_TRUE(closing.ready() && cutting.ready());
  const std::string report_path = temp_path("apart.jsonl");
  const std::string logs = temp_path("apart-logs");
  run_result r = run_batch({"-i", path, "--report", report_path, "--log-dir", logs,
                            closing.address(), cutting.address()},
                           60s);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  report rep = read_report(report_path);
  json closed = rep.step(closing.address(), 1);
  json cut = rep.step(cutting.address(), 1);
  const std::string closed_reason = closed.value("reason", "");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(closed_reason, m,
                               std::regex("target closed the connection after ([0-9]+) of " +
                                          std::to_string(SIZE) + " image bytes")))
      << closed_reason;
  // The bytes named are those of the last attempt, as "sent" counts them.
  EXPECT_EQ(std::stoul(m[1]), closed["sent"].get<uint32_t>());
  EXPECT_GE(std::stoul(m[1]), 1000u);
  EXPECT_LT(std::stoul(m[1]), SIZE);
  EXPECT_EQ(cut["reason"], "the whole image was sent; the verdict was cut short after 9 of " +
                               std::to_string(REPLY_SIZE) + " bytes");
  EXPECT_EQ(cut["sent"], SIZE);
  for (const json &j : {closed, cut}) {
    EXPECT_EQ(j["failure"], "connection");
    EXPECT_EQ(j["attempts"], 3);
    const std::string board = j.value("board", "");
    const std::string reason = j.value("reason", "");
    EXPECT_NE(r.out.find(board + ": step 1/1 update nor 0x0 " + path + ": FAILED: " + reason +
                         " (3 attempts)\n"),
              std::string::npos)
        << r.out;
    // Each attempt's kesp line, then the reason as kesp-batch read it.
    const std::string log = read_file(logs + "/" + board + ".log");
    EXPECT_TRUE(log.ends_with("kesp: connection failed: closed by target\n" + reason + "\n"))
        << log.substr(log.size() - std::min<size_t>(log.size(), 300));
  }
}

// A connection failure is tried again, up to --retries more times, with
// each attempt in the log; a target's verdict never is.
TEST(BatchLine, ConnectionFailuresAreRetriedVerdictsAreNot) {
  const std::string path = temp_path("retry-image.bin");
  write_file(path, pattern_bytes(5000, 11));
  sim_process closing(KESP_SIM_BINARY, {"--close-after", "1000"});
  sim_process refusing(KESP_SIM_BINARY, {"--final-error", "2"});
  ASSERT_TRUE(closing.ready() && refusing.ready());
  const std::string report_path = temp_path("retry.jsonl");
  const std::string logs = temp_path("retry-logs");
  run_result r = run_batch({"-i", path, "--retries", "2", "--report", report_path, "--log-dir",
                            logs, closing.address(), refusing.address()});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  report rep = read_report(report_path);
  EXPECT_EQ(rep.step(closing.address(), 1)["attempts"], 3);
  EXPECT_EQ(rep.step(closing.address(), 1)["failure"], "connection");
  EXPECT_EQ(rep.step(refusing.address(), 1)["attempts"], 1);
  // 5000 bytes fit the socket buffers: all of them are gone before the
  // target's close is seen.
  EXPECT_NE(r.out.find(closing.address() + ": step 1/1 update nor 0x0 " + path +
                       ": FAILED: the whole image was sent; the target closed the connection "
                       "before its verdict (3 attempts)"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("(3 attempts)"), std::string::npos) << r.out;
  closing.stop();
  refusing.stop();
  auto count = [](const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(closing.log(), "update nor"), 3u) << closing.log();
  EXPECT_EQ(count(refusing.log(), "update nor"), 1u) << refusing.log();
  EXPECT_EQ(count(read_file(logs + "/" + closing.address() + ".log"), "kesp: address = 0\n"), 3u);
}

TEST(BatchLine, BoardsThatRefuseOrAreOffDoNotHoldTheOthers) {
  const std::string path = temp_path("reach-image.bin");
  const std::string image = pattern_bytes(200000, 12);
  write_file(path, image);
  refusing_address refused;
  off_board off;
  ASSERT_TRUE(off.ok());
  flashed_sim good(KESP_SIM_BINARY, NOR_SIZE, NOR_BLOCK);
  ASSERT_TRUE(good.sim->ready());
  const std::string report_path = temp_path("reach.jsonl");
  auto began = std::chrono::steady_clock::now();
  run_result r = run_batch({"-i", path, "--connect-timeout", "1", "--retries", "1", "--report",
                            report_path, refused.address(), off.address(), good.sim->address()});
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  // Two attempts of 1 s with a pause between, and nothing of the kernel's
  // own two minutes of SYN retries.
  EXPECT_LT(took, 15s);
  report rep = read_report(report_path);
  json refused_step = rep.step(refused.address(), 1);
  EXPECT_EQ(refused_step["failure"], "connect");
  EXPECT_EQ(refused_step["reason"], "connect: Connection refused");
  EXPECT_EQ(refused_step["attempts"], 2);
  json off_step = rep.step(off.address(), 1);
  EXPECT_EQ(off_step["failure"], "connect");
  EXPECT_EQ(off_step["reason"], "connect: Connection timed out");
  EXPECT_EQ(off_step["attempts"], 2);
  EXPECT_GE(off_step.value("seconds", 0.0), 2.0);
  json good_step = rep.step(good.sim->address(), 1);
  EXPECT_EQ(good_step["result"], "passed");
  EXPECT_LT(good_step.value("seconds", 99.0), 1.0);
}

// Per-board files and a start, from a recipe in a folder of its own whose
// relative names are taken from there.
TEST(BatchLine, RecipeWithPerBoardFilesAndStart) {
  constexpr uint32_t NAND_SIZE = 1 << 20;
  constexpr uint32_t NAND_BLOCK = 128 << 10;
  const std::string folder = temp_path("recipe-line");
  ASSERT_TRUE(std::filesystem::create_directories(folder));
  const std::string boot = pattern_bytes(70000, 13);
  const std::string rootfs = pattern_bytes(150000, 14);
  write_file(folder + "/boot.bin", boot);
  write_file(folder + "/rootfs.img", rootfs);
  write_file(folder + "/recipe.txt",
             "# the line's recipe\n"
             "-a 0x0 boot.bin\n"
             "\n"
             "-a 0xF0000 'serial {board}.bin'   # per-board data\n"
             "-n -a 0x20000 rootfs.img\n"
             "-c -a0 boot.bin\n"
             "-s\n");
  constexpr size_t BOARDS = 3;
  std::vector<std::unique_ptr<flashed_sim>> sims;
  std::vector<std::string> nand_paths;
  std::vector<std::string> args = {"-r", folder + "/recipe.txt", "--report",
                                   temp_path("recipe.jsonl")};
  for (size_t i = 0; i < BOARDS; ++i) {
    nand_paths.push_back(temp_path("recipe-nand-" + std::to_string(i)));
    sims.push_back(std::make_unique<flashed_sim>(
        KESP_SIM_BINARY, NOR_SIZE, NOR_BLOCK,
        std::vector<std::string>{"--nand-file", nand_paths.back(), "--nand-size",
                                 std::to_string(NAND_SIZE), "--nand-block",
                                 std::to_string(NAND_BLOCK)}));
    ASSERT_TRUE(sims.back()->sim->ready()) << sims.back()->sim->log();
    const std::string board = sims.back()->sim->address();
    write_file(folder + "/serial " + board + ".bin", "serial number of " + board);
    args.push_back(board);
  }
  run_result r = run_batch(args);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  report rep = read_report(temp_path("recipe.jsonl"));
  EXPECT_EQ(rep.error, "");
  EXPECT_EQ(rep.steps.size(), 5u * BOARDS);
  for (size_t i = 0; i < BOARDS; ++i) {
    const std::string board = sims[i]->sim->address();
    SCOPED_TRACE(board);
    for (int s = 1; s <= 5; ++s) EXPECT_EQ(rep.step(board, s)["result"], "passed") << s;
    EXPECT_EQ(rep.step(board, 2)["image"], folder + "/serial " + board + ".bin");
    EXPECT_EQ(rep.step(board, 3)["device"], "nand");
    EXPECT_EQ(rep.step(board, 4)["mode"], "compare");
    EXPECT_EQ(rep.step(board, 5)["mode"], "start");
    ASSERT_TRUE(sims[i]->sim->wait_for_log("start request"));
    sims[i]->sim->stop();
    std::string nor = sims[i]->nor;
    program_flash(nor, NOR_BLOCK, 0, boot);
    program_flash(nor, NOR_BLOCK, 0xF0000, "serial number of " + board);
    EXPECT_TRUE(read_file(sims[i]->nor_path) == nor);
    std::string nand(NAND_SIZE, '\xff');
    program_flash(nand, NAND_BLOCK, 0x20000, rootfs);
    EXPECT_TRUE(read_file(nand_paths[i]) == nand);
  }
}

// A station that must move on gives each attempt a deadline.
TEST(BatchLine, StepTimeoutEndsABoardThatTakesTooLong) {
  const std::string path = temp_path("timeout-image.bin");
  write_file(path, pattern_bytes(1000, 15));
  sim_process slow(KESP_SIM_BINARY, {"--final-delay", "8000"});
  ASSERT_TRUE(slow.ready());
  const std::string report_path = temp_path("timeout.jsonl");
  auto began = std::chrono::steady_clock::now();
  run_result r =
      run_batch({"-i", path, "--step-timeout", "0.5", "--report", report_path, slow.address()});
  auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(r.status, 1);
  EXPECT_LT(took, 5s);
  json j = read_report(report_path).step(slow.address(), 1);
  EXPECT_EQ(j["failure"], "timeout");
  EXPECT_EQ(j["reason"], "step timed out after 0.5 s");
  EXPECT_EQ(j["attempts"], 1);
}

// A whole line at once from one process: 256 boards of one multi-board
// simulator, each with an image of its own, each flash compared after its
// download.
TEST(BatchLine, TwoHundredFiftySixBoardsAtOnce) {
  constexpr uint32_t BOARDS = 256;
  constexpr uint32_t SIZE = 40000;
  sim_process sims(KESP_SIM_BINARY, BOARDS, {"--nor-size", "256K", "--nor-block", "64K"});
  ASSERT_TRUE(sims.ready()) << sims.log();
  const std::string folder = temp_path("line-256");
  ASSERT_TRUE(std::filesystem::create_directories(folder));
  std::vector<std::string> args = {"-j",       "256",      "-a",
                                   "0x8000",   "-i",       folder + "/{board}.bin",
                                   "--verify", "--report", folder + "/report.jsonl",
                                   "-q"};
  for (uint32_t i = 0; i < BOARDS; ++i) {
    write_file(folder + "/" + sims.address(i) + ".bin", pattern_bytes(SIZE, 1000 + i));
    args.push_back(sims.address(i));
  }
  run_result r = run_batch(args, 90s);
  EXPECT_EQ(r.status, 0) << r.out.substr(0, 2000) << r.err;
  report rep = read_report(folder + "/report.jsonl");
  EXPECT_EQ(rep.error, "");
  ASSERT_EQ(rep.steps.size(), 2 * BOARDS);
  EXPECT_EQ(rep.summary["passed"], BOARDS);
  for (uint32_t i = 0; i < BOARDS; ++i) {
    const std::string crc = crc_hex(pattern_bytes(SIZE, 1000 + i), 8);
    json download = rep.step(sims.address(i), 1);
    json compare = rep.step(sims.address(i), 2);
    EXPECT_EQ(download["target_crc"], crc) << i;
    EXPECT_EQ(compare["mode"], "compare") << i;
    EXPECT_EQ(compare["result"], "passed") << i;
    EXPECT_EQ(compare["error"], 0) << i;
    EXPECT_EQ(compare["target_crc"], crc) << i;
  }
  // With -q only the summary.
  EXPECT_EQ(r.out.find("\n"), r.out.size() - 1) << r.out.substr(0, 500);
  EXPECT_TRUE(r.out.starts_with("kesp-batch: 256 passed, 0 failed (256 boards)")) << r.out;
}

}  // namespace
