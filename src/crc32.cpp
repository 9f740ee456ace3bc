#include "crc32.h"

#include <array>

namespace {

// Reflected polynomial 0xEDB88320. The standard algorithm starts from all
// ones and complements the result; because the table is linear, both
// complements fold into a constant XORed into every entry
// (T[255] ^ 0xFF000000 = 0xD202EF8D), so the register runs from 0 and the
// final value needs no complement.
constexpr uint32_t POLYNOMIAL = 0xEDB88320;
constexpr uint32_t FOLDED_COMPLEMENT = 0xD202EF8D;

constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1) != 0 ? (c >> 1) ^ POLYNOMIAL : c >> 1;
    }
    table[i] = c ^ FOLDED_COMPLEMENT;
  }
  return table;
}

constexpr std::array<uint32_t, 256> crc32tab = make_table();

static_assert(crc32tab[0] == 0xD202EF8D && crc32tab[1] == 0xA505DF1B);
static_assert(crc32tab[254] == 0x88073096 && crc32tab[255] == 0xFF000000);

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t *buf, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    crc = (crc >> 8) ^ crc32tab[(crc ^ buf[i]) & 0xFF];
  }
  return crc;
}
