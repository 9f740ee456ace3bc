// The test harness itself: every end-to-end test takes an address it has
// found free, so the suite passes beside simulators that people run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support.h"
#include "wire.h"

namespace {

constexpr uint32_t TAKEN = 3;  // candidates held by someone else before the harness looks

// A listener of someone else's on port 57000 of address.
int occupy(const std::string &address) {
  int fd = listen_at(address);
  EXPECT_GE(fd, 0) << address;
  return fd;
}

struct taker {
  const char *name;
  // Takes an address the harness way; returns it, or "" if it found none.
  std::function<std::string()> take;
};

const std::vector<taker> &takers() {
  static const std::vector<taker> all = {
      {"Simulator",
       [] {
         static std::vector<std::unique_ptr<sim_process>> kept;
         kept.push_back(std::make_unique<sim_process>(
             KESP_SIM_BINARY, std::vector<std::string>{"--nor-size", "64K"}));
         return kept.back()->ready() ? kept.back()->address() : std::string();
       }},
      {"MultiBoardSimulator",
       [] {
         static std::vector<std::unique_ptr<sim_process>> kept;
         kept.push_back(std::make_unique<sim_process>(
             KESP_SIM_BINARY, 4, std::vector<std::string>{"--nor-size", "64K"}));
         return kept.back()->ready() ? kept.back()->address() : std::string();
       }},
      {"ScriptedTarget",
       [] {
         static std::vector<std::unique_ptr<scripted_target>> kept;
         kept.push_back(std::make_unique<scripted_target>([](scripted_target::session &) {}));
         return kept.back()->listening() ? kept.back()->address() : std::string();
       }},
      {"RefusingAddress",
       [] {
         static std::vector<std::unique_ptr<refusing_address>> kept;
         kept.push_back(std::make_unique<refusing_address>());
         return kept.back()->address();
       }},
  };
  return all;
}

class Harness : public testing::TestWithParam<int> {};

TEST_P(Harness, MovesOnPastAddressesInUse) {
  const taker &t = takers()[static_cast<size_t>(GetParam())];
  std::vector<int> held;
  std::vector<std::string> busy;
  for (uint32_t i = 0; i < TAKEN; ++i) {
    busy.push_back(peek_candidate(i));
    held.push_back(occupy(busy.back()));
  }
  const std::string want = peek_candidate(TAKEN);
  std::string got = t.take();
  EXPECT_EQ(got, want) << "the harness did not move on to the first free candidate";
  for (const auto &b : busy) EXPECT_NE(got, b);
  for (int fd : held) close(fd);
}

INSTANTIATE_TEST_SUITE_P(Takers, Harness, testing::Range(0, static_cast<int>(takers().size())),
                         [](const testing::TestParamInfo<int> &p) {
                           return takers()[static_cast<size_t>(p.param)].name;
                         });

TEST(Harness, RefusingAddressRefuses) {
  refusing_address nobody;
  ASSERT_FALSE(nobody.address().empty());
  EXPECT_TRUE(refused(nobody.address()));
}

TEST(Harness, CandidatesKeepAwayFromTheAddressesPeopleUse) {
  for (int i = 0; i < 100; ++i) {
    std::string a = next_candidate();
    EXPECT_EQ(a.rfind("127.", 0), 0U) << a;
    EXPECT_NE(a.rfind("127.0.", 0), 0U) << a;
    // Room for a range of 1024 boards within 127.0.0.0/8.
    EXPECT_EQ(nth_address(a, 1023).rfind("127.", 0), 0U) << a;
  }
}

}  // namespace
