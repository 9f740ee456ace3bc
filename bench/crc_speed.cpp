// crc_speed: how fast each checksum path folds bytes held in memory, so
// that the fast paths are set against the byte loop they replace. Each path
// runs over the same buffer several times; the median pass is reported.
// "in 256-byte calls" is the fast path fed as kesp feeds it, "64 KiB calls"
// as the simulator feeds it.
//
// usage: crc_speed [MIB [PASSES]]   (defaults 16 and 7)
// Prints one line per path: name, MiB/s, and the register it ended with
// (the same for all, or the run fails).
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crc32.h"

namespace {

constexpr size_t MIB = 1 << 20;
constexpr size_t KESP_CHUNK = 256;               // bytes per call in kesp's loop
constexpr size_t SIM_CHUNK = size_t{64} * 1024;  // bytes per call in kesp-sim's receive
constexpr unsigned DEFAULT_MIB = 16;
constexpr unsigned DEFAULT_PASSES = 7;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint32_t in_kesp_chunks(uint32_t crc, const uint8_t *buf, size_t n) {
  for (size_t at = 0; at < n; at += KESP_CHUNK) {
    crc = crc32_update(crc, buf + at, std::min(KESP_CHUNK, n - at));
  }
  return crc;
}

uint32_t in_sim_chunks(uint32_t crc, const uint8_t *buf, size_t n) {
  for (size_t at = 0; at < n; at += SIM_CHUNK) {
    crc = crc32_update(crc, buf + at, std::min(SIM_CHUNK, n - at));
  }
  return crc;
}

struct path {
  const char *name;
  uint32_t (*update)(uint32_t, const uint8_t *, size_t);
};
const path PATHS[] = {
    {"reference (byte loop)", crc32_update_bytewise},
    {"sliced, 16 bytes/step", crc32_update_sliced},
    {"crc32_update, one call", crc32_update},
    {"crc32_update, 256-byte calls", in_kesp_chunks},
    {"crc32_update, 64 KiB calls", in_sim_chunks},
};

unsigned argument(int argc, char *argv[], int at, unsigned fallback) {
  if (argc <= at) return fallback;
  const long value = strtol(argv[at], nullptr, 10);
  if (value < 1 || value > 1024) {
    fprintf(stderr, "usage: crc_speed [MIB [PASSES]]  (each 1 to 1024)\n");
    exit(2);
  }
  return static_cast<unsigned>(value);
}

}  // namespace

int main(int argc, char *argv[]) {
  const size_t n = argument(argc, argv, 1, DEFAULT_MIB) * MIB;
  const unsigned passes = argument(argc, argv, 2, DEFAULT_PASSES);
  std::vector<uint8_t> buf(n);
  uint32_t seed = 0x2545F491;
  for (uint8_t &b : buf) {
    seed = seed * 1103515245 + 12345;
    b = static_cast<uint8_t>(seed >> 16);
  }

  uint32_t first = 0;
  bool agreed = true;
  for (const path &p : PATHS) {
    std::vector<double> seconds;
    uint32_t crc = 0;
    for (unsigned i = 0; i < passes; ++i) {
      const double start = now();
      crc = p.update(0, buf.data(), n);
      seconds.push_back(now() - start);
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    if (&p == PATHS) first = crc;
    agreed = agreed && crc == first;
    printf("%-30s %10.1f MiB/s  crc %08x\n", p.name,
           static_cast<double>(n) / static_cast<double>(MIB) / median, crc);
  }
  if (!agreed) {
    fprintf(stderr, "crc_speed: the paths disagree\n");
    return 1;
  }
  return 0;
}
