// What people see on standard output: on a terminal a live view of the
// boards at work above which finished boards scroll; elsewhere one plain
// line per finished step. Either way a summary at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "outcome.h"
#include "plan.h"

// The one place that knows whether its stream is a terminal and
// writes escape codes: lines printed through it stay, the live block
// below them is redrawn in place and cut to the terminal's width.
class console {
 public:
  explicit console(bool smart, FILE *stream = stdout) : smart_(smart), stream_(stream) {}
  [[nodiscard]] bool smart() const { return smart_; }
  // The terminal's columns now (80 when it does not say, or is none).
  [[nodiscard]] size_t columns() const;
  // A line that stays, printed above the live block.
  void print(const std::string &line);
  // Lines that stay, and the live block that replaces the one below them,
  // in one write (a terminal only): the screen never shows the block of
  // before under the lines that changed it.
  void print(const std::vector<std::string> &lines, const std::vector<std::string> &block);
  // Replaces the live block (a terminal only): lines for the boards at
  // work, and a last line that always shows.
  void live(const std::vector<std::string> &lines);
  // The first error writing standard output, or 0.
  [[nodiscard]] int error() const { return error_; }

 private:
  void write_out(const std::string &text);
  [[nodiscard]] std::string up_and_clear() const;
  void shape_block(const std::vector<std::string> &lines);
  bool smart_;
  FILE *stream_;           // standard output, or standard error when the report is there
  size_t live_lines_ = 0;  // lines of the live block on the screen now
  std::vector<std::string> live_;
  int error_ = 0;
};

// "512 B", "15.6 KiB", "8.0 MiB".
std::string amount(double bytes);
// One number put into a printf format.
std::string format(const char *fmt, double value);

class view {
 public:
  view(const plan &p, const line_state &state, console *out, bool quiet)
      : p_(p), state_(state), out_(out), quiet_(quiet) {}
  void step_ended(size_t board, size_t step);
  void board_ended(size_t board);
  void tick(int64_t now_ms);
  void summary(double seconds);

 private:
  [[nodiscard]] std::string live_line(size_t board, int64_t now_ms) const;
  [[nodiscard]] std::vector<std::string> live_block(int64_t now_ms) const;
  const plan &p_;
  const line_state &state_;
  console *out_;
  bool quiet_;
};
