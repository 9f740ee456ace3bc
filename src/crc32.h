// CRC-32 of IEEE 802.3 (as in Ethernet, zip and PNG), kept over image bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// Folds n bytes into the running register and returns it. Start from 0 and
// chain the calls: the result is the standard CRC-32 of all bytes so far,
// with no complement to apply before or after.
uint32_t crc32_update(uint32_t crc, const uint8_t *buf, size_t n);
