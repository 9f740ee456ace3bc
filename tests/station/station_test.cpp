// kesp-batch --station against fixture slots of the test's own: boards put
// in and pulled out at will, each connection to a slot seen and counted,
// so that every unit's verdict can be held against what its board got.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "batch_support.h"
#include "net.h"
#include "support.h"
#include "wire.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr uint32_t IMAGE_SIZE = 300000;  // more than two of kesp-batch's pieces
constexpr int SERVE_SLICE_MS = 20;       // how often the slot looks for a stop
constexpr auto HOLD_LIMIT = 10s;         // the longest a held verdict waits

// What the board in a slot does with the connections it accepts.
struct board_kind {
  uint16_t flash_id = 0x0101;
  int32_t final_error = 0;
  uint32_t pull_after = 0;   // pulled out (reset, slot refusing) after this many image bytes; 0 never
  bool hold_verdict = false;  // the verdict waits until release()
};

// One connection the slot accepted.
struct visit {
  int board = 0;             // which board took it: 1 for the first inserted
  bool probe = false;        // closed before any byte
  bool start = false;        // a start request
  uint16_t flash_id = 0;     // the id the board answered
  uint32_t image_bytes = 0;  // image bytes it received
  bool client_closed = false;  // the client closed after the first reply, sending nothing more
  std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();  // accepted
};

// A fixture slot on a loopback address of its own: empty (refusing) until
// a board is inserted; one connection served at a time, as a loader does.
// kesp-sim's operator mode plays boards for the suites that watch a line
// at large; a slot here is the test's own, for the events a station must
// meet at an exact point rather than at a time: a pull after so many image
// bytes, a verdict held until the test releases it, a swap no try can see.
class fixture_slot {
 public:
  fixture_slot() {
    listener_ = bind_loopback(true, &address_);
    if (listener_ >= 0) shutdown(listener_, SHUT_RD);  // stays bound, refuses
    thread_ = std::thread([this] { serve(); });
  }
  ~fixture_slot() {
    {
      std::lock_guard lock(mutex_);
      over_ = true;
      released_ = true;
    }
    changed_.notify_all();
    thread_.join();
    if (listener_ >= 0) close(listener_);
  }
  fixture_slot(const fixture_slot &) = delete;
  fixture_slot &operator=(const fixture_slot &) = delete;

  bool ok() const { return listener_ >= 0; }
  const std::string &address() const { return address_; }

  void insert(board_kind kind) {
    std::lock_guard lock(mutex_);
    kind_ = kind;
    ++boards_;
    present_ = listen(listener_, SOMAXCONN) == 0;
  }
  void pull() {
    std::lock_guard lock(mutex_);
    pull_locked();
  }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }
  std::vector<visit> visits() const {
    std::lock_guard lock(mutex_);
    return visits_;
  }
  // The visits once there are n, or after limit.
  std::vector<visit> visits(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return visits_.size() >= n; });
    return visits_;
  }
  // Waits at most limit until a board has received image bytes.
  bool wait_for_image(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return imaged_; });
  }

 private:
  void pull_locked() {
    if (present_) shutdown(listener_, SHUT_RD);
    present_ = false;
  }
  void serve() {
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (over_) return;
      }
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, SERVE_SLICE_MS) != 1 || (p.revents & POLLIN) == 0) continue;
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      timeval limit{2, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      serve_one(fd);
      close(fd);
    }
  }
  void serve_one(int fd) {
    visit v;
    board_kind kind;
    {
      std::lock_guard lock(mutex_);
      v.board = boards_;
      kind = kind_;
    }
    uint8_t word[WORD_SIZE];
    if (recv_all(fd, word, sizeof word) != WORD_SIZE) {
      v.probe = true;
      record(v);
      return;
    }
    request_header h = decode_header(word);
    if (h.length == 0 && h.flags == 0) {
      v.start = true;
      record(v);
      return;
    }
    if ((h.flags & FLAG_ADDRESS) != 0) recv_all(fd, word, sizeof word);
    v.flash_id = kind.flash_id;
    std::string first = reply({kind.flash_id, 0, 0, 0, 0});
    send_all(fd, first.data(), first.size());
    std::string image;
    char buf[65536];
    while (image.size() < h.length) {
      size_t want = std::min(sizeof buf, h.length - image.size());
      if (kind.pull_after > 0) want = std::min<size_t>(want, kind.pull_after - image.size());
      ssize_t n = recv(fd, buf, want, 0);
      if (n <= 0) {
        v.client_closed = n == 0 && image.empty();
        break;
      }
      image.append(buf, static_cast<size_t>(n));
      v.image_bytes = static_cast<uint32_t>(image.size());
      {
        std::lock_guard lock(mutex_);
        imaged_ = true;
      }
      changed_.notify_all();
      if (kind.pull_after > 0 && image.size() >= kind.pull_after) {
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        {
          std::lock_guard lock(mutex_);
          pull_locked();
        }
        record(v);
        return;
      }
    }
    if (image.size() == h.length) {
      if (kind.hold_verdict) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, HOLD_LIMIT, [this] { return released_; });
      }
      // Recorded before the verdict goes out: a client that has its verdict,
      // and the test that waited for that client, must find the load here.
      record(v);
      std::string last = reply({kind.flash_id, kind.final_error, 0, h.length, crc_of(image)});
      send_all(fd, last.data(), last.size());
      return;
    }
    record(v);
  }
  void record(const visit &v) {
    {
      std::lock_guard lock(mutex_);
      visits_.push_back(v);
    }
    changed_.notify_all();
  }

  int listener_ = -1;
  std::string address_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  board_kind kind_;
  int boards_ = 0;
  bool present_ = false;
  bool over_ = false;
  bool released_ = false;
  bool imaged_ = false;
  std::vector<visit> visits_;
  std::thread thread_;
};

// The transactions (not probes) of board number b.
std::vector<visit> loads_of(const std::vector<visit> &visits, int b) {
  std::vector<visit> loads;
  for (const visit &v : visits) {
    if (!v.probe && v.board == b) loads.push_back(v);
  }
  return loads;
}

size_t probes_of(const std::vector<visit> &visits, int b) {
  size_t n = 0;
  for (const visit &v : visits) n += v.probe && v.board == b ? 1 : 0;
  return n;
}

std::string image_file(const std::string &name) {
  std::string path = temp_path(name);
  write_file(path, pattern_bytes(IMAGE_SIZE, 16));
  return path;
}

// What a station says of a slot whose board has answered every try since
// unit's end: it cannot tell that board from a new one.
std::string still_in_note(const std::string &slot, int unit, const batch_process &batch) {
  return slot + ": board still present since unit " + std::to_string(unit) +
         " passed: remove it, or kill -USR1 " + std::to_string(batch.pid()) +
         " to flash it as a new unit";
}

bool wait_for_output(const batch_process &batch, const std::string &text,
                     std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  while (batch.out().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A board was put in after unit n - 1: waits, bounded, until it is unit n.
// A station that did not see the slot empty in between says so, and the
// operator's release (SIGUSR1, harmless to a slot that saw its board go)
// then makes it take the board; released says whether that was needed.
bool flash_next(const batch_process &batch, const std::string &report, size_t n,
                const std::string &note, bool *released = nullptr) {
  bool signalled = false;
  auto until = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < until) {
    if (read_report(report).units.size() >= n) {
      if (released != nullptr) *released = signalled;
      return true;
    }
    if (!signalled && batch.out().find(note) != std::string::npos) {
      batch.signal(SIGUSR1);
      signalled = true;
    }
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// The wrong part gets no image byte, in a one-shot run, a station, and from
// a recipe's own step; what the board sees is a close after its first reply.
struct expect_case {
  std::string label;
  bool station;
  bool recipe;  // --expect-id on the recipe's line, not the command line
};

TEST(Station, WrongFlashIdSendsNoImageByte) {
  const std::vector<expect_case> cases = {
      {.label = "one-shot", .station = false, .recipe = false},
      {.label = "station", .station = true, .recipe = false},
      {.label = "recipe step", .station = false, .recipe = true},
  };
  const std::string image = image_file("expect.bin");
  for (const expect_case &c : cases) {
    SCOPED_TRACE(c.label);
    fixture_slot slot;
    ASSERT_TRUE(slot.ok());
    slot.insert({.flash_id = 0x00c2});
    const std::string report_path = temp_path("expect-" + c.label + ".jsonl");
    std::vector<std::string> args = {"--report", report_path, "--retries", "0"};
    if (c.recipe) {
      const std::string recipe = temp_path("expect.recipe");
      write_file(recipe, "--expect-id 0101 " + image + "\n");
      args.insert(args.end(), {"-r", recipe});
    } else {
      args.insert(args.end(), {"-i", image, "--expect-id", "0101"});
    }
    if (c.station) args.insert(args.end(), {"--station", "--units", "1"});
    args.push_back(slot.address());
    run_result r = run_batch(args, 20s);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    report rep = read_report(report_path);
    ASSERT_EQ(rep.steps.size(), 1u) << rep.error;
    EXPECT_EQ(rep.steps[0]["failure"], "flash_id");
    EXPECT_EQ(rep.steps[0]["reason"], "flash id 00c2, expected 0101");
    EXPECT_EQ(rep.steps[0]["flash_id"], "00c2");
    EXPECT_EQ(rep.steps[0]["sent"], 0);
    std::vector<visit> loads = loads_of(slot.visits(1, 5s), 1);
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].image_bytes, 0u);
    EXPECT_TRUE(loads[0].client_closed);
    if (c.station) {
      std::vector<json> units = rep.units;
      ASSERT_EQ(units.size(), 1u);
      EXPECT_EQ(units[0]["failure"], "flash_id");
      EXPECT_EQ(units[0]["reason"], "flash id 00c2, expected 0101");
    }
  }
}

// Command lines refused before anything is sent: interfaces that do not
// exist or are written wrong, station options out of place.
struct refusal_case {
  std::vector<std::string> args;  // before the image and the slot's address
  std::string slot_prefix = "";   // put before the slot's address
  std::string slot_suffix = "";   // appended to the slot's address
  std::string message;
};

TEST(Station, RefusedCommandLinesSendNothing) {
  const std::vector<refusal_case> cases = {
      {.args = {}, .slot_suffix = "%kespnosuch0", .message = "no network interface kespnosuch0"},
      {.args = {}, .slot_suffix = "%", .message = "write ADDRESS%INTERFACE"},
      {.args = {}, .slot_suffix = "%lo%lo", .message = "write ADDRESS%INTERFACE"},
      {.args = {"--station", "--junit", "x.xml"}, .message = "--junit reports a run that ends"},
      {.args = {"--station", "-j", "2"}, .message = "-j does not apply to --station"},
      {.args = {"--settle", "1"}, .message = "--settle and --units belong to --station"},
      {.args = {"--station", "--units", "0"}, .message = "invalid --units: 0"},
      {.args = {"--expect-id", "12345"}, .message = "invalid --expect-id: 12345"},
      {.args = {"--expect-id", "xy"}, .message = "invalid --expect-id: xy"},
      {.args = {"--station"}, .slot_prefix = "=", .message = "write LABEL=ADDRESS"},
      {.args = {"--station"}, .slot_prefix = "ThirteenChars=", .message = "write LABEL=ADDRESS"},
      {.args = {"--station"}, .slot_prefix = "A 1=", .message = "write LABEL=ADDRESS"},
      {.args = {"--station"}, .slot_prefix = "A1=", .slot_suffix = "=B1",
       .message = "write LABEL=ADDRESS"},
      {.args = {}, .slot_prefix = "A1=", .message = "labels name the slots of a --station"},
      {.args = {"--station", "2=127.0.0.1"}, .message = "slots 1 and 2 would both read 2"},
  };
  const std::string image = image_file("refused.bin");
  fixture_slot slot;
  ASSERT_TRUE(slot.ok());
  slot.insert({});
  for (const refusal_case &c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-i", image, c.slot_prefix + slot.address() + c.slot_suffix});
    SCOPED_TRACE(args.back());
    run_result r = run_batch(args, 20s);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_TRUE(slot.visits().empty());
}

// The same address is one board on one interface and two on two: the
// duplicate check follows the interface; a slot bound to lo is reached.
TEST(Station, InterfaceIsPartOfTheBoard) {
  const std::string image = image_file("iface.bin");
  fixture_slot slot;
  ASSERT_TRUE(slot.ok());
  slot.insert({});
  run_result twice = run_batch({"-i", image, slot.address() + "%lo", slot.address() + "%lo"}, 20s);
  EXPECT_EQ(twice.status, 2) << twice.err;
  EXPECT_NE(twice.err.find("is given twice"), std::string::npos) << twice.err;
  const std::string report_path = temp_path("iface.jsonl");
  run_result r = run_batch({"-i", image, "--report", report_path, slot.address() + "%lo"}, 20s);
  if (r.status == 2 && r.err.find("Operation not permitted") != std::string::npos) {
    GTEST_SKIP() << "binding a socket to an interface is not permitted here: " << r.err;
  }
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(loads_of(slot.visits(1, 5s), 1).size(), 1u);
  report rep = read_report(report_path);
  ASSERT_EQ(rep.steps.size(), 1u) << rep.error;
  EXPECT_EQ(rep.steps[0]["board"], slot.address() + "%lo");
}

// What a terminal shows last: the text after the last time the live block
// was cleared, escape codes taken out, one string per line.
std::vector<std::string> last_screen(const std::string &screen) {
  size_t clear = screen.rfind("\x1b[J");
  std::string tail = screen.substr(clear == std::string::npos ? 0 : clear + 3);
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < tail.size(); ++i) {
    if (tail[i] == '\x1b') {
      while (i < tail.size() && isalpha(static_cast<unsigned char>(tail[i])) == 0) ++i;
    } else if (tail[i] == '\n') {
      lines.emplace_back();
    } else if (tail[i] != '\r') {
      lines.back() += tail[i];
    }
  }
  return lines;
}

std::string joined_lines(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\n";
  return text;
}

// The operator's view on a terminal of 80 columns, read from a metre
// away: each slot's line begins with its label (or number) and its state
// in a word, a failed board's with "REMOVE BOARD", whatever its reason's
// length; the totals and the last failures below, in colour unless
// NO_COLOR says otherwise; and once the station ends, the slots and the
// failures stay on the screen above its summary.
TEST(Station, TerminalViewShowsEverySlot) {
  const std::string image = image_file("tty.bin");
  for (bool no_colour : {false, true}) {
    SCOPED_TRACE(no_colour ? "NO_COLOR" : "colour");
    fixture_slot bad;
    fixture_slot empty;
    ASSERT_TRUE(bad.ok() && empty.ok());
    bad.insert({.final_error = 2});
    int master = -1;
    pid_t pid = start_on_terminal({KESP_BATCH_BINARY, "--station", "--units", "1", "-i", image,
                                   "A1=" + bad.address(), empty.address()},
                                  {.colour = !no_colour}, &master);
    ASSERT_GE(pid, 0);
    std::string screen;
    EXPECT_EQ(read_terminal(master, pid, &screen), 1);
    const std::string red = no_colour ? "" : "\x1b[1;31m";
    const std::string plain = no_colour ? "" : "\x1b[0m";
    EXPECT_NE(screen.find("A1  " + red + "FAILED" + plain + "  " + red + "REMOVE BOARD" + plain +
                          "  erase error (error 2, addr = 0)"),
              std::string::npos)
        << screen;
    const std::string dim = no_colour ? "" : "\x1b[2m";
    EXPECT_NE(screen.find("2   " + dim + "WAITING" + plain + "  for a board"), std::string::npos)
        << screen;
    EXPECT_NE(screen.find("1 unit: 0 passed, 1 failed, yield 0.0 %"), std::string::npos) << screen;
    // One instant failure is no rate and no time a unit takes.
    EXPECT_EQ(screen.find("units/h"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("median"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("\x1b[1;31m") == std::string::npos, no_colour) << screen;
    std::vector<std::string> last = last_screen(screen);
    const std::string left = joined_lines(last);
    size_t slot_line = left.find("A1  FAILED  REMOVE BOARD  erase error (error 2, addr = 0)");
    size_t failures = left.find("last failures:\n  A1  unit 1  erase error (error 2, addr = 0)");
    size_t summary = left.find("kesp-batch: station of 2 slots, 1 unit: 0 passed, 1 failed");
    EXPECT_NE(slot_line, std::string::npos) << left;
    EXPECT_NE(failures, std::string::npos) << left;
    EXPECT_NE(summary, std::string::npos) << left;
    EXPECT_LT(slot_line, failures) << left;
    EXPECT_LT(failures, summary) << left;
    for (const std::string &line : last) {
      if (line.starts_with("kesp-batch: ")) continue;  // the summary may wrap, as any printed line
      EXPECT_LT(line.size(), 80u) << line;
    }
  }
}

// The first signal shows at once, above the slots, with the units still at
// work; the line of each slot and its state word stay at 80 columns.
TEST(Station, TerminalViewSaysItIsStopping) {
  const std::string image = image_file("tty-stop.bin");
  fixture_slot busy;
  ASSERT_TRUE(busy.ok());
  busy.insert({.hold_verdict = true});
  int master = -1;
  pid_t pid = start_on_terminal(
      {KESP_BATCH_BINARY, "--station", "-i", image, "Fixture-07=" + busy.address()},
      {.colour = false}, &master);
  ASSERT_GE(pid, 0);
  std::string screen;
  char buf[4096];
  auto read_until = [&](const std::string &text, std::chrono::milliseconds limit) {
    for (auto until = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < until;) {
      if (screen.find(text) != std::string::npos) return true;
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 20) == 0) continue;
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) return false;
      screen.append(buf, static_cast<size_t>(n));
    }
    return screen.find(text) != std::string::npos;
  };
  EXPECT_TRUE(busy.wait_for_image(10s));
  EXPECT_TRUE(read_until("Fixture-07  FLASHING 1/1  [####################] 100%  waiting for its "
                         "verdict",
                         10s))
      << screen;
  size_t before = screen.size();
  kill(pid, SIGINT);
  auto signalled = std::chrono::steady_clock::now();
  EXPECT_TRUE(read_until("STOPPING  no new unit; at work: Fixture-07 unit 1", 10s)) << screen;
  auto shown = std::chrono::steady_clock::now();
  std::printf("STOPPING shown %.0f ms after the signal\n",
              std::chrono::duration<double, std::milli>(shown - signalled).count());
  EXPECT_NE(screen.find("STOPPING", before), std::string::npos) << screen;
  busy.release();
  EXPECT_EQ(read_terminal(master, pid, &screen), 0) << screen;
  const std::string left = joined_lines(last_screen(screen));
  EXPECT_NE(left.find("Fixture-07  PASSED  REMOVE BOARD  unit 1"), std::string::npos) << left;
  EXPECT_EQ(left.find("STOPPING"), std::string::npos) << left;

  // With no unit at work the station ends at once, and says so first.
  screen.clear();
  fixture_slot empty;
  ASSERT_TRUE(empty.ok());
  pid = start_on_terminal({KESP_BATCH_BINARY, "--station", "-i", image, empty.address()},
                          {.colour = false}, &master);
  ASSERT_GE(pid, 0);
  EXPECT_TRUE(read_until("1  WAITING  for a board", 10s)) << screen;
  kill(pid, SIGINT);
  EXPECT_EQ(read_terminal(master, pid, &screen), 0) << screen;
  EXPECT_NE(screen.find("STOPPING  no new unit, none at work\r\n"), std::string::npos) << screen;
}

// On a terminal, a board that answered every try since its unit is shown
// as still present, never as the last unit's PASSED going on, with the
// operator's way to have it flashed; told so, the station takes it.
TEST(Station, TerminalViewSaysABoardIsStillPresent) {
  const std::string image = image_file("tty-still.bin");
  // The operator's two ways on: the view's key, and the signal a headless
  // station is told of.
  for (bool by_key : {true, false}) {
    SCOPED_TRACE(by_key ? "key" : "signal");
    fixture_slot slot;
    ASSERT_TRUE(slot.ok());
    slot.insert({});
    int master = -1;
    // Standard input elsewhere: the view must not offer a key it cannot read.
    pid_t pid = start_on_terminal({KESP_BATCH_BINARY, "--station", "--units", "2", "--settle",
                                   "0.2", "-i", image, slot.address()},
                                  {.colour = false, .keys = by_key}, &master);
    ASSERT_GE(pid, 0);
    const std::string told =
        "a board still present: remove it, or " +
        (by_key ? std::string("press r") : "kill -USR1 " + std::to_string(pid)) +
        " to flash it as a new unit";
    std::string screen;
    bool swapped = false;
    bool released = false;
    char buf[4096];
    for (auto until = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < until;) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 100) == 0) continue;
      ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;  // EIO once the program has ended
      screen.append(buf, static_cast<size_t>(n));
      if (!swapped && screen.find("1  PASSED  REMOVE BOARD  unit 1") != std::string::npos) {
        slot.insert({});  // no gap a try could see
        swapped = true;
      }
      if (swapped && !released && screen.find(told) != std::string::npos) {
        if (by_key) {
          ASSERT_EQ(write(master, "r", 1), 1);
        } else {
          kill(pid, SIGUSR1);
        }
        released = true;
      }
    }
    close(master);
    kill(pid, SIGKILL);  // a station that never ended
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << screen;
    EXPECT_TRUE(released) << screen;
    EXPECT_NE(screen.find("1  STILL PRESENT  REMOVE BOARD  unit 1 PASSED  "), std::string::npos)
        << screen;
    EXPECT_EQ(loads_of(slot.visits(), 2).size(), 1u) << screen;
  }
}

// A board taken out of its slot and a fresh one put in, as an operator
// does between two units.
struct cycle_case {
  std::string label;
  board_kind first;         // the first unit's board
  std::string failure;      // its unit's failure kind
  bool stays = false;       // it stays in its slot after its unit, until the test pulls it
};

// A slot flashes each board once: a failed board left in its slot is only
// probed (never sent a byte) until it has been gone for the settle time; a
// board pulled mid-image fails its unit and the slot takes the next.
TEST(StationCycle, EachBoardOnceAndTheSlotCarriesOn) {
  const std::vector<cycle_case> cases = {
      {.label = "failed board left in",
       .first = {.final_error = 2},
       .failure = "target_error",
       .stays = true},
      {.label = "pulled mid-image", .first = {.pull_after = 100000}, .failure = "connection"},
  };
  const std::string image = image_file("cycle.bin");
  for (const cycle_case &c : cases) {
    SCOPED_TRACE(c.label);
    fixture_slot slot;
    ASSERT_TRUE(slot.ok());
    slot.insert(c.first);
    const std::string report_path = temp_path("cycle-" + std::to_string(c.stays) + ".jsonl");
    const std::string logs = temp_path("cycle-logs-" + std::to_string(c.stays));
    batch_process batch({"--station", "--units", "2", "--settle", "0.3", "--retries", "0", "-i",
                         image, "--report", report_path, "--log-dir", logs, slot.address()});
    ASSERT_TRUE(wait_for_units(report_path, 1, 10s)) << batch.err();
    if (c.stays) {
      // Several tries at the settle time's pace: none may carry a byte.
      std::this_thread::sleep_for(1s);
      EXPECT_EQ(loads_of(slot.visits(), 1).size(), 1u);
      EXPECT_GE(probes_of(slot.visits(), 1), 2u);
    }
    // A board is gone from the first try its slot refused; the next one
    // comes later, as an operator's hands take a while. Should the station
    // not have looked in between, it says so and is told.
    slot.pull();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(loads_of(slot.visits(), 1).size(), 1u);
    slot.insert({});
    EXPECT_TRUE(flash_next(batch, report_path, 2, still_in_note(slot.address(), 1, batch)));
    EXPECT_EQ(batch.wait(15s), 1) << batch.out() << batch.err();
    std::vector<visit> visits = slot.visits();
    EXPECT_EQ(loads_of(visits, 1).size(), 1u);
    std::vector<visit> second = loads_of(visits, 2);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].image_bytes, IMAGE_SIZE);

    report rep = read_report(report_path);
    ASSERT_TRUE(rep.error.empty()) << rep.error;
    const std::vector<json> &units = rep.units;
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0]["unit"], 1);
    EXPECT_EQ(units[0]["slot"], slot.address());
    EXPECT_EQ(units[0]["result"], "failed");
    EXPECT_EQ(units[0]["failure"], c.failure);
    EXPECT_EQ(units[0]["failed_step"], 1);
    EXPECT_EQ(units[1]["unit"], 2);
    EXPECT_EQ(units[1]["result"], "passed");
    EXPECT_EQ(units[1]["sent"], IMAGE_SIZE);
    EXPECT_EQ(units[1]["failure"], nullptr);
    ASSERT_EQ(rep.steps.size(), 2u);
    EXPECT_EQ(rep.steps[0]["unit"], 1);
    EXPECT_EQ(rep.steps[1]["unit"], 2);
    EXPECT_EQ(rep.steps[1]["slot"], slot.address());
    EXPECT_EQ(rep.summary["units"], 2);
    EXPECT_EQ(rep.summary["failed"], 1);
    EXPECT_EQ(rep.summary["stop"], "units");
    // One log per unit, each its own.
    for (const json &u : units) {
      ASSERT_TRUE(u["log"].is_string());
      EXPECT_NE(read_file(u["log"].get<std::string>()).find("kesp: flash_id = 0101"),
                std::string::npos);
    }
    EXPECT_NE(units[0]["log"], units[1]["log"]);
    EXPECT_NE(batch.out().find(slot.address() + ": unit 2: passed"), std::string::npos)
        << batch.out();
  }
}

// Boards come and go in one slot; none may be taken for the one before.
struct presence_case {
  std::string label;
  int boards;                    // put in after the first, one per unit
  std::optional<int> empty_ms;   // the slot stands empty this long; none: a swap no try can see
  bool must_flash;               // each is flashed without the operator's word
  bool must_announce;            // the station says it cannot tell, and is told
};

// Once a slot has seen its board gone, whatever answers is a new board:
// taken once the settle time from then has run out, whenever it came. A
// swap faster than a try is said, never silently taken for the old board.
TEST(StationPresence, NewBoardIsNeverTakenForTheOldOne) {
  // Off the tries' grid of 250 ms, where a board put in just after the
  // settle time was once taken for the old one.
  constexpr int SETTLE_MS = 550;
  const std::vector<presence_case> cases = {
      {.label = "put in at settle + 50 ms",
       .boards = 10,
       .empty_ms = SETTLE_MS + 50,
       .must_flash = true,
       .must_announce = false},
      {.label = "swapped in 0.5 s",
       .boards = 3,
       .empty_ms = 500,
       .must_flash = false,
       .must_announce = false},
      {.label = "swapped unseen", .boards = 2, .empty_ms = std::nullopt, .must_flash = false,
       .must_announce = true},
  };
  const std::string image = image_file("presence.bin");
  for (const presence_case &c : cases) {
    SCOPED_TRACE(c.label);
    fixture_slot slot;
    ASSERT_TRUE(slot.ok());
    slot.insert({});
    const std::string report_path =
        temp_path("presence-" + std::to_string(&c - cases.data()) + ".jsonl");
    std::remove(report_path.c_str());  // a report left by an earlier run holds its units
    batch_process batch({"--station", "--units", std::to_string(c.boards + 1), "--settle",
                         std::to_string(SETTLE_MS / 1000.0), "-i", image, "--report",
                         report_path, slot.address()});
    ASSERT_TRUE(wait_for_units(report_path, 1, 10s)) << batch.err();
    for (int b = 2; b <= c.boards + 1; ++b) {
      SCOPED_TRACE("board " + std::to_string(b));
      const std::string note = still_in_note(slot.address(), b - 1, batch);
      if (c.empty_ms) {
        slot.pull();
        std::this_thread::sleep_for(std::chrono::milliseconds(*c.empty_ms));
        slot.insert({});
      } else {
        slot.insert({});
        // Said once the slot would have taken a new board, and the board is
        // left untouched until the operator's word.
        ASSERT_TRUE(wait_for_output(batch, note, 10s)) << batch.out();
        EXPECT_TRUE(loads_of(slot.visits(), b).empty());
      }
      bool released = false;
      if (c.must_flash) {
        EXPECT_TRUE(wait_for_units(report_path, static_cast<size_t>(b), 10s)) << batch.out();
      } else {
        ASSERT_TRUE(flash_next(batch, report_path, static_cast<size_t>(b), note, &released))
            << batch.out();
        EXPECT_TRUE(released || !c.must_announce);
      }
    }
    EXPECT_EQ(batch.wait(15s), 0) << batch.out() << batch.err();
    std::vector<visit> visits = slot.visits();
    for (int b = 1; b <= c.boards + 1; ++b) {
      std::vector<visit> loads = loads_of(visits, b);
      ASSERT_EQ(loads.size(), 1u) << "board " << b;
      EXPECT_EQ(loads[0].image_bytes, IMAGE_SIZE) << "board " << b;
    }
  }
}

// A station restarted while a board that passed is still in its slot
// (the record says so) does not flash it again: it says the board is
// there, and takes the next one once that has left.
TEST(StationPresence, RestartLeavesAPassedBoardAlone) {
  const std::string image = image_file("restart.bin");
  fixture_slot slot;
  ASSERT_TRUE(slot.ok());
  slot.insert({});
  const std::string db = temp_path("restart.sqlite");
  std::remove(db.c_str());
  const std::vector<std::string> args = {"--station", "--units", "1", "--settle", "0.3",
                                         "--db", db, "-i", image, slot.address()};
  run_result first = run_batch(args, 20s);
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ASSERT_EQ(loads_of(slot.visits(), 1).size(), 1u);
  const std::string report_path = temp_path("restart.jsonl");
  std::remove(report_path.c_str());
  std::vector<std::string> again = args;
  again.insert(again.end(), {"--report", report_path});
  batch_process batch(again);
  const std::string note = slot.address() + ": board still present since unit 1 passed before "
                           "this start: remove it, or kill -USR1 " + std::to_string(batch.pid()) +
                           " to flash it as a new unit";
  ASSERT_TRUE(wait_for_output(batch, note, 10s)) << batch.out() << batch.err();
  EXPECT_EQ(loads_of(slot.visits(), 1).size(), 1u);
  slot.pull();
  std::this_thread::sleep_for(300ms);
  slot.insert({});
  EXPECT_TRUE(flash_next(batch, report_path, 1, note));
  EXPECT_EQ(batch.wait(15s), 0) << batch.out() << batch.err();
  std::vector<visit> visits = slot.visits();
  EXPECT_EQ(loads_of(visits, 1).size(), 1u);
  EXPECT_EQ(loads_of(visits, 2).size(), 1u);
}

// A step whose connection failed is not tried again by default in a
// station: the board may have been pulled and the next put in meanwhile,
// and a retry would flash it as part of the old unit, without the steps
// before. The unit fails; the new board is left to the slot's next unit.
TEST(StationCycle, NoRetryOntoABoardSwappedIn) {
  const std::string image = image_file("swapped.bin");
  fixture_slot slot;
  ASSERT_TRUE(slot.ok());
  slot.insert({.pull_after = 100000});
  const std::string report_path = temp_path("swapped.jsonl");
  batch_process batch({"--station", "--units", "1", "--settle", "0.3", "-i", image, "--report",
                       report_path, slot.address()});
  ASSERT_EQ(slot.visits(1, 10s).size(), 1u) << batch.err();
  // At once, well within the pause before a retry.
  slot.insert({});
  EXPECT_EQ(batch.wait(15s), 1) << batch.out() << batch.err();
  EXPECT_TRUE(loads_of(slot.visits(), 2).empty());
  report rep = read_report(report_path);
  ASSERT_EQ(rep.units.size(), 1u) << rep.error;
  EXPECT_EQ(rep.units[0]["result"], "failed");
  EXPECT_EQ(rep.units[0]["failure"], "connection");
}

// A station's dry run speaks of slots, not of boards flashed so many at a
// time.
TEST(Station, DryRunSpeaksOfSlots) {
  const std::string image = image_file("dry-station.bin");
  run_result r = run_batch({"--station", "--dry-run", "-i", image, "-s", "127.0.0.1",
                            "127.0.0.2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.starts_with("kesp-batch: dry run, nothing is sent: a station of 2 slots, 2 "
                                "steps per unit, each slot watched on its own\n"))
      << r.out;
  EXPECT_EQ(r.out.find("at a time"), std::string::npos) << r.out;
  // A slot's label, from a board list as from the command line, goes with
  // its slot; its board is the address after it.
  const std::string list = temp_path("labelled-slots.txt");
  std::ofstream(list) << "# fixture 1\nA1=127.0.0.3%lo\n127.0.0.4\n";
  r = run_batch({"--station", "--dry-run", "-i", image, "-b", list, "B7=127.0.0.5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nA1=127.0.0.3%lo: 127.0.0.3\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n127.0.0.4: 127.0.0.4\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\nB7=127.0.0.5: 127.0.0.5\n"), std::string::npos) << r.out;
}

// The first signal begins no new unit and lets the one at work finish;
// the second stops it.
struct signal_case {
  std::string label;
  int signals;
  int status;
  std::string result;  // the unit's
};

TEST(StationCycle, SignalsStopTheStation) {
  const std::vector<signal_case> cases = {
      {.label = "once", .signals = 1, .status = 0, .result = "passed"},
      {.label = "twice", .signals = 2, .status = 130, .result = "failed"},
  };
  const std::string image = image_file("signal.bin");
  for (const signal_case &c : cases) {
    SCOPED_TRACE(c.label);
    fixture_slot busy;
    fixture_slot empty;
    ASSERT_TRUE(busy.ok() && empty.ok());
    busy.insert({.hold_verdict = true});
    const std::string report_path = temp_path("signal-" + c.label + ".jsonl");
    batch_process batch({"--station", "--settle", "0.2", "-i", image, "--report", report_path,
                         busy.address(), empty.address()});
    ASSERT_TRUE(busy.wait_for_image(10s)) << batch.err();
    // Without a terminal too, a unit is told as it begins, and the first
    // signal at once with the units still at work.
    EXPECT_NE(batch.out().find(busy.address() + ": unit 1: started"), std::string::npos)
        << batch.out();
    for (int i = 0; i < c.signals; ++i) {
      batch.signal(i == 0 ? SIGINT : SIGTERM);
      if (i == 0) {
        EXPECT_TRUE(wait_for_output(batch,
                                    "kesp-batch: STOPPING: no new unit; at work: " +
                                        busy.address() + " unit 1; a second signal stops them",
                                    10s))
            << batch.out();
      }
      std::this_thread::sleep_for(200ms);
    }
    // A board put in after the signal is not taken.
    empty.insert({});
    std::this_thread::sleep_for(500ms);
    busy.release();
    EXPECT_EQ(batch.wait(15s), c.status) << batch.out() << batch.err();
    EXPECT_TRUE(loads_of(empty.visits(), 1).empty());
    report rep = read_report(report_path);
    ASSERT_EQ(rep.units.size(), 1u) << rep.error;
    EXPECT_EQ(rep.units[0]["result"], c.result);
    if (c.signals == 2) {
      EXPECT_EQ(rep.units[0]["failure"], "interrupted");
    }
    EXPECT_EQ(rep.summary["interrupted"], c.signals == 2);
    EXPECT_EQ(rep.summary["stop"], c.signals == 2 ? "stopped" : "signal");
  }
}

// What the test does as the operator while the station runs: a board that
// the station only probes (it failed and stays, or the station took it for
// the one before) is taken out after a while and a fresh one put in after
// its slot stood empty; slot PULLED's board is pulled once, mid-unit.
class sim_operator {
 public:
  sim_operator(const sim_process &sim, std::string fifo, uint32_t pulled,
               uint64_t pull_after_bytes)
      : sim_(sim), fifo_(std::move(fifo)), pulled_(pulled), pull_after_bytes_(pull_after_bytes) {}
  // One look at the log, and what the operator's hands do now.
  void look() {
    auto now = std::chrono::steady_clock::now();
    sim_boards seen = read_sim_log(sim_.log());
    for (uint32_t i = 0; i < SIM_SLOTS; ++i) {
      const std::string slot = sim_.address(i);
      const std::string number = std::to_string(i + 1);
      slot_state &st = slots_[i];
      if (st.insert_at) {
        if (now >= *st.insert_at) {
          send("insert " + number);
          st.insert_at.reset();
        }
        continue;
      }
      const std::string serial = seen.current[slot];
      const sim_board &b = seen.by_serial[serial];
      if (serial.empty() || !b.left.empty() || serial == st.taken) continue;
      if (i + 1 == pulled_ && !pull_done && b.updates == 0 &&
          loader_has_read(slot, pull_after_bytes_)) {
        pull_done = true;
        take(st, serial, now);
        continue;
      }
      // A new board may be tried once before its unit, whose update is
      // logged only as it ends: only probes after an update, or more than
      // any new board's settling takes, say the station leaves it alone.
      if (b.idle_probes == 0 || (b.updates == 0 && b.idle_probes < 4)) continue;
      if (!st.probed_since || st.probed_serial != serial || st.probed_updates != b.updates) {
        st.probed_since = now;
        st.probed_serial = serial;
        st.probed_updates = b.updates;
      }
      // A while, so that the station's probes in between can be seen to
      // carry no byte.
      if (now - *st.probed_since >= OPERATOR_WAIT) take(st, serial, now);
    }
  }
  bool pull_done = false;
  static constexpr uint32_t SIM_SLOTS = 4;

 private:
  static constexpr auto OPERATOR_WAIT = 400ms;
  static constexpr auto EMPTY_SLOT = 700ms;  // more than the settle time and a probe's period
  struct slot_state {
    std::optional<std::chrono::steady_clock::time_point> insert_at;
    std::optional<std::chrono::steady_clock::time_point> probed_since;
    std::string probed_serial;
    int probed_updates = 0;
    std::string taken;  // the last board taken out
  };
  void take(slot_state &st, const std::string &serial, std::chrono::steady_clock::time_point now) {
    send("remove " + std::to_string(&st - slots_ + 1));
    st.taken = serial;
    st.insert_at = now + EMPTY_SLOT;
  }
  void send(const std::string &line) const { std::ofstream(fifo_) << line << "\n"; }
  const sim_process &sim_;
  std::string fifo_;
  uint32_t pulled_;
  uint64_t pull_after_bytes_;
  slot_state slots_[SIM_SLOTS];
};

// kesp-sim plays the boards and swaps them, the test the operator for the
// boards that stay. Slot 1's boards are good, slot 2's fail their final
// reply, slot 3's are the wrong part, slot 4's take long to erase and one
// is pulled mid-unit. Every unit's verdict must match the flash the
// simulator logged as its board left, and no board is flashed twice.
TEST(StationCycle, SimulatedBoardsComeAndGo) {
  constexpr uint32_t SLOTS = sim_operator::SIM_SLOTS;
  constexpr int UNITS = 40;
  constexpr uint32_t NOR_SIZE = 128 * 1024;
  constexpr uint32_t NOR_BLOCK = 16 * 1024;
  constexpr uint32_t ADDRESS = 0x4010;
  const std::string image = pattern_bytes(20000, 17);
  const std::string image_path = temp_path("sim-station.bin");
  write_file(image_path, image);
  std::string flashed(NOR_SIZE, '\xff');
  const std::string erased_crc = crc_hex(flashed, 8);
  program_flash(flashed, NOR_BLOCK, ADDRESS, image);
  const std::string flashed_crc = crc_hex(flashed, 8);

  const std::string fifo = temp_path("sim-station-control");
  sim_process sim(KESP_SIM_BINARY, SLOTS,
                  {"--nor-size", std::to_string(NOR_SIZE), "--nor-block",
                   std::to_string(NOR_BLOCK), "--swap", "400-900", "--control", fifo,
                   "--erase-time", "20", "--program-time", "300", "--select", "2",
                   "--final-error", "2", "--select", "3", "--other-nor-id", "0xc2", "--select",
                   "4", "--erase-time", "800"});
  ASSERT_TRUE(sim.ready()) << sim.log();
  const std::string report_path = temp_path("sim-station.jsonl");
  std::vector<std::string> args = {"--station", "--units", std::to_string(UNITS), "--settle",
                                   "0.3", "--expect-id", "0101", "-a", "0x4010", "-i",
                                   image_path, "-s", "--report", report_path};
  for (uint32_t i = 0; i < SLOTS; ++i) args.push_back(sim.address(i));
  batch_process batch(args);
  // Slot 4's board is pulled once it has read the request and the whole image,
  // during its 1.6 s of erasing.
  sim_operator op(sim, fifo, 4, image.size() + 2 * WORD_SIZE);  // header, address, image
  auto until = std::chrono::steady_clock::now() + 90s;
  while (std::chrono::steady_clock::now() < until) {
    siginfo_t ended{};
    if (waitid(P_PID, static_cast<id_t>(batch.pid()), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        ended.si_pid != 0) {
      break;
    }
    op.look();
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(batch.wait(5s), 1) << batch.out() << batch.err();
  EXPECT_TRUE(op.pull_done) << sim.log();
  // Every board out, so that each has said what it held.
  std::ofstream(fifo) << "remove all\n";
  sim_boards boards;
  for (auto leave_until = std::chrono::steady_clock::now() + 10s;
       std::chrono::steady_clock::now() < leave_until; std::this_thread::sleep_for(20ms)) {
    boards = read_sim_log(sim.log());
    if (std::ranges::all_of(boards.by_serial, [](auto &b) { return !b.second.left.empty(); })) {
      break;
    }
  }
  const std::string log = sim.log();

  report rep = read_report(report_path);
  ASSERT_TRUE(rep.error.empty()) << rep.error;
  ASSERT_EQ(rep.units.size(), static_cast<size_t>(UNITS));
  EXPECT_EQ(rep.summary["units"], UNITS);
  EXPECT_EQ(rep.summary["stop"], "units");
  std::set<int> numbers;
  for (const json &u : rep.units) numbers.insert(u["unit"].get<int>());
  EXPECT_EQ(numbers.size(), static_cast<size_t>(UNITS));
  // No board flashed twice: one update at most, whatever it was probed.
  for (const auto &[serial, b] : boards.by_serial) {
    EXPECT_LE(b.updates, 1) << serial << "\n" << log;
    EXPECT_FALSE(b.left.empty()) << serial << " never left\n" << log;
  }
  // Each slot's units are its boards that were sent an update, in order:
  // a unit passed exactly when its board left with the image flashed.
  size_t pulled = 0;
  for (uint32_t i = 0; i < SLOTS; ++i) {
    const std::string slot = sim.address(i);
    SCOPED_TRACE(slot);
    std::vector<json> units;
    for (const json &u : rep.units) {
      if (u["slot"] == slot) units.push_back(u);
    }
    const std::vector<std::string> &serials = boards.updated[slot];
    ASSERT_EQ(units.size(), serials.size()) << log;
    for (size_t k = 0; k < units.size(); ++k) {
      const json &u = units[k];
      const sim_board &b = boards.by_serial[serials[k]];
      const bool passed = u["result"] == "passed";
      EXPECT_EQ(b.left, passed ? flashed_crc : erased_crc) << serials[k] << " " << u.dump();
      pulled += b.pulled ? 1 : 0;
      if (i == 0) {
        EXPECT_TRUE(passed) << u.dump();
      }
      if (i == 1) {
        EXPECT_EQ(u["failure"], "target_error") << u.dump();
      }
      if (i == 2) {
        EXPECT_FALSE(passed);
        EXPECT_NE(u["reason"].get<std::string>().find("flash id 00c2, expected 0101"),
                  std::string::npos)
            << u.dump();
      }
      if (i == 3) {
        EXPECT_EQ(passed, !b.pulled) << serials[k] << " " << u.dump();
      }
    }
  }
  EXPECT_EQ(pulled, 1u) << log;
}

}  // namespace
