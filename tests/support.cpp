#include "support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

extern char **environ;

run_result run_program(const std::vector<std::string> &argv, std::chrono::milliseconds limit) {
  run_result result;
  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
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

sim_process::sim_process(const std::string &binary, const std::string &address,
                         const std::vector<std::string> &args,
                         std::chrono::milliseconds ready_limit) {
  static int count = 0;
  log_path_ = temp_path("sim-" + std::to_string(++count) + ".log");
  std::vector<std::string> words = {binary, "--listen", address};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  int log_fd = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (log_fd < 0) return;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // A test that crashes must not leave its simulator holding the address.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(log_fd, 1) < 0 || dup2(log_fd, 2) < 0) {
      _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(log_fd);
  if (pid < 0) return;
  pid_ = pid;

  ready_ = wait_for_log(SIM_READY, ready_limit);
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
