#include "placeholder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct substitute_case {
  std::string pattern;
  const char *mark;
  const char *value;
  std::string result;
};

// Every case through a buffer of every size from none to one past the
// whole: a short buffer holds what fits, terminated, and the length is
// always the whole result's.
TEST(Substitute, EveryMarkOnceAndShortBuffersCut) {
  const std::vector<substitute_case> cases = {
      {.pattern = "serial-{board}.bin",
       .mark = "{board}",
       .value = "b7",
       .result = "serial-b7.bin"},
      {.pattern = "{board}/{board}.img",
       .mark = "{board}",
       .value = "10.0.0.7",
       .result = "10.0.0.7/10.0.0.7.img"},
      {.pattern = "plain.bin", .mark = "{board}", .value = "b7", .result = "plain.bin"},
      {.pattern = "{boa{board}rd}", .mark = "{board}", .value = "x", .result = "{boaxrd}"},
      {.pattern = "{board", .mark = "{board}", .value = "x", .result = "{board"},
      {.pattern = "nor-{addr}",
       .mark = "{addr}",
       .value = "{addr}{addr}",
       .result = "nor-{addr}{addr}"},
      {.pattern = "{addr}", .mark = "{addr}", .value = "", .result = ""},
      {.pattern = std::string("a\0{addr}", 8),
       .mark = "{addr}",
       .value = "1",
       .result = std::string("a\0"
                             "1",
                             3)},
  };
  for (const substitute_case &c : cases) {
    for (size_t size = 0; size <= c.result.size() + 1; ++size) {
      std::vector<char> out(size + 1, '#');
      size_t length = substitute(c.pattern.data(), c.pattern.size(), c.mark, c.value,
                                 size == 0 ? nullptr : out.data(), size);
      EXPECT_EQ(length, c.result.size()) << c.result << " in " << size;
      if (size == 0) continue;
      size_t kept = std::min(size - 1, c.result.size());
      EXPECT_EQ(std::string(out.data(), kept), c.result.substr(0, kept)) << size;
      EXPECT_EQ(out[kept], '\0') << c.result << " in " << size;
      EXPECT_EQ(out[size], '#') << "wrote past " << size;
    }
  }
}

}  // namespace
