#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "crc32.h"
#include "net.h"
#include "wire.h"

pid_t spawn_program(const std::vector<std::string> &argv, const int (&std_fds)[3]) {
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_fd < 0) return -1;
  int fds[3];
  for (int i = 0; i < 3; ++i) fds[i] = std_fds[i] == SPAWN_NULL ? null_fd : std_fds[i];
  pid_t parent = getpid();
  // fork rather than posix_spawn, for the death signal; the child calls
  // only what is safe after a fork in a process with threads.
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    for (int i = 0; i < 3; ++i) {
      if (fds[i] == SPAWN_CLOSED) {
        close(i);
      } else if (fds[i] == i) {
        fcntl(i, F_SETFD, 0);
      } else if (dup2(fds[i], i) < 0) {
        _exit(127);
      }
    }
    execv(args[0], args.data());
    _exit(127);
  }
  close(null_fd);
  return pid;
}

run_result run_program(const std::vector<std::string> &argv, std::chrono::milliseconds limit) {
  run_result result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;

  pid_t pid = spawn_program(argv, {SPAWN_NULL, out_pipe[1], err_pipe[1]});
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.err = "spawn failed";
    return result;
  }

  auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto &fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signaled = true;
    result.status = 128 + WTERMSIG(wstatus);
  }
  return result;
}

std::string temp_path(const std::string &name) {
  static const std::string dir = [] {
    std::string templ = (std::filesystem::temp_directory_path() / "kesp-test-XXXXXX").string();
    return std::string(mkdtemp(templ.data()));
  }();
  // Death tests fork and exit in the child; only the process that made the
  // folder may remove it.
  static const struct cleanup {
    pid_t owner = getpid();
    ~cleanup() {
      std::error_code ec;
      if (getpid() == owner) std::filesystem::remove_all(dir, ec);
    }
  } remove_at_exit;
  return dir + "/" + name;
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string pattern_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(n, '\0');
  for (auto &b : bytes) b = static_cast<char>(gen() & 0xFF);
  return bytes;
}

namespace {

// The sim's own ready line; everything before it is start-up.
constexpr char SIM_READY[] = "kesp-sim: listening on ";
constexpr auto SIM_POLL = std::chrono::milliseconds(10);  // between looks at the log

// Reaps pid if it has ended; returns true and its status then.
bool reap(int pid, int *status) {
  int wstatus = 0;
  if (waitpid(pid, &wstatus, WNOHANG) != pid) return false;
  *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return true;
}

}  // namespace

namespace {

constexpr uint32_t CANDIDATE_BASE = 0x7f400000;  // 127.64.0.0
constexpr uint32_t CANDIDATE_STRIDE = 1024;      // addresses per candidate range
constexpr uint32_t CANDIDATES = 8192;            // ranges up to 127.191.255.255
constexpr uint32_t CANDIDATE_SKIP = 1;           // the .0 of a range's first /24 looks odd in a log
constexpr uint32_t PID_SPREAD = 2654435761U;     // scatters neighbouring process ids

uint32_t to_host(const std::string &address) {
  in_addr a{};
  inet_pton(AF_INET, address.c_str(), &a);
  return ntohl(a.s_addr);
}

std::string from_host(uint32_t host) {
  in_addr a{htonl(host)};
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::atomic<uint32_t> candidates_taken{0};  // NOLINT: the sequence is process-wide

std::string candidate(uint32_t n) {
  static const uint32_t offset = static_cast<uint32_t>(getpid()) * PID_SPREAD % CANDIDATES;
  uint32_t slot = (offset + n) % CANDIDATES;
  return from_host(CANDIDATE_BASE + slot * CANDIDATE_STRIDE + CANDIDATE_SKIP);
}

}  // namespace

std::string next_candidate() { return candidate(candidates_taken++); }

std::string peek_candidate(uint32_t ahead) { return candidate(candidates_taken + ahead); }

std::string nth_address(const std::string &first, uint32_t i) {
  return from_host(to_host(first) + i);
}

bool address_was_taken(const std::string &err) {
  return err.find(strerror(EADDRINUSE)) != std::string::npos;
}

int bind_loopback(bool listening, std::string *address) {
  for (int attempt = 0; attempt < ADDRESS_TRIES; ++attempt) {
    std::string candidate = next_candidate();
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Only a listener may share its port with connections lingering from
    // an earlier test; a socket that only refuses must own the address.
    int on = 1;
    if (listening) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = loader_address(candidate);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0 &&
        (!listening || listen(fd, SOMAXCONN) == 0)) {
      *address = candidate;
      return fd;
    }
    close(fd);
  }
  return -1;
}

sockaddr_in loader_address(const std::string &address) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(LOADER_PORT);
  sa.sin_addr.s_addr = htonl(to_host(address));
  return sa;
}

int listen_at(const std::string &address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa = loader_address(address);
  if (bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool refused(const std::string &address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loader_address(address);
  bool no =
      connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0 && errno == ECONNREFUSED;
  close(fd);
  return no;
}

refusing_address::refusing_address() { fd_ = bind_loopback(false, &address_); }

refusing_address::~refusing_address() {
  if (fd_ >= 0) close(fd_);
}

off_board::off_board() {
  listener_ = bind_loopback(false, &address_);
  if (listener_ < 0 || listen(listener_, 0) != 0) return;
  filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loader_address(address_);
  ok_ = connect(filler_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

off_board::~off_board() {
  if (filler_ >= 0) close(filler_);
  if (listener_ >= 0) close(listener_);
}

run_result run_sim_on_free_address(const std::string &binary, const std::vector<std::string> &args,
                                   std::chrono::milliseconds limit) {
  run_result r;
  for (int attempt = 0; attempt < ADDRESS_TRIES; ++attempt) {
    std::vector<std::string> argv = {binary, "--listen", next_candidate()};
    argv.insert(argv.end(), args.begin(), args.end());
    r = run_program(argv, limit);
    if (!address_was_taken(r.err)) break;
  }
  return r;
}

sim_process::sim_process(const std::string &binary, const std::vector<std::string> &args,
                         std::chrono::milliseconds ready_limit) {
  start(
      binary, 1, [&args](const std::string &) { return args; }, ready_limit);
}

sim_process::sim_process(const std::string &binary, uint32_t boards,
                         const std::vector<std::string> &args,
                         std::chrono::milliseconds ready_limit) {
  start(
      binary, boards, [&args](const std::string &) { return args; }, ready_limit);
}

sim_process::sim_process(const std::string &binary, uint32_t boards, const args_for_address &args,
                         std::chrono::milliseconds ready_limit) {
  start(binary, boards, args, ready_limit);
}

void sim_process::start(const std::string &binary, uint32_t boards, const args_for_address &args,
                        std::chrono::milliseconds ready_limit) {
  static int count = 0;
  log_path_ = temp_path("sim-" + std::to_string(++count) + ".log");
  for (int attempt = 0; attempt < ADDRESS_TRIES; ++attempt) {
    address_ = next_candidate();
    std::vector<std::string> words = {binary, "--listen", address_};
    if (boards != 1) words.insert(words.end(), {"--boards", std::to_string(boards)});
    std::vector<std::string> more = args(address_);
    words.insert(words.end(), more.begin(), more.end());
    if (!spawn(words)) return;
    ready_ = wait_for_log(SIM_READY, ready_limit);
    if (ready_) return;
    std::string said = log();
    if (!address_was_taken(said)) return;
    // It has ended, or is about to, having said so.
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
}

bool sim_process::spawn(const std::vector<std::string> &words) {
  int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log_fd < 0) return false;
  pid_t pid = spawn_program(words, {SPAWN_NULL, log_fd, log_fd});
  close(log_fd);
  if (pid < 0) return false;
  pid_ = pid;
  return true;
}

sim_process::~sim_process() { stop(); }

int sim_process::stop(std::chrono::milliseconds limit) {
  if (pid_ < 0) return -1;
  kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = -1;
  while (!reap(pid_, &status)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      status = -1;
      break;
    }
    std::this_thread::sleep_for(SIM_POLL);
  }
  pid_ = -1;
  return status;
}

std::string sim_process::log() const { return read_file(log_path_); }

bool sim_process::wait_for_log(const std::string &text, std::chrono::milliseconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (log().find(text) != std::string::npos) return true;
    // A simulator that has ended writes no more; peek without reaping it.
    siginfo_t info{};
    bool ended = pid_ < 0 ||
                 waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
                 info.si_pid != 0;
    if (ended || std::chrono::steady_clock::now() >= deadline) {
      return log().find(text) != std::string::npos;
    }
    std::this_thread::sleep_for(SIM_POLL);
  }
}

bool sim_process::wait_until_served(uint32_t i, std::string *log_before,
                                    std::chrono::milliseconds limit) const {
  int fd = connect_to(address(i));
  if (fd < 0) {
    *log_before = log();
    return true;
  }
  const std::string marker(SIM_MARKER_BYTES, '\0');
  bool sent = send_all(fd, marker.data(), marker.size()) == static_cast<ssize_t>(marker.size());
  close(fd);
  const std::string line =
      "client went away before a whole request (" + std::to_string(SIM_MARKER_BYTES) + " bytes)\n";
  if (!sent || !wait_for_log(line, limit)) return false;
  *log_before = log();
  size_t at = log_before->rfind(line);
  size_t line_start = log_before->rfind('\n', at);
  log_before->resize(line_start == std::string::npos ? 0 : line_start + 1);
  return true;
}

namespace {

// The bytes a board received on a connection, as its line tells them: a
// request's worth at least once the line names more than a probe or a
// connection that ended before its request was whole.
size_t connection_bytes(const std::string &what) {
  if (what == "probe: closed without a byte") return 0;
  const std::string before = " before a whole request (";
  size_t at = what.find(before);
  if (at == std::string::npos) return WORD_SIZE;
  return static_cast<size_t>(strtoul(what.c_str() + at + before.size(), nullptr, 10));
}

}  // namespace

sim_boards read_sim_log(const std::string &log) {
  sim_boards out;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    char slot[32] = {}, serial[16] = {};
    int used = 0;
    // With several boards, each line names its board's address first.
    if (sscanf(line.c_str(), "kesp-sim: %31[0-9.]: board %15[A-Z0-9]%n", slot, serial, &used) !=
            2 &&
        sscanf(line.c_str(), "kesp-sim: board %15[A-Z0-9]%n", serial, &used) != 1) {
      continue;
    }
    const std::string rest = line.substr(static_cast<size_t>(used));
    sim_board &b = out.by_serial[serial];
    b.slot = slot;
    if (rest.starts_with(" in,") || rest.starts_with(" inserted,")) out.current[slot] = serial;
    if (rest.starts_with(": probe:")) {
      ++b.probes;
      ++b.idle_probes;
    }
    if (rest.starts_with(": update ")) {
      ++b.updates;
      b.idle_probes = 0;
      out.updated[slot].push_back(serial);
      b.pulled = b.pulled || rest.find("board pulled") != std::string::npos;
    }
    if (rest.starts_with(": ") && connection_bytes(rest.substr(2)) > 0) b.touches.push_back(line);
    const std::string left = "nor crc32=";
    if (rest.starts_with(" left (") && rest.find(left) != std::string::npos) {
      b.left = rest.substr(rest.find(left) + left.size(), 8);
      b.left_why = rest.substr(7, rest.find(')') - 7);
    }
  }
  return out;
}

namespace {

constexpr uint32_t BAR_CHUNK = 256;  // image bytes per redraw of the bar
constexpr uint32_t BAR_CELLS = 50;   // cells between the brackets
// Bounds every wait of a scripted target, so that a client that stops
// talking fails its test instead of hanging it.
constexpr int SCRIPT_WAIT_MS = 5000;
constexpr int ACCEPT_WAIT_MS = 10000;  // for the client to connect at all
// Longer than any test lets the tool run: a held connection outlasts it.
constexpr auto HOLD_LIMIT = std::chrono::seconds(60);
constexpr auto DRIP_PAUSE = std::chrono::milliseconds(2);

}  // namespace

std::string progress_bar(uint32_t total, uint32_t done) {
  auto stars = static_cast<size_t>(uint64_t{done} * BAR_CELLS / total);
  return "\rloader: [" + std::string(stars, '*') + std::string(BAR_CELLS - stars, ' ') + "]";
}

std::string progress_bars(uint32_t total, uint32_t chunks) {
  std::string bars;
  for (uint32_t i = 1; i <= chunks; ++i) bars += progress_bar(total, i * BAR_CHUNK);
  return bars;
}

uint32_t crc_of(const std::string &bytes) {
  return crc32_update(0, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

std::string crc_hex(const std::string &bytes, int digits) {
  char buf[16];
  snprintf(buf, sizeof buf, "%0*x", digits, crc_of(bytes));
  return buf;
}

std::string reply(const flash_reply &r) {
  uint8_t bytes[REPLY_SIZE];
  encode_reply(bytes, r);
  return {reinterpret_cast<char *>(bytes), REPLY_SIZE};
}

void program_flash(std::string &flash, uint32_t block, uint32_t addr, const std::string &image) {
  auto first = static_cast<long>(addr / block * block);
  auto past = static_cast<long>((addr + image.size() + block - 1) / block * block);
  std::fill(flash.begin() + first, flash.begin() + past, '\xff');
  flash.replace(addr, image.size(), image);
}

flashed_sim::flashed_sim(const std::string &binary, uint32_t nor_size, uint32_t nor_block,
                         const std::vector<std::string> &args) {
  static int count = 0;
  nor_path = temp_path("flashed-nor-" + std::to_string(++count));
  nor = pattern_bytes(nor_size, nor_size + nor_block);
  write_file(nor_path, nor);
  std::vector<std::string> words = {"--nor-file",  nor_path,
                                    "--nor-size",  std::to_string(nor_size),
                                    "--nor-block", std::to_string(nor_block)};
  words.insert(words.end(), args.begin(), args.end());
  sim = std::make_unique<sim_process>(binary, words);
}

bool scripted_target::session::receive(size_t n) {
  std::string buf(n, '\0');
  ssize_t got = recv_all(fd, buf.data(), n);
  if (got > 0) received.append(buf, 0, static_cast<size_t>(got));
  return got == static_cast<ssize_t>(n);
}

bool scripted_target::session::request() {
  if (!receive(WORD_SIZE)) return false;
  request_header header = decode_header(reinterpret_cast<const uint8_t *>(received.data()));
  return (header.flags & FLAG_ADDRESS) == 0 || receive(WORD_SIZE);
}

bool scripted_target::session::image() {
  if (received.size() < WORD_SIZE) return false;
  return receive(decode_header(reinterpret_cast<const uint8_t *>(received.data())).length);
}

void scripted_target::session::send(const std::string &bytes) {
  send_all(fd, bytes.data(), bytes.size());
}

void scripted_target::session::drip(const std::string &bytes) {
  for (char byte : bytes) {
    send_all(fd, &byte, 1);
    std::this_thread::sleep_for(DRIP_PAUSE);
  }
}

void scripted_target::session::close() {
  shutdown(fd, SHUT_WR);
  // Whatever the client still sends is read, or our close would turn into
  // a reset.
  char sink[4096];
  while (recv(fd, sink, sizeof sink, 0) > 0) {
  }
  ended = true;
}

void scripted_target::session::reset() {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ended = true;
}

scripted_target::scripted_target(script play) {
  int fd = bind_loopback(true, &address_);
  if (fd < 0) return;
  listener_ = fd;
  thread_ = std::thread([this, play] {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, ACCEPT_WAIT_MS) != 1) return;
    session_.fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (session_.fd < 0) return;
    served_ = true;
    timeval limit{SCRIPT_WAIT_MS / 1000, 0};
    setsockopt(session_.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    play(session_);
    if (!session_.ended) {
      std::unique_lock lock(mutex_);
      release_.wait_for(lock, HOLD_LIMIT, [this] { return released_; });
      // A client that leaves bytes of ours unread resets rather than closes.
      char byte;
      ssize_t n = recv(session_.fd, &byte, 1, MSG_DONTWAIT);
      session_.client_left = n == 0 || (n < 0 && errno == ECONNRESET);
    }
    ::close(session_.fd);
  });
}

bool scripted_target::finish() {
  {
    std::lock_guard lock(mutex_);
    released_ = true;
  }
  release_.notify_all();
  if (thread_.joinable()) thread_.join();
  return served_;
}

scripted_target::~scripted_target() {
  // Wakes a thread still waiting for a client that will not come.
  if (listener_ >= 0) shutdown(listener_, SHUT_RDWR);
  finish();
  if (listener_ >= 0) close(listener_);
}

// A simulator that never answers fails the test instead of hanging it.
int connect_to(const std::string &address) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(LOADER_PORT);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether a board's loader has read at least bytes from a client and holds
// none unread, as the kernel counts them (iproute2's ss): with the whole
// image in, the board is in its flash time and a pull lands mid-unit. A
// connection merely established may still wait in the listener's queue,
// where a pull leaves no line in the simulator's log.
bool loader_has_read(const std::string &address, uint64_t bytes) {
  run_result r = run_program({"/usr/bin/ss", "-tinH", "state", "established", "src",
                              address + ":" + std::to_string(LOADER_PORT)},
                             std::chrono::seconds(5));
  std::istringstream lines(r.out);
  bool drained = false;  // the connection on the line before has nothing unread
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != ' ' && line[0] != '\t') {
      drained = line.rfind("0 ", 0) == 0;
      continue;
    }
    const size_t at = line.find("bytes_received:");
    if (drained && at != std::string::npos &&
        std::stoull(line.substr(at + sizeof "bytes_received:" - 1)) >= bytes) {
      return true;
    }
  }
  return false;
}

bool wait_until_read(const std::string &address, uint64_t bytes, std::chrono::milliseconds limit) {
  for (auto until = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
    if (loader_has_read(address, bytes)) return true;
  }
  return false;
}
