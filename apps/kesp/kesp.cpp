// kesp: loads a firmware image into the flash of a target device through
// the loader service it runs on TCP port 57000.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmdline.h"
#include "download.h"
#include "net.h"
#include "stdfds.h"
#include "wire.h"

namespace {

int connect_target(const char *host) {
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(LOADER_PORT);
  if (const char *why = resolve_host(host, &target.sin_addr)) {
    fprintf(stderr, "get host by name: %s\n", why);
    exit(-1);
  }

  int sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (sock < 0) {
    perror("create socket");
    exit(-1);
  }
  enable_dead_peer_detection(sock);
  if (connect_bounded(sock, target) < 0) {
    perror("connect");
    exit(-1);
  }
  return sock;
}

// The verdict reaches the caller only through standard output, so a
// failure to write it there must not pass for a finished run.
bool flush_stdout() {
  int failed = stdout_failure();
  errno = 0;
  if (fflush(stdout) == 0 && failed == 0 && ferror(stdout) == 0) return true;
  if (failed == 0) failed = errno != 0 ? errno : EIO;
  fprintf(stderr, "kesp: standard output: %s\n", strerror(failed));
  return false;
}

}  // namespace

int main(int argc, char *argv[]) {
  // Before anything is opened: with a standard descriptor closed, the
  // socket would take its number and our own text would go to the target.
  if (!open_std_fds()) return -1;
  // A reader of our output that goes away must not end the transaction
  // half way: the failed write is reported at the end instead.
  signal(SIGPIPE, SIG_IGN);
  // A bar per 256 bytes is a quarter of the image again in output; into a
  // file or a pipe it goes in large writes. A terminal keeps its own
  // buffering, so the bar still moves there.
  if (isatty(STDOUT_FILENO) == 0) {
    static char out_buffer[64 * 1024];
    setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
  }
  command_line cmd;
  scan_args(argc, argv, &cmd);
  if (cmd.host == nullptr || (!cmd.start && cmd.filename == nullptr)) {
    do_usage(argc > 0 ? argv[0] : "kesp");
    exit(-1);
  }
  if (cmd.bad_address != nullptr) {
    fprintf(stderr, "kesp: invalid address: %s\n", cmd.bad_address);
    exit(-1);
  }

  int sock = connect_target(cmd.host);
  if (cmd.start) {
    // A start that did not go out whole is deliberately not reported:
    // kesp's output and exit status for -s are fixed, and scripts rely on
    // them as they are.
    start_program(sock);
  } else {
    download_file(sock, cmd.filename, cmd.flags, cmd.address);
  }
  close(sock);
  return flush_stdout() ? 0 : -1;
}
