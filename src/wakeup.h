// Stop signals as something a poll loop can wait on: the handlers for
// SIGINT and SIGTERM count the signal and write a byte to a pipe whose
// read end the loop polls beside its sockets. A handler reaches nothing
// else, so the loop decides what a signal means.
#pragma once

// Makes the pipe and installs the handlers. Installing again changes
// nothing. False with errno.
bool install_wakeup_signals();

// Has signal (SIGHUP, for a program whose closed terminal means stop)
// counted and wake the loop as the stop signals do, once
// install_wakeup_signals made the pipe. False with errno.
bool add_wakeup_signal(int signal);

// The pipe's read end, non-blocking: readable from the first signal on
// until drain_wakeup empties it. -1 before install_wakeup_signals. A loop
// that only stops on a signal may leave it full, so that every later wait
// on it ends at once too.
int wakeup_fd();

// Signals received since install_wakeup_signals.
int wakeup_signals_seen();

// Empties the pipe once a poll saw it readable, so that the next poll
// waits again. The count stays.
void drain_wakeup();
