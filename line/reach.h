// How kesp-batch reaches a board: a socket of its own for every connection,
// bound to the board's network interface when its name gives one, so that
// boards sharing one factory address on separate fixture networks stay
// apart.
#pragma once

#include <string>

#include "plan.h"

// A non-blocking TCP socket for a connection to b, bound to b's interface
// when it has one. -1 with *why.
int open_board_socket(const board &b, std::string *why);

// Starts connecting sock to b. 0 when connected at once, else -1 with
// errno (EINPROGRESS while the connect goes on).
int start_connect(int sock, const board &b);
