// CRC-32 of IEEE 802.3 (as in Ethernet, zip and PNG), kept over image bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// Folds n bytes into the running register and returns it. Start from 0 and
// chain the calls: the result is the standard CRC-32 of all bytes so far,
// with no complement to apply before or after. Every caller uses this one;
// it takes the fastest path the processor offers.
uint32_t crc32_update(uint32_t crc, const uint8_t *buf, size_t n);

// The same register, one table lookup per byte: the definition the fast
// paths are held against by the tests, the fuzzer and the benchmark.
uint32_t crc32_update_bytewise(uint32_t crc, const uint8_t *buf, size_t n);

// The same register, sixteen bytes per step through tables derived from
// the byte table: crc32_update's path on processors without a carry-less
// multiply, exported so that it is checked on processors that have one.
uint32_t crc32_update_sliced(uint32_t crc, const uint8_t *buf, size_t n);
