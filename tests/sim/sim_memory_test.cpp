// Flash kept in memory, written in place as the image arrives: a download
// cut short anywhere, or whose write fails, leaves every byte of the device
// as it was and gives back the memory it took; a whole one reads as the
// part would; and bytes that change nothing take no memory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sim_client.h"
#include "support.h"
#include "target.h"
#include "wire.h"

namespace {

constexpr uint64_t BLOCK = 12 * 1024;  // not a whole number of pages
constexpr uint64_t DEVICE_SIZE = 20 * BLOCK;
constexpr int IDLE_MS = 2000;        // bounds every wait of the simulator here
constexpr unsigned WATCHDOG_S = 20;  // ends the process should the simulator spin

enum class before { erased, written };

enum class ending {
  whole,        // the image arrives whole and is written
  closed,       // the simulator closes after `at` image bytes (injected)
  client_gone,  // the client sends `at` image bytes and closes
  apply_fails,  // the whole image arrives, and writing it fails
};

struct memory_case {
  const char *name;
  before flash;
  uint32_t addr;
  uint32_t length;
  ending end;
  uint32_t at;  // image bytes before the end, for closed and client_gone
  // The image is the old content with every stride-th byte changed: 1
  // changes every byte, a large stride leaves most pages as they were.
  uint32_t stride;
};

const memory_case CASES[] = {
    {"WholeOverErased", before::erased, 0x1234, 40'000, ending::whole, 0, 1},
    {"WholeOverWritten", before::written, 0x1234, 40'000, ending::whole, 0, 1},
    {"WholeChangingFewPages", before::written, 0x1234, 40'000, ending::whole, 0, 9000},
    // One byte changed in each 4 KiB page, and only that one: the page's
    // first, its last, one in the last register the comparison and the
    // copy go over a page in.
    {"WholeChangingTheFirstByteOfEachPage", before::written, 0x2000, 40'000, ending::whole, 0,
     4096},
    {"WholeChangingTheLastByteOfEachPage", before::written, 0x1fff, 40'000, ending::whole, 0, 4096},
    {"WholeChangingAByteInEachPagesLastWord", before::written, 0x1ff1, 40'000, ending::whole, 0,
     4096},
    {"WholeLastByteOfEachPageOverErased", before::erased, 0x1fff, 40'000, ending::whole, 0, 4096},
    {"WholeToTheDeviceEnd", before::written, DEVICE_SIZE - 5000, 5000, ending::whole, 0, 1},
    {"ClosedAfterOneByteOverWritten", before::written, 0x1234, 40'000, ending::closed, 1, 1},
    // 0x1234 + 0xdcc is the second page's first byte.
    {"ClosedAtAPageEdgeOverWritten", before::written, 0x1234, 40'000, ending::closed, 0xdcc, 1},
    {"ClosedMidImageOverErased", before::erased, 0x1234, 40'000, ending::closed, 20'001, 1},
    {"ClosedBeforeTheLastByte", before::written, 0x1234, 40'000, ending::closed, 39'999, 1},
    {"ClosedChangingFewPages", before::written, 0, 60'000, ending::closed, 50'000, 9000},
    {"ClientGoneMidImageOverWritten", before::written, 0x2000, 70'000, ending::client_gone,
     65'537, 1},
    {"ClientGoneOverErased", before::erased, 0x2000, 70'000, ending::client_gone, 30'000, 1},
    {"ApplyFailsOverWritten", before::written, 0x1234, 40'000, ending::apply_fails, 0, 1},
    {"ApplyFailsOverErased", before::erased, 0x1234, 40'000, ending::apply_fails, 0, 1},
    {"ApplyFailsAtTheDeviceEnd", before::written, DEVICE_SIZE - 5000, 5000, ending::apply_fails, 0,
     3},
};

class SimMemoryWrite : public testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    alarm(WATCHDOG_S);
    t.idle_timeout_ms = IDLE_MS;
    t.nor = {"nor", 0x0101, DEVICE_SIZE, BLOCK, -1, {}, {}};
    ASSERT_EQ(open_memory(t.nor), "");
  }
  void TearDown() override {
    alarm(0);
    close_device(t.nor);
  }

  std::string flash() {
    std::string out(DEVICE_SIZE, '\0');
    EXPECT_TRUE(read_flash(t.nor, reinterpret_cast<uint8_t *>(out.data()), out.size(), 0));
    return out;
  }

  // Pages of the device that hold memory of the process's own: present
  // and mapped by it alone, which the system's shared zero page, lent for
  // pages only read, never is.
  size_t resident_pages() {
    constexpr uint64_t PRESENT = uint64_t{1} << 63;
    constexpr uint64_t EXCLUSIVE = uint64_t{1} << 56;
    const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    std::vector<uint64_t> entries((DEVICE_SIZE + page - 1) / page);
    int fd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << strerror(errno);
    const auto first = reinterpret_cast<uintptr_t>(t.nor.memory) / page;
    const auto bytes = static_cast<ssize_t>(entries.size() * sizeof(uint64_t));
    EXPECT_EQ(pread(fd, entries.data(), static_cast<size_t>(bytes),
                    static_cast<off_t>(first * sizeof(uint64_t))),
              bytes);
    close(fd);
    size_t n = 0;
    for (uint64_t e : entries) n += (e & PRESENT) != 0 && (e & EXCLUSIVE) != 0 ? 1 : 0;
    return n;
  }

  target t;
};

std::string request(uint32_t addr, const std::string &image, size_t sent) {
  uint8_t words[2 * WORD_SIZE];
  encode_header(words, static_cast<uint32_t>(image.size()), FLAG_ADDRESS);
  encode_address(words + WORD_SIZE, addr);
  return std::string(reinterpret_cast<char *>(words), sizeof words) + image.substr(0, sent);
}

TEST_P(SimMemoryWrite, LeavesTheOldFlashOrTheWholeImage) {
  const memory_case &c = CASES[GetParam()];
  std::string old(DEVICE_SIZE, '\xff');
  if (c.flash == before::written) {
    old = pattern_bytes(DEVICE_SIZE, 81);
    ASSERT_TRUE(write_flash(t.nor, reinterpret_cast<const uint8_t *>(old.data()), old.size(), 0));
  }
  const size_t pages_before = resident_pages();
  std::string image = old.substr(c.addr, c.length);
  for (size_t i = 0; i < image.size(); i += c.stride) image[i] = static_cast<char>(~image[i] ^ 1);
  if (c.end == ending::closed) t.faults.close_after = c.at;
  if (c.end == ending::apply_fails) {
    t.nor.inject = [](write_step step) { return step == write_step::apply ? EIO : 0; };
  }
  session_record rec;
  serve_over_socketpair(t, request(c.addr, image, c.end == ending::client_gone ? c.at : image.size()),
                        false, &rec);
  if (c.end == ending::whole) {
    EXPECT_EQ(rec.verdict, ERR_NONE) << describe(rec);
    std::string expected = old;
    program_flash(expected, BLOCK, c.addr, image);
    EXPECT_TRUE(flash() == expected) << "the device does not read as the part would";
    return;
  }
  if (c.end == ending::apply_fails) {
    EXPECT_EQ(rec.verdict, ERR_REPROGRAM) << describe(rec);
  }
  EXPECT_FALSE(rec.written) << describe(rec);
  EXPECT_EQ(resident_pages(), pages_before) << "memory taken by the download was kept";
  EXPECT_TRUE(flash() == old) << "a download that did not finish changed the device";
}

INSTANTIATE_TEST_SUITE_P(Cases, SimMemoryWrite,
                         testing::Range(0, static_cast<int>(std::size(CASES))),
                         [](const testing::TestParamInfo<int> &p) { return CASES[p.param].name; });

// Erased bytes loaded into erased flash take no memory, and the image a
// device already holds loaded again reads the same.
TEST_F(SimMemoryWrite, BytesThatChangeNothingTakeNoMemory) {
  const std::string erased(3 * BLOCK, '\xff');
  serve_over_socketpair(t, request(0, erased, erased.size()));
  EXPECT_EQ(resident_pages(), 0u);
  const std::string image = pattern_bytes(2 * BLOCK, 82);
  serve_over_socketpair(t, request(BLOCK, image, image.size()));
  const size_t pages = resident_pages();
  EXPECT_GT(pages, 0u);
  session_record rec;
  serve_over_socketpair(t, request(BLOCK, image, image.size()), false, &rec);
  EXPECT_EQ(rec.verdict, ERR_NONE) << describe(rec);
  EXPECT_EQ(resident_pages(), pages);
  EXPECT_TRUE(flash().substr(BLOCK, image.size()) == image);
  EXPECT_TRUE(flash().substr(0, BLOCK) == std::string(BLOCK, '\xff'));
}

// Erase blocks smaller than a page: the erased bytes around an image may
// lie across a page edge, in pages that hold written bytes.
TEST_F(SimMemoryWrite, SmallBlocksAroundTheImageReadErased) {
  constexpr uint64_t SMALL_BLOCK = 3000;
  close_device(t.nor);
  t.nor = {"nor", 0x0101, 100 * SMALL_BLOCK, SMALL_BLOCK, -1, {}, {}};
  ASSERT_EQ(open_memory(t.nor), "");
  // The first page erased and never written, the rest written.
  constexpr size_t PAGE_EDGE = 4096;
  std::string old = std::string(PAGE_EDGE, '\xff') + pattern_bytes(100 * SMALL_BLOCK - PAGE_EDGE, 83);
  ASSERT_TRUE(write_flash(t.nor, reinterpret_cast<const uint8_t *>(old.data()) + PAGE_EDGE,
                          old.size() - PAGE_EDGE, PAGE_EDGE));
  // Block 1 is [3000, 6000), across the page edge.
  const std::string image = pattern_bytes(200, 84);
  for (uint32_t addr : {5000u, 3100u}) {
    session_record rec;
    serve_over_socketpair(t, request(addr, image, image.size()), false, &rec);
    EXPECT_EQ(rec.verdict, ERR_NONE) << describe(rec);
    program_flash(old, SMALL_BLOCK, addr, image);
    std::string now(old.size(), '\0');
    ASSERT_TRUE(read_flash(t.nor, reinterpret_cast<uint8_t *>(now.data()), now.size(), 0));
    EXPECT_TRUE(now == old) << "the blocks around the image at " << addr << " are not erased";
  }
}

}  // namespace
