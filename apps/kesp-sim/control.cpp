// Reads the control FIFO and queues each command with the boards it names;
// a board's own thread carries it out between its connections.
#include "control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "addresses.h"
#include "sim_options.h"
#include "wakeup.h"

int open_control(const std::string &path) {
  if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
    fail_to_start(path + ": " + strerror(errno));
  }
  int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
    fail_to_start(path + ": " + (fd < 0 ? strerror(errno) : "not a FIFO"));
  }
  return fd;
}

namespace {

// Hands one control line's command to the boards it names.
void command(std::vector<slot_board> &boards, const std::string &line) {
  size_t space = line.find(' ');
  std::string verb = line.substr(0, space);
  std::string list = space == std::string::npos ? "" : line.substr(space + 1);
  auto told = [&](const std::string &why) {
    fprintf(stderr, "kesp-sim: control: %s: %s\n", line.c_str(), why.c_str());
  };
  board_command what = verb == "remove"   ? board_command::remove
                       : verb == "insert" ? board_command::insert
                                          : board_command::none;
  if (what == board_command::none) return told(R"(not "remove LIST" or "insert LIST")");
  std::vector<bool> chosen;
  if (list == "all") {
    chosen.assign(boards.size(), true);
  } else {
    selection_error e = select_boards(list, parse_ipv4(boards.front().address),
                                      static_cast<uint32_t>(boards.size()), chosen);
    if (!e.why.empty()) return told(e.why);
  }
  fprintf(stderr, "kesp-sim: control: %s\n", line.c_str());
  for (size_t i = 0; i < boards.size(); ++i) {
    if (!chosen[i]) continue;
    {
      std::lock_guard<std::mutex> lock(boards[i].mutex);
      boards[i].pending.push_back(what);
      if (what == board_command::remove) wake(boards[i].pull_fd);
    }
    wake(boards[i].command_fd);
  }
}

}  // namespace

void *read_control(void *arg) {
  auto *job = static_cast<control_job *>(arg);
  std::string pending;
  char buf[4096];
  for (;;) {
    pollfd fds[2] = {{job->fd, POLLIN, 0}, {wakeup_fd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return nullptr;
    ssize_t n = read(job->fd, buf, sizeof buf);
    if (n <= 0) continue;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      while (!line.empty() && isspace(static_cast<unsigned char>(line.back())) != 0)
        line.pop_back();
      if (!line.empty()) command(*job->boards, line);
    }
    // A line longer than any command is dropped rather than kept growing.
    if (pending.size() > sizeof buf) pending.clear();
  }
}
