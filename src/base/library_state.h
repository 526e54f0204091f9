// The library's process-wide state: the start-up count, the tracking mode and
// the one library lock.
#pragma once

#include <stdint.h>

#include <atomic>

#include "base/checks.h"
#include "base/lock_slot.h"

namespace tarvex {

// Start-up calls not yet matched by a shutdown; non-zero means running.
extern std::atomic<uint32_t> init_count;

// "BackTraceMode" of tarvex.ini: 0 no tracking, 1 tracking, 2 and up with
// stack back-traces.
extern std::atomic<int32_t> back_trace_mode;

inline bool library_running() {
    return init_count.load(std::memory_order_acquire) != 0;
}

// Every full start takes the next generation, published once the start has
// built everything; 0 only before the first start. A record of a context
// kept anywhere outside the registry (the context cache, a thread's caches)
// is good only for the generation it was made in: each start makes the
// built-in contexts anew at the same addresses.
extern std::atomic<uint32_t> library_generation;

inline bool library_ever_started() {
    return library_generation.load(std::memory_order_acquire) != 0;
}

// The library lock, re-entrant. It is created on first use and lives as long
// as the loaded library, so a call before start-up or after the final
// shutdown never meets a dead lock.
LockSlot& library_lock();

// Whether the calling thread holds the library lock; for checks.
bool library_lock_held();

}  // namespace tarvex

// Checks the most common precondition of the library's internal routines.
#define TARVEX_CHECK_LIBRARY_LOCK() \
    TARVEX_CHECK(::tarvex::library_lock_held(), "the library lock is held")
