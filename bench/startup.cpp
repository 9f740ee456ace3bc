// startup: what one run of a program costs, as the kernel counts it: its
// wall time from spawn to exit and its CPU time (user + system), both in
// microseconds. The shell's own time has millisecond steps, too coarse for
// programs that start and end in two.
//
// usage: startup PROGRAM [ARG...]   prints "WALL_US CPU_US STATUS"; the
// program's output goes to /dev/null, its exit status is printed, not
// judged.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

int64_t now_us() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

int64_t us_of(const timeval &t) { return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec; }

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: startup PROGRAM [ARG...]\n");
    return 2;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int64_t start = now_us();
  // NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): the process's own
  int rc = posix_spawn(&pid, argv[1], &actions, nullptr, argv + 1, environ);
  if (rc != 0) {
    fprintf(stderr, "startup: cannot run %s: %s\n", argv[1], strerror(rc));
    return 1;
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      fprintf(stderr, "startup: wait4: %s\n", strerror(errno));
      return 1;
    }
  }
  int64_t wall = now_us() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%" PRId64 " %" PRId64 " %d\n", wall, us_of(usage.ru_utime) + us_of(usage.ru_stime),
         code);
  return 0;
}
