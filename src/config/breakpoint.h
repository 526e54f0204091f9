// The break point on tracked allocations and releases.
#pragma once

#include "tarvex/tarvex.h"

namespace tarvex {

// True exactly when a field of the current break point is not 0. Guarded by
// the library lock.
extern bool breakpoint_armed;

// pre: the library lock is held. Calls the host's break_func when the entry
// matches the armed break point.
void check_breakpoint(const MemTrackEntry& entry);

}  // namespace tarvex
