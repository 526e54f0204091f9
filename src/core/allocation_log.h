// One log line per tracked allocation or release while logging is enabled.
#pragma once

#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

namespace tarvex {

// pre: the library lock is held.
void log_allocation(const MemTrackEntry& entry, const MemContext& context);

}  // namespace tarvex
