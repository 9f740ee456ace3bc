// The host's limits on descriptors and memory, read and raised where a
// process may, so that a start that cannot serve every board says so.
#include "host_limits.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "target.h"

namespace {

// Descriptors beyond those counted, for the start-up's own passing needs.
constexpr rlim_t SPARE_FDS = 8;
// Resident memory besides the boards': program, libraries, log lines.
constexpr uint64_t BASE_MEMORY = uint64_t{8} << 20;

// The descriptors in use before the boards take theirs.
rlim_t descriptors_open() {
  std::error_code ec;
  rlim_t n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return ec || n == 0 ? 3 : n;
}

// The memory limit of this process's control group, or 0 for none known.
uint64_t cgroup_memory_limit() {
  std::ifstream groups("/proc/self/cgroup");
  uint64_t limit = 0;
  for (std::string line; std::getline(groups, line);) {
    // "ID:CONTROLLERS:PATH", the unified hierarchy with ID 0 and no
    // controllers.
    size_t first = line.find(':');
    size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    std::vector<std::string> files;
    if (controllers.empty()) {
      files = {"/sys/fs/cgroup" + path + "/memory.max",
               "/sys/fs/cgroup/unified" + path + "/memory.max"};
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      files = {"/sys/fs/cgroup/memory" + path + "/memory.limit_in_bytes"};
    }
    for (const auto &file : files) {
      std::ifstream in(file);
      unsigned long long value = 0;
      // "max", or a number far beyond any machine's, is no limit.
      if (in >> value && value > 0 && value < (uint64_t{1} << 60) &&
          (limit == 0 || value < limit)) {
        limit = value;
      }
    }
  }
  return limit;
}

std::string mib(uint64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB"; }

}  // namespace

void claim_descriptors(const sim_settings &s) {
  const rlim_t files = (s.nor_file.empty() ? 0 : 1) + (s.nand_file.empty() ? 0 : 1);
  const rlim_t per_board = 2 + files + (files > 0 ? 2 : 0) + (operator_mode(s) ? 2 : 0);
  std::string what = "listener, client";
  if (!s.nor_file.empty()) what += ", NOR file";
  if (!s.nand_file.empty()) what += ", NAND file";
  if (files > 0) what += ", journal, folder";
  if (operator_mode(s)) what += ", commands, pulls";
  // The stop pipe is made after this.
  const rlim_t besides = descriptors_open() + 2 + (s.control.empty() ? 0 : 1) + SPARE_FDS;
  const rlim_t need = besides + static_cast<rlim_t>(s.boards) * per_board;
  rlimit fds{};
  if (getrlimit(RLIMIT_NOFILE, &fds) != 0)
    fail_to_start(std::string("open files: ") + strerror(errno));
  if (fds.rlim_cur != RLIM_INFINITY && fds.rlim_cur < need) {
    // Only a privileged process may raise the hard limit; others are told.
    rlimit wanted{need, std::max(fds.rlim_max, need)};
    if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
      fail_to_start("open files: " + std::to_string(s.boards) + " board" +
                    (s.boards > 1 ? "s" : "") + " need " + std::to_string(need) +
                    " descriptors at once (" + std::to_string(per_board) + " per board: " + what +
                    "; " + std::to_string(besides) + " besides), but the limit is " +
                    std::to_string(fds.rlim_max) + ": raise it (ulimit -n) or serve fewer boards");
    }
  }
}

void check_memory(const sim_settings &s) {
  const uint64_t per_board = SESSION_BUFFERS + THREAD_STACK;
  const uint64_t need = BASE_MEMORY + uint64_t{s.boards} * per_board;
  const uint64_t limit = cgroup_memory_limit();
  if (limit != 0 && need > limit) {
    fail_to_start("memory: " + std::to_string(s.boards) + " board" + (s.boards > 1 ? "s" : "") +
                  " need " + mib(need) + " to serve at once (" + std::to_string(per_board >> 10) +
                  " KiB per board, " + mib(BASE_MEMORY) +
                  " besides), but the memory limit of this control group is " + mib(limit));
  }
}
