#include "keys.h"

#include <unistd.h>

bool key_reader::take(int fd) {
  if (isatty(fd) == 0 || tcgetpgrp(fd) != getpgrp() || tcgetattr(fd, &saved_) != 0) return false;
  // A station sent to the background must neither stop on its next look at
  // the terminal (it would hold every board) nor when it gives the
  // terminal back at its end: a read there then fails, which is no key.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGTTIN, &ignore, &saved_ttin_);
  sigaction(SIGTTOU, &ignore, &saved_ttou_);
  termios raw = saved_;
  // ISIG stays: Ctrl-C still stops the station as everywhere else.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &raw) != 0) {
    sigaction(SIGTTIN, &saved_ttin_, nullptr);
    sigaction(SIGTTOU, &saved_ttou_, nullptr);
    return false;
  }
  fd_ = fd;
  return true;
}

std::string key_reader::pressed() const {
  std::string keys;
  if (fd_ < 0) return keys;
  char buf[64];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    keys.append(buf, static_cast<size_t>(n));
  }
  return keys;
}

key_reader::~key_reader() {
  if (fd_ < 0) return;
  // What was typed and not yet read is the station's, not the shell's next command.
  tcsetattr(fd_, TCSAFLUSH, &saved_);
  sigaction(SIGTTIN, &saved_ttin_, nullptr);
  sigaction(SIGTTOU, &saved_ttou_, nullptr);
}
