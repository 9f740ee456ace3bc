#include "crc32.h"

#include <gtest/gtest.h>

#include <string>

#include "support.h"

namespace {

uint32_t crc_of(const std::string &bytes) {
  return crc32_update(0, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
}

// Bit by bit, straight from the definition: nothing shared with the table.
uint32_t reference_crc(const std::string &bytes) {
  uint32_t crc = 0xFFFFFFFF;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
  }
  return ~crc;
}

TEST(Crc32, StandardCheckValues) {
  EXPECT_EQ(crc_of(""), 0u);
  EXPECT_EQ(crc_of("abc"), 0x352441C2u);
  EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
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
  for (size_t n = 0; n <= data.size(); n += 37) {
    EXPECT_EQ(crc_of(data.substr(0, n)), reference_crc(data.substr(0, n))) << n;
  }
}

TEST(Crc32, PiecesChainToTheWholeValue) {
  const std::string data = pattern_bytes(1000, 11);
  const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
  for (size_t piece : {size_t{1}, size_t{7}, size_t{256}}) {
    uint32_t crc = 0;
    for (size_t at = 0; at < data.size(); at += piece) {
      crc = crc32_update(crc, bytes + at, std::min(piece, data.size() - at));
    }
    EXPECT_EQ(crc, crc_of(data)) << piece;
  }
  EXPECT_EQ(crc32_update(0x12345678, bytes, 0), 0x12345678u);
}

}  // namespace
