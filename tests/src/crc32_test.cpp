#include "crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace {

using crc_function = uint32_t (*)(uint32_t, const uint8_t *, size_t);

// Every way to the register: what callers use, and the two it is built on.
const struct {
  const char *name;
  crc_function update;
} PATHS[] = {
    {"crc32_update", crc32_update},
    {"crc32_update_sliced", crc32_update_sliced},
    {"crc32_update_bytewise", crc32_update_bytewise},
};

const uint8_t *bytes_of(const std::string &s) {
  return reinterpret_cast<const uint8_t *>(s.data());
}

// Bit by bit, straight from the definition: nothing shared with the table.
uint32_t reference_crc(const std::string &bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

TEST(Crc32, StandardCheckValues) {
  const struct {
    std::string bytes;
    uint32_t crc;
  } cases[] = {{"", 0}, {"abc", 0x352441C2}, {"123456789", 0xCBF43926}};
  for (const auto &path : PATHS) {
    for (const auto &c : cases) {
      EXPECT_EQ(path.update(0, bytes_of(c.bytes), c.bytes.size()), c.crc)
          << path.name << " \"" << c.bytes << '"';
    }
  }
}

// A single byte b from a zero register lands on table entry b, so these pin
// the folded-complement table at its telling entries.
TEST(Crc32, SingleBytesHitTheFoldedTable) {
  const struct {
    uint8_t byte;
    uint32_t crc;
  } cases[] = {{0x00, 0xD202EF8D}, {0x01, 0xA505DF1B}, {0xFE, 0x88073096}, {0xFF, 0xFF000000}};
  for (const auto &c : cases) {
    EXPECT_EQ(crc32_update(0, &c.byte, 1), c.crc) << int{c.byte};
  }
}

TEST(Crc32, MatchesBitwiseDefinitionOnEveryLength) {
  const std::string data = pattern_bytes(1100, 7);
  for (const auto &path : PATHS) {
    for (size_t n = 0; n <= data.size(); n += 37) {
      EXPECT_EQ(path.update(0, bytes_of(data), n), reference_crc(data.substr(0, n)))
          << path.name << ' ' << n;
    }
  }
}

// Each step of the folded register adds a constant; a block must carry the
// constant of its length once, not one per table. Runs of zeros from a zero
// register show nothing but that constant.
TEST(Crc32, ZeroRunsCarryTheFoldedConstantOnce) {
  for (const auto &path : PATHS) {
    for (size_t n : {16u, 32u, 48u, 64u, 80u, 256u, 4096u}) {
      const std::string zeros(n, '\0');
      EXPECT_EQ(path.update(0, bytes_of(zeros), n), reference_crc(zeros)) << path.name << ' ' << n;
    }
  }
}

// One non-zero byte in an otherwise zero run reads exactly one entry of one
// slicing table (and one power of the carry-less folds): every entry of
// every table, under registers with no, all and some bits set.
TEST(Crc32, EveryByteValueAtEveryPositionOfABlock) {
  for (const auto &path : PATHS) {
    for (size_t n : {16u, 80u}) {
      for (uint32_t start : {0x00000000u, 0xFFFFFFFFu, 0x89ABCDEFu}) {
        std::string run(n, '\0');
        int wrong = 0;
        for (size_t at = 0; at < n; ++at) {
          for (int value = 1; value < 256; ++value) {
            run[at] = static_cast<char>(value);
            if (path.update(start, bytes_of(run), n) !=
                crc32_update_bytewise(start, bytes_of(run), n)) {
              ADD_FAILURE() << path.name << ": run of " << n << ", byte " << value << " at " << at
                            << ", register " << std::hex << start;
              if (++wrong == 5) return;
            }
          }
          run[at] = '\0';
        }
      }
    }
  }
}

// Random lengths from none to several KiB, and a few of some MiB, at random
// misalignments and from random registers, against the byte loop.
TEST(Crc32, RandomLengthsOffsetsAndRegistersMatchTheByteLoop) {
  constexpr size_t MAX_OFFSET = 63;  // misalignments tried, up to a cache line
  const std::string data = pattern_bytes((3 << 20) + 4096, 21);
  std::mt19937 gen(1234);
  std::vector<size_t> lengths;
  for (int i = 0; i < 3000; ++i) lengths.push_back(gen() % 8193);
  for (size_t n : {(1u << 20) + 13, (2u << 20) + 1, 3u << 20}) lengths.push_back(n);
  int wrong = 0;
  for (size_t n : lengths) {
    const size_t offset = gen() % (MAX_OFFSET + 1);
    const uint32_t start = static_cast<uint32_t>(gen());
    const uint32_t want = crc32_update_bytewise(start, bytes_of(data) + offset, n);
    for (const auto &path : PATHS) {
      if (path.update == crc32_update_bytewise) continue;
      if (path.update(start, bytes_of(data) + offset, n) != want) {
        ADD_FAILURE() << path.name << ": " << n << " bytes at offset " << offset << " from "
                      << std::hex << start;
        if (++wrong == 5) return;
      }
    }
  }
}

// The edges of every path's blocks: none, one byte, either side of kesp's
// 256-byte piece and of the folding rounds, at every misalignment within a
// word and a register.
TEST(Crc32, BlockEdgesAtEveryMisalignment) {
  const std::string data = pattern_bytes(8192, 5);
  for (const auto &path : PATHS) {
    for (size_t n : {0U,   1U,   15U,  16U,   17U,   63U,   64U,   65U,   255U,  256U, 257U,
                     511U, 512U, 513U, 1023U, 1024U, 1025U, 1279U, 1280U, 1281U, 4099U}) {
      for (size_t offset = 0; offset < 64; offset += offset < 8 ? 1 : 7) {
        const std::string run = data.substr(offset, n);
        EXPECT_EQ(path.update(0, bytes_of(data) + offset, n), reference_crc(run))
            << path.name << ": " << n << " bytes at offset " << offset;
      }
    }
  }
}

// Chained in random pieces (empty ones too), as kesp and kesp-sim feed it.
TEST(Crc32, RandomPiecesChainToTheWholeValue) {
  // Several strides of every path; then longer pieces, as the simulator's
  // reads come.
  constexpr size_t MAX_PIECES[] = {700, 5000};
  const std::string data = pattern_bytes(256 * 1024, 11);
  const uint32_t whole = reference_crc(data);
  std::mt19937 gen(99);
  for (int round = 0; round < 20; ++round) {
    for (const auto &path : PATHS) {
      const size_t max_piece = MAX_PIECES[round % 2];
      uint32_t crc = 0;
      for (size_t at = 0; at < data.size();) {
        const size_t piece = std::min<size_t>(gen() % (max_piece + 1), data.size() - at);
        crc = path.update(crc, bytes_of(data) + at, piece);
        at += piece;
      }
      EXPECT_EQ(crc, whole) << path.name << " round " << round;
    }
  }
  for (const auto &path : PATHS) {
    EXPECT_EQ(path.update(0x12345678, bytes_of(data), 0), 0x12345678u) << path.name;
  }
}

}  // namespace
