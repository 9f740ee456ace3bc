// Fuzzes the fast checksum paths against the byte loop. The input is a
// head and the data: the head's first byte gives the number of cuts (its
// low three bits), the next four the register to start from, then two bytes
// per cut where the data is split (taken modulo its length plus one, so
// pieces may be empty). The data is folded whole and in the pieces, through
// every path, from the chosen register; all must agree with the byte loop.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "crc32.h"

namespace {

constexpr size_t MAX_CUTS = 7;   // cuts one input may ask for
constexpr size_t CUT_BYTES = 2;  // bytes of the head per cut

using crc_function = uint32_t (*)(uint32_t, const uint8_t *, size_t);

[[noreturn]] void fail(const char *path, const char *what, size_t n, size_t pieces) {
  fprintf(stderr, "fuzz_crc32: %s differs from the byte loop %s (%zu bytes, %zu pieces)\n", path,
          what, n, pieces);
  abort();
}

// Takes bytes off the front of the input; past its end it gives zeros.
struct reader {
  const uint8_t *at;
  size_t left;
  uint32_t take(size_t count) {
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
      value = value << 8 | (left > 0 ? *at : 0U);
      if (left > 0) {
        ++at;
        --left;
      }
    }
    return value;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size) {
  reader head{input, size};
  const size_t cut_count = head.take(1) % (MAX_CUTS + 1);
  const uint32_t start = head.take(4);
  std::array<uint32_t, MAX_CUTS> raw_cuts{};
  for (size_t i = 0; i < cut_count; ++i) raw_cuts[i] = head.take(CUT_BYTES);
  const uint8_t *data = head.at;
  const size_t n = head.left;

  std::array<size_t, MAX_CUTS + 2> bounds{};
  bounds[0] = 0;
  for (size_t i = 0; i < cut_count; ++i) bounds[i + 1] = raw_cuts[i] % (n + 1);
  bounds[cut_count + 1] = n;
  std::sort(bounds.begin() + 1, bounds.begin() + static_cast<ptrdiff_t>(cut_count) + 1);

  const uint32_t want = crc32_update_bytewise(start, data, n);
  for (crc_function update : {crc32_update, crc32_update_sliced}) {
    const char *name = update == crc32_update ? "crc32_update" : "crc32_update_sliced";
    if (update(start, data, n) != want) fail(name, "on the whole data", n, 1);
    uint32_t crc = start;
    for (size_t i = 0; i <= cut_count; ++i) {
      crc = update(crc, data + bounds[i], bounds[i + 1] - bounds[i]);
    }
    if (crc != want) fail(name, "chained", n, cut_count + 1);
  }
  // The byte loop chained must equal itself whole: the reference is only as
  // good as its own chaining.
  uint32_t crc = start;
  for (size_t i = 0; i <= cut_count; ++i) {
    crc = crc32_update_bytewise(crc, data + bounds[i], bounds[i + 1] - bounds[i]);
  }
  if (crc != want) fail("crc32_update_bytewise", "whole, chained", n, cut_count + 1);
  return 0;
}
