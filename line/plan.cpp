#include "plan.h"

#include <cstdio>
#include <sstream>

#include "placeholder.h"
#include "wire.h"

namespace {

constexpr char SERIAL_MARK[] = "{serial}";  // a station unit's serial number
constexpr char BOARD_MARK[] = "{board}";  // stands for the board's name in file names

}  // namespace

const char *mode_name(step_mode mode) {
  switch (mode) {
    case step_mode::update:
      return "update";
    case step_mode::compare:
      return "compare";
    case step_mode::start:
      return "start";
  }
  return "?";
}

const char *device_name(uint32_t flags) { return (flags & FLAG_NAND) != 0 ? "nand" : "nor"; }

bool per_unit_image(const step &s) {
  return s.mode != step_mode::start &&
         (!s.command.empty() || s.file.find(SERIAL_MARK) != std::string::npos);
}

namespace {

// file with every mark replaced by value.
std::string fill_mark(const std::string &file, const char *mark, const std::string &value) {
  size_t size = substitute(file.data(), file.size(), mark, value.c_str(), nullptr, 0);
  std::string out(size, '\0');
  // The string's own terminator takes substitute's.
  substitute(file.data(), file.size(), mark, value.c_str(), out.data(), size + 1);
  return out;
}

}  // namespace

std::string board_file(const std::string &file, const std::string &name) {
  return fill_mark(file, BOARD_MARK, name);
}

std::string unit_file(const std::string &file, const std::string &serial) {
  return fill_mark(file, SERIAL_MARK, serial);
}

std::string step_title(const plan &p, size_t board, size_t step) {
  const struct step &s = p.steps[step];
  std::string title = "step " + std::to_string(step + 1) + "/" + std::to_string(p.steps.size()) +
                      " " + mode_name(s.mode);
  if (s.mode == step_mode::start) return title;
  char where[16];
  snprintf(where, sizeof where, "0x%x", s.address);
  return title + " " + device_name(s.flags) + " " + where + " " + p.boards[board].files[step];
}

std::string slot_label(const plan &p, size_t slot) {
  const std::string &label = p.boards[slot].label;
  return label.empty() ? std::to_string(slot + 1) : label;
}

std::string describe_plan(const plan &p) {
  std::ostringstream out;
  const char *steps = p.steps.size() == 1 ? " step" : " steps";
  if (p.opt.station) {
    out << "kesp-batch: dry run, nothing is sent: a station of " << p.boards.size() << " slot"
        << (p.boards.size() == 1 ? "" : "s") << ", " << p.steps.size() << steps
        << " per unit, each slot watched on its own\n";
  } else {
    out << "kesp-batch: dry run, nothing is sent: " << p.boards.size() << " board"
        << (p.boards.size() == 1 ? "" : "s") << ", " << p.steps.size() << steps << " each, "
        << p.opt.jobs << " at a time\n";
  }
  for (const board &b : p.boards) {
    char address[INET_ADDRSTRLEN] = "";
    if (b.resolved) address_text(b.address.sin_addr, address);
    if (!b.label.empty()) out << b.label << "=";
    out << b.name << ": " << (b.resolved ? address : "does not resolve: " + b.resolve_error)
        << "\n";
    for (size_t i = 0; i < p.steps.size(); ++i) {
      const step &s = p.steps[i];
      out << "  step " << i + 1 << "/" << p.steps.size() << ": " << mode_name(s.mode);
      if (s.mode != step_mode::start) {
        char where[32];
        snprintf(where, sizeof where, "0x%x", s.address);
        out << " " << device_name(s.flags) << " " << where << " " << b.files[i] << ", "
            << b.sizes[i] << " bytes";
      }
      out << "\n";
    }
  }
  return out.str();
}
