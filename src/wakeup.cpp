#include "wakeup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace {

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
volatile sig_atomic_t signals_seen = 0;
int wake_pipe[2] = {-1, -1};  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void on_signal(int /*signal*/) {
  int saved = errno;
  signals_seen = signals_seen + 1;
  char byte = 1;
  ssize_t ignored = write(wake_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

}  // namespace

bool add_wakeup_signal(int signal) {
  if (wake_pipe[0] < 0) {
    errno = EBADF;
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  return sigaction(signal, &sa, nullptr) == 0;
}

bool install_wakeup_signals() {
  if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  return add_wakeup_signal(SIGINT) && add_wakeup_signal(SIGTERM);
}

int wakeup_fd() { return wake_pipe[0]; }

int wakeup_signals_seen() { return signals_seen; }

void drain_wakeup() {
  char sink[16];
  while (read(wake_pipe[0], sink, sizeof sink) > 0) {
  }
}
