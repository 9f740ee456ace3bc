// The simulator killed at random moments while it takes multi-megabyte
// downloads into a flash file, and restarted on the same file each time:
// the touched blocks must read wholly as before or wholly as after, never
// a mix, and a done line must always mean after.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "support.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t NOR_SIZE = 8 << 20;
constexpr uint32_t NOR_BLOCK = 64 << 10;
constexpr uint32_t IMAGE_SIZE = 4 << 20;
// Not on a block boundary, so that the erased surroundings in the first
// and last touched blocks change too.
constexpr uint32_t ADDRESS = 0x12345;
constexpr char ADDRESS_ARG[] = "0x12345";
constexpr int KILLS = 60;
// Stretches the writing into the file, as a slow part would, so that many
// kills land in it rather than a few by luck.
constexpr char WRITE_DELAY_MS[] = "2";
// Kill moments are drawn from the start of a download to well past the end
// of an undisturbed one, so that they fall in every phase: streaming,
// journal, file, reply, and the next client.
constexpr double EARLIEST_KILL = 0.0;
constexpr double LATEST_KILL = 1.3;
constexpr auto RUN_LIMIT = 30s;
constexpr auto SLOWEST_DOWNLOAD = 10s;  // a healthy one takes a fraction of that

const std::string DONE = "kesp: flash update done, size = " + std::to_string(IMAGE_SIZE);

TEST(SimCrash, KilledAnywhereLeavesWholeOldOrWholeNew) {
  const std::string nor_path = temp_path("crash-nor");
  const std::string images[2] = {pattern_bytes(IMAGE_SIZE, 31), pattern_bytes(IMAGE_SIZE, 32)};
  const std::string image_paths[2] = {temp_path("crash-a.bin"), temp_path("crash-b.bin")};
  for (int i = 0; i < 2; ++i) write_file(image_paths[i], images[i]);
  std::string flash = pattern_bytes(NOR_SIZE, 33);
  write_file(nor_path, flash);
  const std::vector<std::string> sim_args = {"--nor-file",    nor_path,
                                             "--nor-size",    std::to_string(NOR_SIZE),
                                             "--nor-block",   std::to_string(NOR_BLOCK),
                                             "--write-delay", WRITE_DELAY_MS};
  auto download = [&](const sim_process &sim, int which) {
    return run_program({KESP_BINARY, "-a", ADDRESS_ARG, sim.address(), image_paths[which]},
                       RUN_LIMIT);
  };

  // An undisturbed download first, to learn how long one takes.
  std::chrono::nanoseconds undisturbed{};
  {
    sim_process sim(KESP_SIM_BINARY, sim_args);
    ASSERT_TRUE(sim.ready()) << sim.log();
    auto began = std::chrono::steady_clock::now();
    run_result r = download(sim, 0);
    undisturbed = std::chrono::steady_clock::now() - began;
    ASSERT_NE(r.out.find(DONE), std::string::npos) << r.out.substr(r.out.size() - 200);
    ASSERT_LT(undisturbed, SLOWEST_DOWNLOAD);
    EXPECT_EQ(sim.stop(), 0);
    program_flash(flash, NOR_BLOCK, ADDRESS, images[0]);
    ASSERT_TRUE(read_file(nor_path) == flash);
  }

  std::random_device entropy;
  const unsigned seed = entropy();
  std::mt19937 gen(seed);
  const auto scaled = [&](double factor) {
    return static_cast<int64_t>(static_cast<double>(undisturbed.count()) * factor);
  };
  std::uniform_int_distribution<int64_t> moment(scaled(EARLIEST_KILL), scaled(LATEST_KILL));
  int in_flash = 0;  // which image the flash holds: the other one goes next
  int left_old = 0;
  int left_new = 0;
  int after_done = 0;
  for (int kill_no = 0; kill_no < KILLS; ++kill_no) {
    const int which = 1 - in_flash;
    std::string next = flash;
    program_flash(next, NOR_BLOCK, ADDRESS, images[which]);

    sim_process sim(KESP_SIM_BINARY, sim_args);
    ASSERT_TRUE(sim.ready()) << sim.log();
    run_result r;
    std::thread tool([&] { r = download(sim, which); });
    std::this_thread::sleep_for(std::chrono::nanoseconds(moment(gen)));
    kill(sim.pid(), SIGKILL);
    tool.join();
    sim.stop();
    const bool done = r.out.find(DONE) != std::string::npos;

    // The restart settles whatever the kill left.
    sim_process restarted(KESP_SIM_BINARY, sim_args);
    ASSERT_TRUE(restarted.ready()) << restarted.log();
    std::string now = read_file(nor_path);
    EXPECT_EQ(restarted.stop(), 0);
    const bool is_old = now == flash;
    const bool is_new = now == next;
    ASSERT_TRUE(is_old || is_new) << "kill " << kill_no << " (seed " << seed
                                  << ") left the flash neither old nor new";
    ASSERT_TRUE(!done || is_new) << "kill " << kill_no << " (seed " << seed
                                 << ") came after a done line, yet the flash is old";
    if (is_new) {
      flash = next;
      in_flash = which;
    }
    left_old += is_old ? 1 : 0;
    left_new += is_new ? 1 : 0;
    after_done += done ? 1 : 0;
  }
  // Kills that all landed before or after every write would prove nothing.
  EXPECT_GT(left_old, 0);
  EXPECT_GT(left_new, 0);
  std::printf(
      "%d kills (seed %u, undisturbed download %.0f ms): %d left the old content, "
      "%d the new, %d after the done line\n",
      KILLS, seed, std::chrono::duration<double, std::milli>(undisturbed).count(), left_old,
      left_new, after_done);
}

}  // namespace
