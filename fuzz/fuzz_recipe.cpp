// Fuzzes kesp-batch's recipe and board-list readers with any text: they
// must never crash, and what they accept must be a step kesp-batch can run:
// a start with no file and no flags, or a download or compare of a named
// file or a command's output whose mode agrees with its flags.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "recipe.h"
#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  std::vector<step> steps;
  std::string error;
  if (parse_recipe(text, "r", "dir", &steps, &error)) {
    if (steps.empty() || !error.empty()) abort();
    for (const step &s : steps) {
      bool compare = (s.flags & FLAG_COMPARE) != 0;
      bool nand = (s.flags & FLAG_NAND) != 0;
      if ((s.flags & ~FLAG_MASK) != 0 || (nand && (s.flags & FLAG_ADDRESS) == 0)) abort();
      if (s.origin.rfind("r:", 0) != 0) abort();
      switch (s.mode) {
        case step_mode::start:
          if (!s.file.empty() || !s.command.empty() || s.flags != 0 || s.address != 0) abort();
          break;
        case step_mode::update:
        case step_mode::compare:
          // The image is a file or, made per unit, a command's output: one of the two.
          if (s.file.empty() == s.command.empty()) abort();
          if (compare != (s.mode == step_mode::compare)) abort();
          if (!s.file.empty() && s.file[0] != '/' && s.file.rfind("dir/", 0) != 0) abort();
          break;
      }
    }
  } else if (error.rfind("r:", 0) != 0) {
    abort();  // every refusal names the recipe
  }
  std::vector<std::string> boards;
  error.clear();
  if (parse_board_list(text, "b", &boards, &error)) {
    for (const std::string &b : boards) {
      if (b.empty() || b.find_first_of(" \t\n#") != std::string::npos) abort();
    }
  }
  return 0;
}
