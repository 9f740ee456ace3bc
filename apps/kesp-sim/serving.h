// Serving every board at once: a thread each, and the control FIFO's
// reader beside them.
#pragma once

#include <vector>

#include "slots.h"

// Says it is ready and serves every board until a stop signal: one board
// in this thread, several in a thread each, every thread made first.
void serve_all(std::vector<slot_board> &boards, int control_fd);
