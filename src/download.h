// One download or compare transaction over a connected loader socket.
#pragma once

#include <cstdint>

// Sends the image in filename with the given flags (FLAG_* bits only) and
// address, printing the progress bar and the target's verdict on standard
// output. Exits the process with status 255 on a local failure with the
// image file; every outcome on the target's side returns normally.
void download_file(int sock, const char *filename, uint32_t flags, uint32_t address);
