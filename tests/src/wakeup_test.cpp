#include "wakeup.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <csignal>

namespace {

bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// A signal is counted and wakes a poll on the pipe until it is drained; a
// loop that never drains keeps waking, as a stop wants.
TEST(Wakeup, SignalsCountAndWakeUntilDrained) {
  ASSERT_TRUE(install_wakeup_signals());
  ASSERT_TRUE(install_wakeup_signals());  // again: the same pipe
  int fd = wakeup_fd();
  ASSERT_GE(fd, 0);
  drain_wakeup();
  EXPECT_FALSE(readable(fd));
  int before = wakeup_signals_seen();
  ASSERT_EQ(raise(SIGINT), 0);
  EXPECT_EQ(wakeup_signals_seen(), before + 1);
  EXPECT_TRUE(readable(fd));
  EXPECT_TRUE(readable(fd));  // looking empties nothing
  ASSERT_EQ(raise(SIGTERM), 0);
  EXPECT_EQ(wakeup_signals_seen(), before + 2);
  EXPECT_EQ(wakeup_fd(), fd);
  drain_wakeup();
  EXPECT_FALSE(readable(fd));
  EXPECT_EQ(wakeup_signals_seen(), before + 2);  // draining keeps the count
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

// SIGHUP wakes only a program that asked for it: installing the stop
// signals leaves its action as it was.
TEST(Wakeup, HangupOnlyWhenAdded) {
  ASSERT_EQ(signal(SIGHUP, SIG_IGN), SIG_DFL);
  ASSERT_TRUE(install_wakeup_signals());
  struct sigaction now {};
  ASSERT_EQ(sigaction(SIGHUP, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  ASSERT_TRUE(add_wakeup_signal(SIGHUP));
  drain_wakeup();
  int before = wakeup_signals_seen();
  ASSERT_EQ(raise(SIGHUP), 0);
  EXPECT_EQ(wakeup_signals_seen(), before + 1);
  EXPECT_TRUE(readable(wakeup_fd()));
  drain_wakeup();
  signal(SIGHUP, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

}  // namespace
