#include "view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "net.h"

namespace {

constexpr size_t BAR_CELLS = 24;      // cells of a live bar
constexpr size_t DEFAULT_WIDTH = 80;  // when the terminal does not say
constexpr size_t DEFAULT_HEIGHT = 24;
constexpr size_t RESERVED_ROWS = 2;  // kept free below the live block
constexpr double KIB = 1024.0;
constexpr double MIB = KIB * KIB;

void terminal_size(int fd, size_t *width, size_t *height) {
  winsize ws{};
  *width = DEFAULT_WIDTH;
  *height = DEFAULT_HEIGHT;
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    *width = ws.ws_col;
    *height = ws.ws_row;
  }
}

// The columns text takes on a terminal: escape sequences take none.
size_t visible_width(const std::string &line) {
  size_t width = 0;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b') {
      while (i < line.size() && (isalpha(static_cast<unsigned char>(line[i])) == 0)) ++i;
      continue;
    }
    ++width;
  }
  return width;
}

// Cut to fit width columns; the last column stays empty so that the
// terminal never wraps on its own. A colour begun in what is cut off
// ends with the cut.
std::string fit(const std::string &line, size_t width) {
  if (width < 4 || visible_width(line) < width) return line;
  std::string out;
  size_t shown = 0;
  bool coloured = false;
  for (size_t i = 0; i < line.size() && shown < width - 4; ++i) {
    if (line[i] == '\x1b') {
      size_t end = i;
      while (end < line.size() && (isalpha(static_cast<unsigned char>(line[end])) == 0)) ++end;
      out.append(line, i, end - i + 1);
      coloured = true;
      i = end;
      continue;
    }
    out += line[i];
    ++shown;
  }
  return out + (coloured ? "\x1b[0m..." : "...");
}

}  // namespace

// "512 B", "15.6 KiB", "8.0 MiB": a line of small images is not "0.0 MiB".
std::string amount(double bytes) {
  char text[32];
  if (bytes < KIB) {
    snprintf(text, sizeof text, "%.0f B", bytes);
  } else if (bytes < MIB) {
    snprintf(text, sizeof text, "%.1f KiB", bytes / KIB);
  } else {
    snprintf(text, sizeof text, "%.1f MiB", bytes / MIB);
  }
  return text;
}

std::string format(const char *fmt, double value) {
  char text[64];
  snprintf(text, sizeof text, fmt, value);
  return text;
}

void console::write_out(const std::string &text) {
  if (text.empty()) return;
  if (fwrite(text.data(), 1, text.size(), stream_) != text.size() && error_ == 0) {
    error_ = errno != 0 ? errno : EIO;
  }
  if (fflush(stream_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
}

size_t console::columns() const {
  size_t width = DEFAULT_WIDTH;
  size_t height = DEFAULT_HEIGHT;
  if (smart_) terminal_size(fileno(stream_), &width, &height);
  return width;
}

// Up to the live block's first line, and clear from there down.
std::string console::up_and_clear() const {
  return live_lines_ > 0 ? "\x1b[" + std::to_string(live_lines_) + "A\r\x1b[J" : "";
}

void console::print(const std::string &line) {
  if (!smart_) {
    write_out(line + "\n");
    return;
  }
  // The block cleared, the line, then the block again: one write, so the
  // screen never shows half of it.
  std::string text = up_and_clear() + line + "\n";
  for (const std::string &l : live_) text += l + "\n";
  write_out(text);
}

void console::print(const std::vector<std::string> &lines, const std::vector<std::string> &block) {
  if (!smart_) {
    for (const std::string &line : lines) write_out(line + "\n");
    return;
  }
  std::string text = up_and_clear();
  for (const std::string &line : lines) text += line + "\n";
  shape_block(block);
  for (const std::string &l : live_) text += l + "\n";
  write_out(text);
}

void console::live(const std::vector<std::string> &lines) {
  if (!smart_) return;
  std::string text = up_and_clear();
  shape_block(lines);
  for (const std::string &l : live_) text += l + "\n";
  write_out(text);
}

// Makes lines the live block, cut to the terminal's size.
void console::shape_block(const std::vector<std::string> &lines) {
  size_t width = 0;
  size_t height = 0;
  terminal_size(fileno(stream_), &width, &height);
  // The last line, the count of boards done, always shows; the boards at
  // work take the rows left.
  size_t room = height > RESERVED_ROWS + 1 ? height - RESERVED_ROWS : 1;
  std::vector<std::string> shown;
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (shown.size() + 2 >= room && i + 2 < lines.size()) {
      shown.push_back("... and " + std::to_string(lines.size() - 1 - i) + " more at work");
      break;
    }
    shown.push_back(fit(lines[i], width));
  }
  if (!lines.empty()) shown.push_back(fit(lines.back(), width));
  live_ = shown;
  live_lines_ = shown.size();
}

void view::step_ended(size_t board, size_t step) {
  const step_outcome &o = state_.outcomes[board][step];
  bool passed = o.result == step_result::passed;
  // On a terminal a board gets one line when it is over.
  if (out_->smart() || (quiet_ && passed)) return;
  std::string line = p_.boards[board].name + ": " + step_title(p_, board, step) + ": ";
  if (passed) {
    line += "passed";
    if (p_.steps[step].mode != step_mode::start) {
      char crc[16];
      snprintf(crc, sizeof crc, "%x", o.crc);
      line += ", " + std::to_string(o.size) + " bytes, crc " + crc;
    }
    line += format(", %.2f s", o.seconds);
  } else {
    line += "FAILED: " + o.reason;
  }
  if (o.attempts > 1) line += " (" + std::to_string(o.attempts) + " attempts)";
  out_->print(line);
}

void view::board_ended(size_t board) {
  if (!out_->smart()) return;
  const std::vector<step_outcome> &outcomes = state_.outcomes[board];
  const std::string &name = p_.boards[board].name;
  std::vector<std::string> lines;
  switch (verdict_of(outcomes)) {
    case board_verdict::passed: {
      if (quiet_) return;
      double seconds = 0;
      double bytes = 0;
      for (const step_outcome &o : outcomes) {
        seconds += o.seconds;
        bytes += o.size;
      }
      lines.push_back("PASS " + name + ": " + std::to_string(outcomes.size()) + " step" +
                      (outcomes.size() == 1 ? "" : "s") + ", " + amount(bytes) +
                      format(", %.2f s", seconds));
      break;
    }
    case board_verdict::failed:
      for (size_t i = 0; i < outcomes.size(); ++i) {
        if (outcomes[i].result != step_result::failed) continue;
        lines.push_back("FAIL " + name + ": " + step_title(p_, board, i) + ": " +
                        outcomes[i].reason);
      }
      break;
    case board_verdict::not_run:
      if (quiet_) return;
      lines.push_back("---- " + name + ": " + outcomes.back().reason);
      break;
  }
  // The board's line and a block without it, counted among the done, go
  // out together: the screen never lags what it has printed.
  if (quiet_) {
    for (const std::string &line : lines) out_->print(line);
  } else {
    out_->print(lines, live_block(monotonic_ms()));
  }
}

std::string view::live_line(size_t board, int64_t now_ms) const {
  const board_progress &pr = state_.progress[board];
  std::string line = p_.boards[board].name + "  step " + std::to_string(pr.step + 1) + "/" +
                     std::to_string(p_.steps.size()) + " " + mode_name(p_.steps[pr.step].mode);
  if (pr.retrying) {
    return line + "  connection failed, trying again: " + state_.outcomes[board][pr.step].reason;
  }
  if (pr.size == 0) return line;
  auto cells = static_cast<size_t>(uint64_t{pr.sent} * BAR_CELLS / pr.size);
  line += "  [" + std::string(cells, '#') + std::string(BAR_CELLS - cells, ' ') + "]" +
          format(" %3.0f%%", 100.0 * pr.sent / pr.size);
  // The rate would only fall while the board works on the image.
  if (pr.sent == pr.size) return line + "  waiting for the board's verdict";
  double seconds = static_cast<double>(now_ms - pr.step_ms) / 1000.0;
  double rate = seconds > 0 ? pr.sent / MIB / seconds : 0;
  return line + format("  %6.1f MiB/s", rate);
}

// The boards at work, and the counts of the boards done: a board trying a
// step again has failed an attempt, not the run, so only finished boards
// are counted.
std::vector<std::string> view::live_block(int64_t now_ms) const {
  std::vector<std::string> lines;
  size_t done = 0;
  size_t passed = 0;
  size_t failed = 0;
  for (size_t b = 0; b < state_.progress.size(); ++b) {
    const board_progress &pr = state_.progress[b];
    if (pr.active) lines.push_back(live_line(b, now_ms));
    if (!pr.finished) continue;
    ++done;
    board_verdict v = verdict_of(state_.outcomes[b]);
    passed += v == board_verdict::passed ? 1 : 0;
    failed += v == board_verdict::failed ? 1 : 0;
  }
  lines.push_back(std::to_string(done) + "/" + std::to_string(p_.boards.size()) +
                  " boards done: " + std::to_string(passed) + " passed, " + std::to_string(failed) +
                  " failed" + ", " + amount(static_cast<double>(state_.bytes_sent)) + " sent");
  return lines;
}

void view::tick(int64_t now_ms) {
  if (!out_->smart() || quiet_) return;
  out_->live(live_block(now_ms));
}

void view::summary(double seconds) {
  out_->live({});
  tally t = count_boards(state_.outcomes);
  std::string line = "kesp-batch: ";
  if (state_.interrupts > 0) line += "interrupted: ";
  line += std::to_string(t.passed) + " passed, " + std::to_string(t.failed) + " failed";
  if (t.not_run > 0) line += ", " + std::to_string(t.not_run) + " not run";
  line += " (" + std::to_string(p_.boards.size()) + " board" + (p_.boards.size() == 1 ? "" : "s") +
          format(") in %.2f s, ", seconds) + amount(static_cast<double>(state_.bytes_sent)) +
          " sent";
  out_->print(line);
}
