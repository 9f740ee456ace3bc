// The operator's control FIFO: a command a line, "remove LIST" or
// "insert LIST", handed to the boards it names for their own threads to do.
#pragma once

#include <string>
#include <vector>

#include "slots.h"

// The control FIFO, open for reading and writing, so that writers coming
// and going never make it read an end.
int open_control(const std::string &path);

// What the reader's thread is given: the FIFO, and the boards it commands.
struct control_job {
  int fd;
  std::vector<slot_board> *boards;
};

// Reads commands, a line each, until a stop signal.
void *read_control(void *arg);
