// Standard descriptors for a process that may be started with some closed.
#pragma once

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed. Call
// it before opening anything else: the next socket or file would otherwise
// take a free standard number, and text meant for the terminal would go
// onto the connection or into the flash. False if one could not be opened.
bool open_std_fds();
