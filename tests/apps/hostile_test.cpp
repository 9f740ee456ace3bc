// The tool against targets that misbehave, both run as processes: the
// simulator's injected faults, and a scripted target for what the simulator
// never sends. Whatever the target does, the tool must print exactly what
// happened, exit 0 and leave the flash alone unless the load went through.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t NOR_SIZE = 128 * 1024;
constexpr uint32_t NOR_BLOCK = 16 * 1024;
constexpr uint32_t ADDRESS = 0x8000;
constexpr char ADDRESS_ARG[] = "0x8000";
// More than one receive of the simulator, and a short chunk at the end.
constexpr uint32_t IMAGE_SIZE = 70000;
// More than loopback's socket buffers take in, so that a reset finds the
// tool still sending; the NOR grows to hold it.
constexpr uint32_t BIG_IMAGE_SIZE = (12 << 20) + 100;
constexpr uint32_t BIG_NOR_SIZE = 16 << 20;
constexpr uint32_t CHUNK = 256;  // image bytes per redraw of the bar
constexpr auto RUN_LIMIT = 30s;

enum class stream {
  none,  // no first reply, so no image byte and no bar
  all,   // every chunk went out
  cut,   // the tool's send failed part way
  any,   // either of the two above, as the socket buffers decide
};

struct scenario {
  std::string name;
  std::vector<std::string> sim_args = {};  // the simulator's faults
  scripted_target::script script = {};     // set: a scripted target instead of the simulator
  std::string flash_id;                    // as printed; empty: no first reply arrives whole
  stream streamed = stream::none;
  std::string tail;                    // the lines after the bar
  bool whole_image_at_target = false;  // every image byte reached the target
  bool written = false;                // the flash changes
  bool target_holds = false;           // the script leaves the connection open
  uint32_t image_size = IMAGE_SIZE;
};

std::string image_of(uint32_t size) { return pattern_bytes(size, size); }

std::string failed(uint32_t addr, uint32_t size, const std::string &text) {
  char line[160];
  snprintf(line, sizeof line, "kesp: flash update failed (addr = %x, size = %u, error = \"%s\")\n",
           addr, size, text.c_str());
  return line;
}

std::string done(uint32_t size, const std::string &ours, const std::string &theirs) {
  return "kesp: flash update done, size = " + std::to_string(size) + "\nkesp: crc = " + ours +
         ", received = " + theirs + "\n";
}

const std::string CLOSED = "kesp: connection failed: closed by target\n";
const std::string RESET = "kesp: connection failed: Connection reset by peer\n";

scenario sim_case(std::string name, std::vector<std::string> faults, std::string flash_id,
                  stream streamed, std::string tail, bool whole_image, bool written = false,
                  uint32_t image_size = IMAGE_SIZE) {
  return {.name = std::move(name),
          .sim_args = std::move(faults),
          .flash_id = std::move(flash_id),
          .streamed = streamed,
          .tail = std::move(tail),
          .whole_image_at_target = whole_image,
          .written = written,
          .image_size = image_size};
}

scenario script_case(std::string name, std::string flash_id, stream streamed, std::string tail,
                     bool whole_image, bool holds, scripted_target::script play) {
  return {.name = std::move(name),
          .script = std::move(play),
          .flash_id = std::move(flash_id),
          .streamed = streamed,
          .tail = std::move(tail),
          .whole_image_at_target = whole_image,
          .target_holds = holds};
}

std::vector<scenario> scenarios() {
  using session = scripted_target::session;
  const std::string image = image_of(IMAGE_SIZE);
  const std::string crc = crc_hex(image);
  const std::string first = reply({0x00C2, 0, ADDRESS, IMAGE_SIZE, 0});
  const std::string verdict = reply({0x00C2, 0, ADDRESS, IMAGE_SIZE, crc_of(image)});
  const std::string all_done = done(IMAGE_SIZE, crc, crc);
  const std::string size = std::to_string(IMAGE_SIZE);
  const stream none = stream::none, all = stream::all;
  std::vector<scenario> cases = {
      // The connection ends at each stage of the exchange.
      sim_case("ClosedBeforeFirstReply", {"--cut-first", "0"}, "", none, CLOSED, false),
      sim_case("ClosedOneByteShortOfFirstReply", {"--cut-first", "17"}, "", none, CLOSED, false),
      sim_case("ClosedAfterFirstReply", {"--close-after", "0"}, "0101", all, CLOSED, false),
      sim_case("ClosedAfterOneImageByte", {"--close-after", "1"}, "0101", all, CLOSED, false),
      sim_case("ClosedAfterOneChunk", {"--close-after", "256"}, "0101", all, CLOSED, false),
      sim_case("ClosedAfterOneReceive", {"--close-after", "65536"}, "0101", all, CLOSED, false),
      sim_case("ClosedOneByteShortOfImage", {"--close-after", "69999"}, "0101", all, CLOSED, false),
      sim_case("ClosedBeforeFinalReply", {"--close-after", size}, "0101", all, CLOSED, true),
      sim_case("ClosedOneByteIntoFinalReply", {"--cut-final", "1"}, "0101", all, CLOSED, true,
               true),
      sim_case("ResetAfterFirstReply", {"--reset-after", "0"}, "0101", stream::any, RESET, false),
      sim_case("ResetWhileToolSends", {"--reset-after", "1048576"}, "0101", stream::cut, RESET,
               false, false, BIG_IMAGE_SIZE),
      sim_case("TrickledRefusal", {"--trickle", "--first-error", "6"}, "0101", all,
               failed(ADDRESS, IMAGE_SIZE, "no such device"), true),

      // What the simulator never sends.
      script_case("FirstReplyRunsIntoFinalReply", "00c2", all, all_done, true, true,
                  [=](session &s) {
                    s.request();
                    s.send(first + verdict.substr(0, 7));
                    s.image();
                    s.send(verdict.substr(7));
                  }),
      script_case("FinalReplyWithTrailingBytes", "00c2", all, all_done, true, true,
                  [=](session &s) {
                    s.request();
                    s.send(first);
                    s.image();
                    s.send(verdict + std::string(100, 'Z'));
                  }),
      // "HT" is the flash id; ten bytes are left for the final reply.
      script_case("HttpAnswer", "4854", all, CLOSED, true, false,
                  [](session &s) {
                    s.request();
                    s.send("HTTP/1.1 400 Bad Request\r\n\r\n");
                    s.image();
                    s.close();
                  }),
      script_case("FinalReplyAllOnes", "00c2", all,
                  failed(0xFFFFFFFF, 0xFFFFFFFF, "reprogram error"), true, false,
                  [=](session &s) {
                    s.request();
                    s.send(first);
                    s.image();
                    s.send(std::string(REPLY_SIZE, '\xff'));
                    s.close();
                  }),
      script_case("FinalReplyWithWrongSizeAndCrc", "00c2", all, done(5, crc, "deadbeef"), true,
                  false,
                  [=](session &s) {
                    s.request();
                    s.send(first);
                    s.image();
                    s.send(reply({0xBEEF, 0, 0, 5, 0xDEADBEEF}));
                    s.close();
                  }),
      script_case("ResetBeforeFirstReply", "", none, RESET, false, false,
                  [](session &s) {
                    s.request();
                    s.reset();
                  }),
      script_case("ResetRightAfterFinalReply", "00c2", all, all_done, true, false,
                  [=](session &s) {
                    s.request();
                    s.send(first);
                    s.image();
                    s.send(verdict);
                    s.reset();
                  }),
  };

  // Every error code in either reply. The simulator repeats a refusal of
  // the first reply in the final one, which is the one the tool reports.
  const struct {
    const char *name;
    int32_t code;
    const char *text;
  } codes[] = {
      {"1", 1, "reprogram error"},
      {"2", 2, "erase error"},
      {"3", 3, "invalid address"},
      {"4", 4, "compare failed"},
      {"5", 5, "invalid size"},
      {"6", 6, "no such device"},
      {"7", 7, "unknown error"},
      {"Minus3", -3, "invalid address"},
      {"Int32Min", INT32_MIN, "unknown error"},
  };
  for (const char *which : {"first", "final"}) {
    for (const auto &c : codes) {
      std::string name = std::string(which) == "first" ? "FirstReplyError" : "FinalReplyError";
      cases.push_back(sim_case(name + c.name,
                               {std::string("--") + which + "-error", std::to_string(c.code)},
                               "0101", all, failed(ADDRESS, IMAGE_SIZE, c.text), true));
    }
  }
  return cases;
}

const std::vector<scenario> &table() {
  static const std::vector<scenario> all = scenarios();
  return all;
}

// The bars and line end the output must hold between the head and the
// tail. Where the socket buffers decide how far the tool got, the count of
// redraws is taken from the output and everything else is checked.
std::string expected_bars(const scenario &s, const std::string &out) {
  const uint32_t length = s.image_size;
  const uint32_t full = length / CHUNK;
  size_t redraws = 0;
  for (size_t at = out.find("\rloader: ["); at != std::string::npos;
       at = out.find("\rloader: [", at + 1)) {
    ++redraws;
  }
  uint32_t chunks = redraws > 1 ? static_cast<uint32_t>(std::min<size_t>(redraws - 1, full)) : 0;
  const std::string whole = progress_bars(length, full) + progress_bar(length, length) + "\n";
  const std::string cut =
      progress_bars(length, chunks) + progress_bar(length, chunks * CHUNK) + "\n";
  switch (s.streamed) {
    case stream::none:
      return "";
    case stream::all:
      return whole;
    case stream::cut:
      EXPECT_LT(chunks * CHUNK, length) << "the tool sent the whole image before the reset";
      return cut;
    case stream::any:
      return out.find(whole) != std::string::npos ? whole : cut;
  }
  return "";
}

// Outputs run to megabytes: a mismatch shows where, not all of both.
std::string difference(const std::string &got, const std::string &want) {
  if (got == want) return "";
  const auto at = static_cast<size_t>(
      std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin());
  size_t from = at > 80 ? at - 80 : 0;
  return "outputs differ at byte " + std::to_string(at) + "\n got: ..." +
         testing::PrintToString(got.substr(from, 200)) + "\nwant: ..." +
         testing::PrintToString(want.substr(from, 200));
}

class Hostile : public testing::TestWithParam<int> {};

TEST_P(Hostile, ToolPrintsWhatHappenedAndExitsZero) {
  const scenario &s = table()[static_cast<size_t>(GetParam())];
  const std::string image = image_of(s.image_size);
  const std::string path = temp_path(s.name + ".bin");
  write_file(path, image);

  std::unique_ptr<flashed_sim> sim;
  std::unique_ptr<scripted_target> script;
  if (s.script) {
    script = std::make_unique<scripted_target>(s.script);
    ASSERT_TRUE(script->listening()) << "no free loopback address";
  } else {
    uint32_t nor_size = s.image_size > NOR_SIZE ? BIG_NOR_SIZE : NOR_SIZE;
    sim = std::make_unique<flashed_sim>(KESP_SIM_BINARY, nor_size, NOR_BLOCK, s.sim_args);
    ASSERT_TRUE(sim->sim->ready()) << sim->sim->log();
  }
  const std::string host = script ? script->address() : sim->sim->address();

  run_result r = run_program({KESP_BINARY, "-a", ADDRESS_ARG, host, path}, RUN_LIMIT);
  EXPECT_FALSE(r.signaled) << "status " << r.status;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::string head = "kesp: address = 8000\nkesp: flags = 40000000\n";
  if (!s.flash_id.empty()) head += "kesp: flash_id = " + s.flash_id + "\n";
  EXPECT_EQ(difference(r.out, head + expected_bars(s, r.out) + s.tail), "");

  uint8_t words[2 * WORD_SIZE];
  encode_header(words, s.image_size, FLAG_ADDRESS);
  encode_address(words + WORD_SIZE, ADDRESS);
  const std::string request(reinterpret_cast<char *>(words), sizeof words);
  if (script) {
    ASSERT_TRUE(script->finish()) << "the tool never connected";
    EXPECT_TRUE(script->seen().received == request + (s.whole_image_at_target ? image : ""))
        << "the target received " << script->seen().received.size() << " bytes";
    if (s.target_holds) {
      EXPECT_TRUE(script->seen().client_left)
          << "the tool must close once it has its reply, not wait for the target to";
    }
    return;
  }
  if (s.whole_image_at_target) {
    EXPECT_TRUE(sim->sim->wait_for_log(" crc=" + crc_hex(image, 8) + ": ")) << sim->sim->log();
  }
  EXPECT_EQ(sim->sim->stop(), 0);
  std::string flash = sim->nor;
  if (s.written) program_flash(flash, NOR_BLOCK, ADDRESS, image);
  EXPECT_TRUE(read_file(sim->nor_path) == flash)
      << (s.written ? "the image is not in the flash" : "the flash changed");
}

INSTANTIATE_TEST_SUITE_P(Targets, Hostile, testing::Range(0, static_cast<int>(table().size())),
                         [](const testing::TestParamInfo<int> &p) {
                           return table()[static_cast<size_t>(p.param)].name;
                         });

}  // namespace
