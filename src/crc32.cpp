#include "crc32.h"

#include <array>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

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

constexpr uint32_t step(uint32_t crc, uint8_t byte) {
  return (crc >> 8) ^ crc32tab[(crc ^ byte) & 0xFF];
}

constexpr uint32_t bytewise(uint32_t crc, const uint8_t *buf, size_t n) {
  for (size_t i = 0; i < n; ++i) crc = step(crc, buf[i]);
  return crc;
}

// --- sixteen bytes per step ---------------------------------------------------
// One step of the folded register is affine, not linear: a linear function
// of register and byte, plus crc32tab[0] (what a zero byte does to a zero
// register). So sixteen steps are a linear function of the register and the
// sixteen bytes plus one constant, the register after sixteen zero bytes.
// The linear part splits into one table per byte position. Walking entry i
// of crc32tab through k more zero bytes gives the linear image of "i, then
// k zeros" plus the constant of k + 1 zero bytes, which is what the same
// walk gives from i = 0: XORing entry 0 out of each walked table leaves it
// linear. Left in, the block would collect sixteen different constants
// instead of one. The one constant goes into the table of the block's last
// byte.
constexpr size_t SLICE_BYTES = 16;  // bytes folded per step of the sliced path
using slice_tables = std::array<std::array<uint32_t, 256>, SLICE_BYTES>;

constexpr slice_tables make_slices() {
  slice_tables tables{};
  std::array<uint32_t, 256> walked = crc32tab;  // byte i, then k zero bytes
  for (size_t k = 0; k < SLICE_BYTES; ++k) {
    // Entry 0 is walked first, so it is at k zeros for every other entry.
    for (size_t i = 0; i < walked.size(); ++i) {
      if (k > 0) walked[i] = step(walked[i], 0);
      tables[k][i] = walked[i] ^ walked[0];
    }
  }
  for (size_t i = 0; i < walked.size(); ++i) tables[0][i] ^= walked[0];
  return tables;
}

// slices[k] serves the byte that k more bytes of the block follow.
constexpr slice_tables slices = make_slices();

// Entry 0 of a linear table is 0; the constant sits in table 0 alone.
static_assert(slices[1][0] == 0 && slices[SLICE_BYTES - 1][0] == 0);
static_assert(slices[0][0] != 0);

constexpr uint32_t load_le32(const uint8_t *p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The register comes in on the block's first four bytes, as the byte loop
// XORs it into each byte in turn.
constexpr uint32_t slice_block(uint32_t crc, const uint8_t *p) {
  const std::array<uint32_t, SLICE_BYTES / 4> words = {load_le32(p) ^ crc, load_le32(p + 4),
                                                       load_le32(p + 8), load_le32(p + 12)};
  uint32_t out = 0;
  for (size_t j = 0; j < SLICE_BYTES; ++j) {
    out ^= slices[SLICE_BYTES - 1 - j][(words[j / 4] >> (8 * (j % 4))) & 0xFF];
  }
  return out;
}

// A block and a register, checked against the byte loop while compiling.
constexpr bool block_agrees(uint32_t crc, uint8_t seed) {
  std::array<uint8_t, SLICE_BYTES> block{};
  for (size_t j = 0; j < block.size(); ++j) block[j] = static_cast<uint8_t>(seed * (j + 1));
  return slice_block(crc, block.data()) == bytewise(crc, block.data(), block.size());
}
static_assert(block_agrees(0, 0) && block_agrees(0xFFFFFFFF, 0) && block_agrees(0x12345678, 0x9D));

// --- carry-less multiply --------------------------------------------------------
#if defined(__x86_64__)

constexpr size_t LANE_BYTES = 16;                   // one 128-bit register
constexpr size_t LANE_COUNT = 4;                    // lanes folded side by side
constexpr size_t STRIDE = LANE_BYTES * LANE_COUNT;  // bytes taken per round
constexpr size_t CLMUL_MIN = STRIDE;                // shortest run worth the set-up
constexpr uint32_t ALL_ONES = 0xFFFFFFFF;           // the folded register for a standard 0
constexpr unsigned LANE_BITS = 8 * LANE_BYTES;      // powers of x one lane spans

// x^n mod P, as the register holds it (bit-reflected), shifted up one bit.
// Moving a lane D bits on multiplies it by x^D. Its two quadwords are
// multiplied apart: the first (higher powers, 64 above the second) by
// x^(D+32), the second by x^(D-32), because the reflected product of a
// quadword and such a 33-bit constant lands 32 powers higher in the lane.
constexpr uint64_t fold_constant(unsigned n) {
  uint32_t r = 0x80000000;  // x^0
  for (unsigned i = 0; i < n; ++i) r = (r & 1) != 0 ? (r >> 1) ^ POLYNOMIAL : r >> 1;
  return uint64_t{r} << 1;
}
constexpr uint64_t BY_STRIDE_FIRST = fold_constant(LANE_COUNT * LANE_BITS + 32);
constexpr uint64_t BY_STRIDE_SECOND = fold_constant(LANE_COUNT * LANE_BITS - 32);
constexpr uint64_t BY_LANE_FIRST = fold_constant(LANE_BITS + 32);
constexpr uint64_t BY_LANE_SECOND = fold_constant(LANE_BITS - 32);
// Pinned, so that a slip in fold_constant cannot go unnoticed.
static_assert(BY_STRIDE_FIRST == 0x154442BD4 && BY_STRIDE_SECOND == 0x1C6E41596);
static_assert(BY_LANE_FIRST == 0x1751997D0 && BY_LANE_SECOND == 0x0CCAA009E);

__attribute__((target("pclmul"))) __m128i fold(__m128i lane, __m128i by, __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(lane, by, 0x00), _mm_clmulepi64_si128(lane, by, 0x11)),
      next);
}

__m128i load_lane(const uint8_t *p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

__m128i constants(uint64_t first, uint64_t second) {
  return _mm_set_epi64x(static_cast<long long>(second), static_cast<long long>(first));
}

// Needs n >= CLMUL_MIN. Folds the message, the incoming register XORed
// into its first bytes, down to one lane whose CRC from a zero standard
// register is that of everything folded; the lane and the last bytes then
// go through the sliced path.
__attribute__((target("pclmul"))) uint32_t update_clmul(uint32_t crc, const uint8_t *buf,
                                                        size_t n) {
  __m128i lanes[LANE_COUNT];
  for (size_t i = 0; i < LANE_COUNT; ++i) lanes[i] = load_lane(buf + i * LANE_BYTES);
  lanes[0] = _mm_xor_si128(lanes[0], _mm_cvtsi32_si128(static_cast<int>(~crc)));
  buf += STRIDE;
  n -= STRIDE;

  const __m128i by_stride = constants(BY_STRIDE_FIRST, BY_STRIDE_SECOND);
  for (; n >= STRIDE; buf += STRIDE, n -= STRIDE) {
    for (size_t i = 0; i < LANE_COUNT; ++i) {
      lanes[i] = fold(lanes[i], by_stride, load_lane(buf + i * LANE_BYTES));
    }
  }
  const __m128i by_lane = constants(BY_LANE_FIRST, BY_LANE_SECOND);
  __m128i folded = lanes[0];
  for (size_t i = 1; i < LANE_COUNT; ++i) folded = fold(folded, by_lane, lanes[i]);
  for (; n >= LANE_BYTES; buf += LANE_BYTES, n -= LANE_BYTES) {
    folded = fold(folded, by_lane, load_lane(buf));
  }

  std::array<uint8_t, LANE_BYTES> last{};
  _mm_storeu_si128(reinterpret_cast<__m128i *>(last.data()), folded);
  return crc32_update_sliced(crc32_update_sliced(ALL_ONES, last.data(), last.size()), buf, n);
}

bool processor_has_clmul() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0;
}

#endif

}  // namespace

uint32_t crc32_update_bytewise(uint32_t crc, const uint8_t *buf, size_t n) {
  return bytewise(crc, buf, n);
}

uint32_t crc32_update_sliced(uint32_t crc, const uint8_t *buf, size_t n) {
  for (; n >= SLICE_BYTES; buf += SLICE_BYTES, n -= SLICE_BYTES) crc = slice_block(crc, buf);
  return bytewise(crc, buf, n);
}

uint32_t crc32_update(uint32_t crc, const uint8_t *buf, size_t n) {
#if defined(__x86_64__)
  // Asked once: cpuid is slow, and may trap to a hypervisor.
  static const bool have_clmul = processor_has_clmul();
  if (have_clmul && n >= CLMUL_MIN) return update_clmul(crc, buf, n);
#endif
  return crc32_update_sliced(crc, buf, n);
}
