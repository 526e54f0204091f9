// The break point on tracked allocations and releases.
#pragma once

#include "tarvex/tarvex.h"

namespace tarvex {

// pre: the library lock is held. Calls the host's break_func when the entry
// matches the armed break point.
void check_breakpoint(const MemTrackEntry& entry);

}  // namespace tarvex
