// Byte layouts exchanged with the target's loader service, shared by the
// client and the simulated target so that both ends speak the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint16_t LOADER_PORT = 57000;  // the loader's TCP port
inline constexpr size_t WORD_SIZE = 4;          // header, address and start words
inline constexpr size_t REPLY_SIZE = 18;        // one flash_reply on the wire

inline constexpr uint32_t FLAG_NAND = 0x20000000;     // program the NAND device
inline constexpr uint32_t FLAG_ADDRESS = 0x40000000;  // an address word follows
inline constexpr uint32_t FLAG_COMPARE = 0x80000000;  // compare, do not program
// The length shares the header word with the flags, so it must stay below
// the lowest flag bit or it would turn into a flag on the wire.
inline constexpr uint32_t LENGTH_LIMIT = FLAG_NAND;
inline constexpr uint32_t FLAG_MASK = FLAG_NAND | FLAG_ADDRESS | FLAG_COMPARE;

// Codes of the reply's error field; flash_error_str gives their texts.
inline constexpr int32_t ERR_NONE = 0;
inline constexpr int32_t ERR_REPROGRAM = 1;        // writing the image failed
inline constexpr int32_t ERR_ERASE = 2;            // erasing a block failed
inline constexpr int32_t ERR_INVALID_ADDRESS = 3;  // address outside the device
inline constexpr int32_t ERR_COMPARE_FAILED = 4;   // flash differs from the image
inline constexpr int32_t ERR_INVALID_SIZE = 5;     // image runs past the device's end
inline constexpr int32_t ERR_NO_DEVICE = 6;        // the request names an absent device

// The target's answer, in host order.
struct flash_reply {
  uint16_t flash_id;
  int32_t error;
  uint32_t addr;
  uint32_t size;
  uint32_t crc;
};

void put_be32(uint8_t *out, uint32_t value);
uint32_t get_be32(const uint8_t *in);

void encode_header(uint8_t out[WORD_SIZE], uint32_t length, uint32_t flags);
// The header word split back into the image length and the FLAG_* bits. A
// start request decodes as length 0 without flags.
struct request_header {
  uint32_t length;
  uint32_t flags;
};
request_header decode_header(const uint8_t in[WORD_SIZE]);
void encode_address(uint8_t out[WORD_SIZE], uint32_t address);
void encode_start(uint8_t out[WORD_SIZE]);
void encode_reply(uint8_t out[REPLY_SIZE], const flash_reply &reply);
flash_reply decode_reply(const uint8_t in[REPLY_SIZE]);

// Text for a target error code; negative codes read like their magnitude.
const char *flash_error_str(int32_t error);
