#include "wire.h"

void put_be32(uint8_t *out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

uint32_t get_be32(const uint8_t *in) {
  return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
         static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
}

static void put_be16(uint8_t *out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value >> 8);
  out[1] = static_cast<uint8_t>(value);
}

static uint16_t get_be16(const uint8_t *in) { return static_cast<uint16_t>(in[0] << 8 | in[1]); }

// The length is ORed in unmasked: callers keep it below LENGTH_LIMIT.
void encode_header(uint8_t out[WORD_SIZE], uint32_t length, uint32_t flags) {
  put_be32(out, length | flags);
}

request_header decode_header(const uint8_t in[WORD_SIZE]) {
  uint32_t word = get_be32(in);
  return {word & ~FLAG_MASK, word & FLAG_MASK};
}

void encode_address(uint8_t out[WORD_SIZE], uint32_t address) { put_be32(out, address); }

// Byte for byte the header of an empty image without flags.
void encode_start(uint8_t out[WORD_SIZE]) { put_be32(out, 0); }

void encode_reply(uint8_t out[REPLY_SIZE], const flash_reply &reply) {
  put_be16(out, reply.flash_id);
  put_be32(out + 2, static_cast<uint32_t>(reply.error));
  put_be32(out + 6, reply.addr);
  put_be32(out + 10, reply.size);
  put_be32(out + 14, reply.crc);
}

flash_reply decode_reply(const uint8_t in[REPLY_SIZE]) {
  flash_reply reply{};
  reply.flash_id = get_be16(in);
  reply.error = static_cast<int32_t>(get_be32(in + 2));
  reply.addr = get_be32(in + 6);
  reply.size = get_be32(in + 10);
  reply.crc = get_be32(in + 14);
  return reply;
}

const char *flash_error_str(int32_t error) {
  // Indexed by ERR_NONE .. ERR_NO_DEVICE.
  static const char *const texts[] = {
      "no error",       "reprogram error", "erase error",    "invalid address",
      "compare failed", "invalid size",    "no such device",
  };
  static_assert(sizeof texts / sizeof texts[0] == ERR_NO_DEVICE + 1);
  // Work in 64 bits: the magnitude of INT32_MIN does not fit in 32.
  int64_t magnitude = error < 0 ? -static_cast<int64_t>(error) : error;
  if (magnitude >= static_cast<int64_t>(sizeof texts / sizeof texts[0])) {
    return "unknown error";
  }
  return texts[magnitude];
}
