// kesp's transactions over a connected loader socket: a download or
// compare with its lines on standard output, and the start request.
#pragma once

#include <cstdint>

// Sends the image in filename with the given flags (FLAG_* bits only) and
// address, printing the progress bar and the target's verdict on standard
// output. Exits the process with status 255 on a local failure with the
// image file; every outcome on the target's side returns normally.
void download_file(int sock, const char *filename, uint32_t flags, uint32_t address);

// Why a write of download_file's to standard output failed: the errno of
// the first failure, or 0 if none did.
int stdout_failure();

// Sends the start request through the engine, as a download's request
// goes. True if it went out whole.
bool start_program(int sock);
