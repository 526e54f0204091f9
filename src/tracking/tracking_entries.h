// What a tracked call does: the tracking variants of the dispatch slots,
// the running allocation id they give each block, the allocation log they
// write while logging is on, and the fill of Tarvex::dbg_fill.
#pragma once

#include <stdint.h>

#include <atomic>

#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// The slots
// ---------------------------------------------------------------------------

namespace tarvex {

// Puts the tracking variants into slots 0, 1 and 3 to 11 of the dispatch
// table; slot 2 keeps its default. Called by start-up.
void install_tracking_entries();
// Puts the default occupants back: tracking stops for good at the process's
// end, and the calls made after it cost what untracked calls cost.
void uninstall_tracking_entries();

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The running allocation id
//
// The running allocation id: every tracked allocation takes the current
// value. Never reset; wraps silently.
// ---------------------------------------------------------------------------

namespace tarvex {

// pre: the library lock is held.
uint32_t peek_next_alloc_id();
uint32_t take_next_alloc_id();

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The allocation log
//
// One log line per tracked allocation or release while logging is enabled.
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// The fill
// ---------------------------------------------------------------------------

namespace tarvex {

// The byte tracking mode writes over a block handed to Tarvex::dbg_fill.
constexpr unsigned char debug_fill_byte = 0xCD;

// The dbg_fill slot in tracking mode: fills the block, never dispatches.
void debug_fill(void* block, uint32_t size);

}  // namespace tarvex
