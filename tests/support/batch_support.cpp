#include "batch_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <thread>

namespace {

constexpr char BAR_START[] = "\rloader: [";
constexpr size_t BAR_SIZE = 61;  // "\rloader: [", 50 cells and "]"
constexpr auto POLL_PAUSE = std::chrono::milliseconds(20);

// Lists every test case of a JUnit file as "name<TAB>status".
constexpr char JUNIT_READER[] = R"(
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
for case in root.iter('testcase'):
    status = 'passed'
    failure = case.find('failure')
    if failure is not None:
        status = 'failure:' + failure.get('type', '')
    elif case.find('skipped') is not None:
        status = 'skipped'
    print(case.get('name') + '\t' + status)
)";

}  // namespace

run_result run_batch(const std::vector<std::string> &args, std::chrono::milliseconds limit) {
  std::vector<std::string> argv = {KESP_BATCH_BINARY};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, limit);
}

nlohmann::json report::step(const std::string &board, int number) const {
  nlohmann::json found;
  int count = 0;
  for (const auto &j : steps) {
    if (j.value("board", "") == board && j.value("step", 0) == number) {
      found = j;
      ++count;
    }
  }
  return count == 1 ? found : nlohmann::json();
}

report read_report(const std::string &path) {
  report r;
  std::istringstream in(read_file(path));
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
      if (r.error.empty()) r.error = "line " + std::to_string(number) + " does not parse: " + line;
      continue;
    }
    if (j.value("type", "") == "summary") {
      r.summary = j;
    } else if (j.value("type", "") == "unit") {
      r.units.push_back(j);
    } else {
      r.steps.push_back(j);
    }
  }
  return r;
}

std::map<std::string, std::string> read_junit(const std::string &path, std::string *error) {
  std::map<std::string, std::string> cases;
  run_result r = run_program({"/usr/bin/python3", "-c", JUNIT_READER, path});
  if (r.status != 0) {
    *error = "python3 could not read " + path + ": " + r.err;
    return cases;
  }
  std::istringstream in(r.out);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos) cases[line.substr(0, tab)] = line.substr(tab + 1);
  }
  return cases;
}

std::string final_bars(const std::string &kesp_out) {
  std::string out;
  size_t at = 0;
  while (at < kesp_out.size()) {
    size_t bar = kesp_out.find(BAR_START, at);
    if (bar == std::string::npos) {
      out.append(kesp_out, at);
      break;
    }
    out.append(kesp_out, at, bar - at);
    size_t last = bar;
    while (kesp_out.compare(last + BAR_SIZE, sizeof BAR_START - 1, BAR_START) == 0) {
      last += BAR_SIZE;
    }
    out.append(kesp_out, last, BAR_SIZE);
    at = last + BAR_SIZE;
  }
  return out;
}

batch_process::batch_process(const std::vector<std::string> &args) {
  static int count = 0;
  ++count;
  out_path_ = temp_path("batch-" + std::to_string(count) + ".out");
  err_path_ = temp_path("batch-" + std::to_string(count) + ".err");
  std::vector<std::string> words = {KESP_BATCH_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out >= 0 && err >= 0) pid_ = spawn_program(words, {SPAWN_NULL, out, err});
  if (out >= 0) close(out);
  if (err >= 0) close(err);
}

batch_process::~batch_process() {
  if (pid_ > 0) wait(std::chrono::milliseconds(0));
}

void batch_process::signal(int sig) const {
  if (pid_ > 0) kill(pid_, sig);
}

int batch_process::wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + limit;
  int wstatus = 0;
  while (waitpid(pid_, &wstatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(POLL_PAUSE);
  }
  pid_ = -1;
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}

std::string batch_process::out() const { return read_file(out_path_); }
std::string batch_process::err() const { return read_file(err_path_); }

bool wait_for_file_text(const std::string &path, const std::string &text,
                        std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (read_file(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(POLL_PAUSE);
  }
  return true;
}

bool wait_for_units(const std::string &report_path, size_t n, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (read_report(report_path).units.size() < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(POLL_PAUSE);
  }
  return true;
}

pid_t start_on_terminal(const std::vector<std::string> &args, const terminal_setup &setup,
                        int *master) {
  winsize size{};
  size.ws_row = setup.rows;
  size.ws_col = setup.cols;
  pid_t pid = forkpty(master, nullptr, nullptr, &size);
  if (pid != 0) return pid;
  setenv("TERM", "xterm", 1);
  if (setup.colour) {
    unsetenv("NO_COLOR");
  } else {
    setenv("NO_COLOR", "1", 1);
  }
  if (!setup.keys && freopen("/dev/null", "r", stdin) == nullptr) _exit(127);
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

int read_terminal(int master, pid_t pid, std::string *screen) {
  char buf[4096];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool ended = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master, POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) {  // EIO once the program has ended
      ended = true;
      break;
    }
    screen->append(buf, static_cast<size_t>(n));
  }
  if (!ended) kill(pid, SIGKILL);
  close(master);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
}
