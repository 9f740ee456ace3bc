// Helpers shared by the tests that run the built programs as processes.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "wire.h"

struct run_result {
  int status = -1;         // exit status, or 128 + signal number when killed
  bool signaled = false;   // ended by a signal (a crash, or the time limit)
  bool timed_out = false;  // killed because it outlived the time limit
  std::string out;         // everything written to standard output
  std::string err;         // everything written to standard error
};

// What spawn_program puts on a standard descriptor besides a descriptor of
// the caller's.
inline constexpr int SPAWN_NULL = -1;    // /dev/null, open for reading and writing
inline constexpr int SPAWN_CLOSED = -2;  // nothing: the descriptor is closed

// Starts argv[0] with the given arguments, its descriptor i (0, 1, 2) on
// std_fds[i]. It is killed if the test process dies first, so that a
// crashed test leaves no program holding an address. Returns its process
// id, or -1. Every test starts its programs through here.
pid_t spawn_program(const std::vector<std::string> &argv, const int (&std_fds)[3]);

// Runs argv[0] with the given arguments, standard input from /dev/null,
// and gathers both outputs. Kills it with SIGKILL after the time limit.
run_result run_program(const std::vector<std::string> &argv,
                       std::chrono::milliseconds limit = std::chrono::seconds(30));

// A file in a fresh temporary folder that is removed with the process.
std::string temp_path(const std::string &name);

// Writes bytes to a file, replacing it.
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);

// Deterministic pseudo-random bytes, so that failures repeat.
std::string pattern_bytes(size_t n, unsigned seed);

// Loopback addresses for the tests. None is taken on trust: whoever binds
// one moves on to the next candidate when the bind fails, at most
// ADDRESS_TRIES times. Candidates lie in 127.64.0.0 to 127.191.255.255,
// away from 127.0.0.x where people run their own simulators, and start at
// an offset drawn from the process id, so that test processes running side
// by side seldom meet.
inline constexpr int ADDRESS_TRIES = 20;
// The first address of the next candidate range, which has room for at
// least 1024 consecutive addresses.
std::string next_candidate();
// The candidate that next_candidate gives after ahead more calls, for
// tests of the harness itself.
std::string peek_candidate(uint32_t ahead);
// The address i places after first.
std::string nth_address(const std::string &first, uint32_t i);
// Whether a program's error output says its address was taken.
bool address_was_taken(const std::string &err);

// Binds a TCP socket to port 57000 of a free candidate address and, when
// asked, listens on it. Returns the socket, or -1 if every try failed.
int bind_loopback(bool listening, std::string *address);

// Port 57000 of address, as a socket address.
sockaddr_in loader_address(const std::string &address);
// A listener on port 57000 of address, as someone else's would be; -1 if
// the address is taken.
int listen_at(const std::string &address);

// A client connection to a board's loader, its receives bounded to 5 s;
// -1 when it was refused.
int connect_to(const std::string &address);

// Whether a connection to port 57000 of address is refused: no board
// listens there.
bool refused(const std::string &address);

// Port 57000 of a loopback address bound by us without listening, so that
// every connection to it is refused, whatever else runs on the machine.
class refusing_address {
 public:
  refusing_address();
  ~refusing_address();
  refusing_address(const refusing_address &) = delete;
  refusing_address &operator=(const refusing_address &) = delete;
  const std::string &address() const { return address_; }

 private:
  int fd_ = -1;
  std::string address_;
};

// A board that is off answers no SYN, and the kernel would retry for
// minutes. A listener whose accept queue one connection of ours fills
// drops SYNs the same way, on loopback and without root.
class off_board {
 public:
  off_board();
  ~off_board();
  off_board(const off_board &) = delete;
  off_board &operator=(const off_board &) = delete;
  bool ok() const { return ok_; }
  const std::string &address() const { return address_; }

 private:
  int listener_ = -1;
  int filler_ = -1;
  bool ok_ = false;
  std::string address_;
};

// Runs the simulator with args and a --listen of its own, moving on to
// another address while the one tried is taken: for runs that are meant
// to fail at start-up for some other reason.
run_result run_sim_on_free_address(const std::string &binary, const std::vector<std::string> &args,
                                   std::chrono::milliseconds limit = std::chrono::seconds(30));

// A kesp-sim serving one board, or a range of consecutive boards, on
// addresses it bound itself, its standard output and error kept in a file.
// Stopped with SIGTERM when it goes out of scope.
class sim_process {
 public:
  // Starts binary with --listen and args, then waits, at most ready_limit,
  // for its ready line; starts it again on other addresses while the one
  // tried is taken.
  sim_process(const std::string &binary, const std::vector<std::string> &args,
              std::chrono::milliseconds ready_limit = std::chrono::seconds(10));
  // The same for a multi-board simulator (--boards boards).
  sim_process(const std::string &binary, uint32_t boards, const std::vector<std::string> &args,
              std::chrono::milliseconds ready_limit = std::chrono::seconds(10));
  // The same with arguments that depend on the first board's address.
  using args_for_address = std::function<std::vector<std::string>(const std::string &first)>;
  sim_process(const std::string &binary, uint32_t boards, const args_for_address &args,
              std::chrono::milliseconds ready_limit = std::chrono::seconds(10));
  ~sim_process();
  sim_process(const sim_process &) = delete;
  sim_process &operator=(const sim_process &) = delete;

  bool ready() const { return ready_; }
  int pid() const { return pid_; }
  // The first board's address; board i's (from 0).
  const std::string &address() const { return address_; }
  std::string address(uint32_t i) const { return nth_address(address_, i); }
  // Sends SIGTERM and waits at most limit. Returns the exit status as
  // run_result counts it, or -1 if it had to be killed.
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Everything it wrote so far (in this start).
  std::string log() const;
  // Waits, at most limit, until the log holds text; false if it never did.
  bool wait_for_log(const std::string &text,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  // Waits, at most limit, until board i (from 0) has logged every
  // connection made to it before the call, and gives the log up to there:
  // a board serves its clients in turn, so a connection of the test's own,
  // which brings SIM_MARKER_BYTES and leaves, is logged after them. A board
  // whose address refuses has none left to log. False if the line of the
  // test's connection never came.
  bool wait_until_served(uint32_t i, std::string *log_before,
                         std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

 private:
  void start(const std::string &binary, uint32_t boards, const args_for_address &args,
             std::chrono::milliseconds ready_limit);
  bool spawn(const std::vector<std::string> &words);

  int pid_ = -1;
  bool ready_ = false;
  std::string address_;
  std::string log_path_;
};

// What wait_until_served sends: less than a request header, as no client
// of ours ever leaves after.
inline constexpr size_t SIM_MARKER_BYTES = 3;

// One board of an operator-mode kesp-sim, as its log tells it.
struct sim_board {
  std::string slot;      // its address; "" when the simulator serves one board
  int updates = 0;       // update connections it served
  int probes = 0;        // connections closed without a byte
  int idle_probes = 0;   // of those, the ones since its last update (or since it came)
  std::string left;      // its NOR's CRC as it left; "" while it is in
  std::string left_why;  // what took it out: "start request", "removed", ...
  bool pulled = false;   // an update of its was cut by a pull
  // The log lines of its connections that brought at least one byte: what
  // touched the board, however each connection's end is worded (a
  // connection that sent nothing touched nothing, even one cut by a stop).
  std::vector<std::string> touches;
};

// The log of an operator-mode kesp-sim: every board by serial number, and
// each slot's boards that served an update, in order.
struct sim_boards {
  std::map<std::string, sim_board> by_serial;
  std::map<std::string, std::vector<std::string>> updated;  // slot -> serials
  std::map<std::string, std::string> current;               // slot -> the serial last in
};

sim_boards read_sim_log(const std::string &log);

// Whether a board's loader has read at least bytes from a client and holds
// none unread, as the kernel counts them (iproute2's ss), and a wait of at
// most limit for that: what a test waits on before it acts mid-transfer.
bool loader_has_read(const std::string &address, uint64_t bytes);
bool wait_until_read(const std::string &address, uint64_t bytes, std::chrono::milliseconds limit);

// The bar the tool draws once done of total bytes have gone out, and the
// bars it draws while streaming: one per full 256-byte chunk, the first
// chunks of them.
std::string progress_bar(uint32_t total, uint32_t done);
std::string progress_bars(uint32_t total, uint32_t chunks);

// CRC-32 of bytes, and in hexadecimal: bare as the tool prints it, or in 8
// digits as the simulator logs it.
uint32_t crc_of(const std::string &bytes);
std::string crc_hex(const std::string &bytes, int digits = 0);

// A reply as the target puts it on the wire.
std::string reply(const flash_reply &r);

// Erases the blocks the image touches and programs it, as a flash part does.
void program_flash(std::string &flash, uint32_t block, uint32_t addr, const std::string &image);

// A kesp-sim whose NOR flash is a file holding a pattern beforehand, so that
// a test can tell whether anything reached the flash.
struct flashed_sim {
  std::string nor_path;
  std::string nor;  // what the file holds until a load goes through
  std::unique_ptr<sim_process> sim;

  flashed_sim(const std::string &binary, uint32_t nor_size, uint32_t nor_block,
              const std::vector<std::string> &args = {});
};

// A loader port of the test's own on a loopback address: one client is
// served, in a thread, by a script that may send what no sane target sends.
class scripted_target {
 public:
  struct session {
    int fd = -1;
    std::string received;      // everything the client sent
    bool ended = false;        // the script closed or reset the connection
    bool client_left = false;  // the client closed while the target held on

    // Receives n more bytes; false if the client closed or stayed silent.
    bool receive(size_t n);
    // The header and, when its flags ask for one, the address word.
    bool request();
    // As many image bytes as the header announced.
    bool image();
    void send(const std::string &bytes);
    // One byte per segment, a pause between them.
    void drip(const std::string &bytes);
    // Our end first, then waits for the client's.
    void close();
    // Ends the connection with a reset (SO_LINGER 0).
    void reset();
  };
  using script = std::function<void(session &)>;

  // A script that returns without ending the connection leaves it open
  // until finish(), so that a client waiting for the target to close hangs
  // (and meets its time limit) instead of passing.
  // Listens on a free loopback address of its own.
  explicit scripted_target(script play);
  ~scripted_target();
  scripted_target(const scripted_target &) = delete;
  scripted_target &operator=(const scripted_target &) = delete;

  bool listening() const { return listener_ >= 0; }
  const std::string &address() const { return address_; }
  // Lets a held connection go, then waits for the script and the
  // connection to end; true if a client came.
  bool finish();
  const session &seen() const { return session_; }

 private:
  int listener_ = -1;
  std::string address_;
  bool served_ = false;
  bool released_ = false;
  std::mutex mutex_;
  std::condition_variable release_;
  session session_;
  std::thread thread_;
};
