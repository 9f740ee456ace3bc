// kesp-sim: a simulated target whose loader serves kesp on TCP port 57000,
// with its flash kept in files, for demonstrations and end-to-end tests.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "addresses.h"
#include "control.h"
#include "host_limits.h"
#include "serving.h"
#include "sim_options.h"
#include "slots.h"
#include "stdfds.h"
#include "wakeup.h"

namespace {

// A closed terminal (SIGHUP) stops the simulator as SIGINT and SIGTERM do,
// every connection logged. The handlers only wake the loops: the
// connection in progress ends at its next wait, never in the middle of
// writing the flash.
bool install_stop_handlers() { return install_wakeup_signals() && add_wakeup_signal(SIGHUP); }

}  // namespace

int main(int argc, char *argv[]) {
  // With a standard descriptor closed, the listener or a flash file would
  // take its number, and our log lines would land in the flash.
  if (!open_std_fds()) return EXIT_FAILURE_TO_START;
  // A client that vanishes must fail our send, not end the process, and a
  // file size limit must fail our write.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  sim_settings s = parse_command_line(argc, argv);
  std::vector<slot_board> boards = lay_out_boards(s);
  check_device_names(boards);
  claim_descriptors(s);
  check_memory(s);
  // Every address first: one that is taken ends the start before any file
  // is made, and names itself so that a harness can move on.
  for (auto &b : boards) b.listener = open_listener(b.address, b.device);
  // Before the flash files: making a large one takes a while, and a stop
  // meanwhile must end it cleanly.
  if (!install_stop_handlers()) fail_to_start(std::string("signals: ") + strerror(errno));
  for (auto &b : boards) open_board(b, operator_mode(s));
  int control_fd = s.control.empty() ? -1 : open_control(s.control);
  serve_all(boards, control_fd);

  // Every write was synced before its reply, so there is nothing to flush.
  if (control_fd >= 0) close(control_fd);
  for (auto &b : boards) close_board(b);
  fprintf(stderr, "kesp-sim: stopped\n");
  return 0;
}
