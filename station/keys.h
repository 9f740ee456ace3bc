// Single keys from the operator's terminal while the station's view is on
// it: no Enter needed, nothing echoed into the view.
#pragma once

#include <termios.h>

#include <csignal>
#include <string>

class key_reader {
 public:
  key_reader() = default;
  ~key_reader();
  key_reader(const key_reader &) = delete;
  key_reader &operator=(const key_reader &) = delete;
  key_reader(key_reader &&) = delete;
  key_reader &operator=(key_reader &&) = delete;

  // Takes the terminal on fd if it is one and this process is in its
  // foreground; false (and nothing changed) otherwise.
  bool take(int fd);
  // The keys pressed since the last look; "" when none, or once the
  // station has been put in the background.
  [[nodiscard]] std::string pressed() const;

 private:
  int fd_ = -1;
  termios saved_{};
  struct sigaction saved_ttin_ {};
  struct sigaction saved_ttou_ {};
};
