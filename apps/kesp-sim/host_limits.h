// What the host must give every board at once, claimed or checked before
// the ready line: descriptors, memory and each board's thread.
#pragma once

#include <cstddef>

#include "sim_options.h"

// Each board's thread: its stack, of which a connection uses a fraction.
inline constexpr size_t THREAD_STACK = size_t{256} * 1024;

// Every board may hold at once its listener, a client, each device's file,
// and during a write the journal and its folder. The limit is raised to
// hold them all, or the start fails naming what is short, so that no
// client is ever told "erase error" for want of a descriptor.
void claim_descriptors(const sim_settings &s);

// The memory every board works in is taken before the ready line. Where
// the control group sets a limit that cannot hold it, the start fails
// naming it: the system would kill the simulator with no word later.
void check_memory(const sim_settings &s);
