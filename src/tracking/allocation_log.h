// One log line per tracked allocation or release while logging is enabled.
#pragma once

#include <atomic>

#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

namespace tarvex {

// Tracked events still to log: 0 none, 0xffffffff without limit.
extern std::atomic<uint32_t> logging_count;
constexpr uint32_t logging_unlimited = 0xffffffffu;

// Whether a tracked event may log a line now.
inline bool allocation_logging() {
    return logging_count.load(std::memory_order_relaxed) != 0;
}

// pre: the library lock is held.
void log_allocation(const MemTrackEntry& entry, const MemContext& context);

}  // namespace tarvex
