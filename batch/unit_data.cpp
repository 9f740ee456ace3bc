#include "unit_data.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "text.h"

namespace {

const char *const OUR_VARIABLES[] = {"KESP_SERIAL=", "KESP_UNIT=", "KESP_SLOT=", "KESP_STATION="};

// The command's words to the operator: its last lines, on one line.
std::string error_text(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
    text.pop_back();
  }
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += "; ";
    } else if (c != '\r') {
      out += c;
    }
  }
  return out;
}

std::string with_text(const std::string &what, const std::string &err) {
  std::string text = error_text(err);
  return text.empty() ? what : what + ": " + text;
}

struct spawned {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

std::string spawn(const std::string &command, const unit_data_env &env, spawned *s) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
  if (pipe2(err, O_CLOEXEC) != 0) {
    int e = errno;
    close(out[0]);
    close(out[1]);
    return std::string("pipe: ") + strerror(e);
  }
  // The unit's values reach the command as variables, never as shell text.
  std::vector<std::string> vars;
  for (char **e = environ; *e != nullptr; ++e) {
    bool ours = false;
    for (const char *v : OUR_VARIABLES) ours = ours || strncmp(*e, v, strlen(v)) == 0;
    if (!ours) vars.emplace_back(*e);
  }
  vars.push_back("KESP_SERIAL=" + env.serial);
  vars.push_back("KESP_UNIT=" + env.unit);
  vars.push_back("KESP_SLOT=" + env.slot);
  vars.push_back("KESP_STATION=" + env.station);
  std::vector<char *> envp(vars.size() + 1, nullptr);
  for (size_t i = 0; i < vars.size(); ++i) envp[i] = vars[i].data();
  std::string sh = "/bin/sh";
  std::string dash_c = "-c";
  std::string cmd = command;
  char *argv[] = {sh.data(), dash_c.data(), cmd.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // A group of its own, so that a time limit kills what it started too;
  // signals as a fresh process has them, whatever the station ignores.
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  int rc = posix_spawn(&s->pid, "/bin/sh", &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    return std::string("cannot run /bin/sh: ") + strerror(rc);
  }
  s->out = out[0];
  s->err = err[0];
  return "";
}

std::string signal_text(int sig) {
  const char *abbrev = sigabbrev_np(sig);
  return std::to_string(sig) + (abbrev != nullptr ? std::string(" (SIG") + abbrev + ")" : "");
}

}  // namespace

unit_data_run::~unit_data_run() {
  if (cancel_ >= 0) {
    uint64_t one = 1;
    while (write(cancel_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  if (worker_.joinable()) worker_.join();
  if (cancel_ >= 0) close(cancel_);
  if (done_ >= 0) close(done_);
}

bool unit_data_run::finished() const {
  if (done_ < 0) return false;
  pollfd p{.fd = done_, .events = POLLIN, .revents = 0};
  return poll(&p, 1, 0) == 1;
}

std::string unit_data_run::start(const std::string &command, const unit_data_env &env,
                                 const unit_data_limits &limits) {
  if (done_ >= 0) return "a unit's data command runs once";
  done_ = eventfd(0, EFD_CLOEXEC);
  cancel_ = eventfd(0, EFD_CLOEXEC);
  if (done_ < 0 || cancel_ < 0) return std::string("eventfd: ") + strerror(errno);
  // A station under a task limit must fail this unit, not abort every slot.
  try {
    worker_ = std::thread([this, command, env, limits] { run(command, env, limits); });
  } catch (const std::system_error &e) {
    return std::string("no thread to run it: ") + e.what();
  }
  return "";
}

namespace {

constexpr size_t READ_CHUNK = 65536;

// One run of the command: its descriptors and what came out of them.
struct command_io {
  spawned s;
  int copy = -1;   // the output so far, in memory
  int pidfd = -1;  // readable once the command has ended
  uint64_t size = 0;
  int status = 0;
  bool exited = false;
  std::string err;  // the end of its standard error
  std::vector<char> buf = std::vector<char>(READ_CHUNK);
};

void close_all(const command_io &io) {
  for (int open : {io.s.out, io.s.err, io.pidfd, io.copy}) {
    if (open >= 0) close(open);
  }
}

// "" or why the unit fails.
std::string take_output(command_io &io, const unit_data_limits &limits) {
  ssize_t got = read(io.s.out, io.buf.data(), io.buf.size());
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return "";
  if (got < 0) return std::string("reading its output: ") + strerror(errno);
  if (got == 0) {
    close(io.s.out);
    io.s.out = -1;
    return "";
  }
  io.size += static_cast<uint64_t>(got);
  if (io.size > limits.max_bytes) {
    return with_text("the command wrote more than " + std::to_string(limits.max_bytes) +
                         " bytes, the image limit, and was killed",
                     io.err);
  }
  if (!write_all(io.copy, io.buf.data(), static_cast<size_t>(got))) {
    return std::string("keeping its output: ") + strerror(errno);
  }
  return "";
}

void take_errors(command_io &io, const unit_data_limits &limits) {
  ssize_t got = read(io.s.err, io.buf.data(), io.buf.size());
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (got <= 0) {
    close(io.s.err);
    io.s.err = -1;
    return;
  }
  io.err.append(io.buf.data(), static_cast<size_t>(got));
  if (io.err.size() > limits.stderr_bytes)
    io.err = std::string(utf8_tail(io.err, limits.stderr_bytes));
}

bool running(const command_io &io) { return io.s.out >= 0 || io.s.err >= 0 || !io.exited; }

std::string time_limit_text(int timeout_ms) {
  char text[32];
  snprintf(text, sizeof text, "%.3f", timeout_ms / 1000.0);
  return text;
}

// Waits for the command's output, errors and end, up to its time limit.
// "" once it has ended, else why the unit fails.
std::string pump(command_io &io, const unit_data_limits &limits, int cancel) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.timeout_ms);
  while (running(io)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return with_text("the command ran past its time limit of " +
                           time_limit_text(limits.timeout_ms) + " s and was killed",
                       io.err);
    }
    pollfd p[4] = {{.fd = io.s.out, .events = POLLIN, .revents = 0},
                   {.fd = io.s.err, .events = POLLIN, .revents = 0},
                   {.fd = io.exited ? -1 : io.pidfd, .events = POLLIN, .revents = 0},
                   {.fd = cancel, .events = POLLIN, .revents = 0}};
    int n = poll(p, 4, static_cast<int>(left.count()) + 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::string("poll: ") + strerror(errno);
    if (p[3].revents != 0) return "the station stopped the command";
    if (p[0].revents != 0) {
      std::string why = take_output(io, limits);
      if (!why.empty()) return why;
    }
    if (p[1].revents != 0) take_errors(io, limits);
    if (p[2].revents != 0 && waitpid(io.s.pid, &io.status, WNOHANG) == io.s.pid) io.exited = true;
  }
  return "";
}

// How the command ended, when it ended by itself.
std::string ending(const command_io &io) {
  if (WIFSIGNALED(io.status)) {
    return with_text("the command was killed by signal " + signal_text(WTERMSIG(io.status)),
                     io.err);
  }
  if (WIFEXITED(io.status) && WEXITSTATUS(io.status) != 0) {
    return with_text("the command exited with status " + std::to_string(WEXITSTATUS(io.status)),
                     io.err);
  }
  if (io.size == 0) return with_text("the command wrote nothing", io.err);
  return "";
}

}  // namespace

void unit_data_run::run(const std::string &command, const unit_data_env &env,
                        const unit_data_limits &limits) {
  command_io io;
  std::string why = spawn(command, env, &io.s);
  if (why.empty()) {
    io.copy = memfd_create("kesp unit data", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (io.copy < 0) why = std::string("memfd_create: ") + strerror(errno);
  }
  if (why.empty()) {
    io.pidfd = static_cast<int>(syscall(SYS_pidfd_open, io.s.pid, 0));
    if (io.pidfd < 0) why = std::string("pidfd_open: ") + strerror(errno);
  }
  if (why.empty()) why = pump(io, limits, cancel_);
  // Whatever it left behind goes with it; the group is the command's alone.
  if (io.s.pid > 0) {
    kill(-io.s.pid, SIGKILL);
    while (!io.exited && waitpid(io.s.pid, &io.status, 0) < 0 && errno == EINTR) {
    }
  }
  if (why.empty()) why = ending(io);
  // The same record every image has: taken from the kept output as from a
  // file, sealed, with its size, CRC-32 and SHA-256.
  if (why.empty()) {
    std::string taken = image_.take("/proc/self/fd/" + std::to_string(io.copy));
    if (!taken.empty()) why = "its output " + taken;
  }
  close_all(io);
  failure_ = why;
  uint64_t one = 1;
  while (write(done_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}
