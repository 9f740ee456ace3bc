// One download or compare transaction over a connected loader socket, and
// the lines kesp prints for it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "engine.h"

// Sends the image in filename with the given flags (FLAG_* bits only) and
// address, printing the progress bar and the target's verdict on standard
// output. Exits the process with status 255 on a local failure with the
// image file; every outcome on the target's side returns normally.
void download_file(int sock, const char *filename, uint32_t flags, uint32_t address);

// Why a write of download_file's to standard output failed: the errno of
// the first failure, or 0 if none did.
int stdout_failure();

// kesp's own lines, for any stream, so that a program keeping a log of a
// transaction writes exactly what kesp would have printed.
// "kesp: address = ...", "kesp: flags = ...", after the request.
void print_request_lines(FILE *out, uint32_t address, uint32_t flags);
// "kesp: flash_id = ...", once the first reply is in.
void print_first_reply_line(FILE *out, const transaction *t);
// The bar with done of total bytes gone out: "\rloader: [" ... "]".
void print_bar(FILE *out, uint32_t total, uint32_t done);
// What the transaction came to: the done and crc lines, the failed line,
// or the connection-failed line.
void print_outcome_lines(FILE *out, const transaction *t);
