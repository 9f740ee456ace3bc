#include "unit_data.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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
// What a command gets of the station's environment: what a program needs
// to run as the operator's (its programs, home, language, time zone) and
// the KESP_ settings. Nothing else: a station's database password or URL
// (PGPASSWORD, DATABASE_URL) is for its record alone.
const char *const PASSED_ON[] = {"PATH=", "HOME=", "LANG=", "TZ="};
const char *const PASSED_ON_PREFIXES[] = {"LC_", "KESP_"};

bool starts_with(const char *text, const char *start) {
  return strncmp(text, start, strlen(start)) == 0;
}

bool passed_on(const char *var) {
  if (strchr(var, '=') == nullptr) return false;
  auto begins = [var](const char *start) { return starts_with(var, start); };
  if (std::ranges::any_of(OUR_VARIABLES, begins)) return false;
  return std::ranges::any_of(PASSED_ON, begins) || std::ranges::any_of(PASSED_ON_PREFIXES, begins);
}

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
  pid_t pid = -1;  // the guard's, which leads the command's process group
  int out = -1;
  int err = -1;
};

// Everything the guard needs, made before it is forked: a child of a
// process with threads may only make system calls until it execs.
struct launch {
  std::vector<std::string> vars;
  std::vector<char *> envp;
  std::string sh = "/bin/sh";
  std::string dash_c = "-c";
  std::string cmd;
  std::string folder;
  std::string no_folder;  // the start of the message when folder cannot be entered
  pid_t station = 0;
};

// A message on standard error, written without allocating.
void say(const char *what, const char *why) {
  for (const char *text : {what, why, "\n"}) {
    if (write(STDERR_FILENO, text, strlen(text)) < 0) return;
  }
}

void stop_group(int /*sig*/) { kill(0, SIGKILL); }

void close_from_3() {
  if (close_range(3, ~0U, 0) == 0) return;
  rlimit lim{};
  int top = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 65536
                ? static_cast<int>(lim.rlim_cur)
                : 65536;
  for (int fd = 3; fd < top; ++fd) close(fd);
}

// The guard: the first process of the command's group, which outlives
// everything the command does. The station's death, even by SIGKILL,
// reaches it as SIGTERM (PR_SET_PDEATHSIG), and it then kills the whole
// group, whatever the command started; a death signal on the command's
// own process would miss its children. Otherwise it ends as the command
// ends, with its status or by its signal, so that the station reads the
// command's end from it.
//
// PR_SET_PDEATHSIG follows the thread that forked, not the process: the
// runner's thread forks it and lives until the group is killed and the
// guard reaped, so only the station's death can set it off.
[[noreturn]] void guard(launch &l, int out, int err) {
  sigset_t all;
  sigset_t none;
  sigfillset(&all);
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &all, nullptr);
  setpgid(0, 0);
  // Signals as a fresh process has them, whatever the station ignores.
  struct sigaction fresh {};
  fresh.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &fresh, nullptr);
  struct sigaction stop {};
  stop.sa_handler = stop_group;
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGHUP, &stop, nullptr);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  // A station that died before the line above would never say so.
  if (getppid() != l.station) stop_group(0);
  int in = open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
      dup2(err, STDERR_FILENO) < 0) {
    _exit(126);
  }
  // Not even what kesp-batch itself was given without close-on-exec.
  close_from_3();
  if (chdir(l.folder.c_str()) != 0) {
    say(l.no_folder.c_str(), strerrordesc_np(errno));
    _exit(126);
  }
  // _Fork, not fork: no fork handlers run in a child of a threaded process.
  pid_t command = _Fork();
  if (command == 0) {
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char *argv[] = {l.sh.data(), l.dash_c.data(), l.cmd.data(), nullptr};
    execve(argv[0], argv, l.envp.data());
    say("cannot run /bin/sh: ", strerrordesc_np(errno));
    _exit(127);
  }
  if (command < 0) {
    say("cannot start the command: ", strerrordesc_np(errno));
    _exit(126);
  }
  // The command's output ends with the command, not with its guard.
  close(STDIN_FILENO);
  close(STDOUT_FILENO);
  close(STDERR_FILENO);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  int status = 0;
  while (waitpid(command, &status, 0) < 0) {
    if (errno != EINTR) _exit(126);
  }
  if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
  int sig = WTERMSIG(status);
  rlimit no_core{};
  setrlimit(RLIMIT_CORE, &no_core);
  sigaction(sig, &fresh, nullptr);
  kill(getpid(), sig);
  _exit(128 + sig);
}

std::string spawn(const std::string &command, const unit_data_env &env, spawned *s) {
  launch l;
  l.cmd = command;
  l.folder = env.folder.empty() ? "." : env.folder;
  l.no_folder = "cannot enter the recipe's folder " + l.folder + ": ";
  l.station = getpid();
  // The unit's values reach the command as variables, never as shell text.
  for (char **e = environ; *e != nullptr; ++e) {
    if (passed_on(*e)) l.vars.emplace_back(*e);
  }
  l.vars.push_back("KESP_SERIAL=" + env.serial);
  l.vars.push_back("KESP_UNIT=" + env.unit);
  l.vars.push_back("KESP_SLOT=" + env.slot);
  l.vars.push_back("KESP_STATION=" + env.station);
  l.envp.assign(l.vars.size() + 1, nullptr);
  for (size_t i = 0; i < l.vars.size(); ++i) l.envp[i] = l.vars[i].data();

  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::string("pipe: ") + strerror(errno);
  if (pipe2(err, O_CLOEXEC) != 0) {
    int e = errno;
    close(out[0]);
    close(out[1]);
    return std::string("pipe: ") + strerror(e);
  }
  pid_t pid = fork();
  if (pid == 0) guard(l, out[1], err[1]);
  int e = errno;
  // A group of its own at once, so that a time limit that comes before
  // the guard has run kills what it starts too.
  if (pid > 0) setpgid(pid, pid);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return std::string("cannot start the command: fork: ") + strerror(e);
  }
  s->pid = pid;
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
  bool exited = false;
  bool killed = false;  // by signal code, else exited with status code
  int code = 0;
  bool lost = false;  // how it ended could not be read
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

// The guard's end, read without reaping it: until it is reaped its
// number cannot go to another process, so that killing its group later
// cannot reach a stranger's.
void noted_end(command_io *io) {
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(io->s.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    // Reaped by someone else: a process that ignores SIGCHLD has the
    // kernel do it. Ended, but how is lost.
    if (errno == ECHILD) {
      io->exited = true;
      io->lost = true;
    }
    return;
  }
  if (info.si_pid != io->s.pid) return;
  io->exited = true;
  io->killed = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
  io->code = info.si_status;
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
    if (p[2].revents != 0) noted_end(&io);
  }
  return "";
}

// How the command ended, when it ended by itself.
std::string ending(const command_io &io) {
  if (io.lost) return with_text("how the command ended could not be read", io.err);
  if (io.killed) {
    return with_text("the command was killed by signal " + signal_text(io.code), io.err);
  }
  if (io.code != 0) {
    return with_text("the command exited with status " + std::to_string(io.code), io.err);
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
  // Whatever it left behind goes with it; the group is the command's
  // alone, and its leader not yet reaped.
  if (io.s.pid > 0) {
    kill(-io.s.pid, SIGKILL);
    while (waitpid(io.s.pid, nullptr, 0) < 0 && errno == EINTR) {
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
