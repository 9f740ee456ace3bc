// kesp's output lines, for any stream, so that a program keeping a log of
// a transaction writes exactly what kesp would have printed.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine.h"

// "kesp: address = ...", "kesp: flags = ...", after the request.
void print_request_lines(FILE *out, uint32_t address, uint32_t flags);
// "kesp: flash_id = ...", once the first reply is in.
void print_first_reply_line(FILE *out, const transaction *t);
// The bar with done of total bytes gone out: "\rloader: [" ... "]".
void print_bar(FILE *out, uint32_t total, uint32_t done);
// What the transaction came to: the done and crc lines, the failed line,
// or the connection-failed line.
void print_outcome_lines(FILE *out, const transaction *t);
