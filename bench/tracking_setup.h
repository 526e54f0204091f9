// What the tracking benchmarks share: a library started in tracking mode
// inside the benchmark process (linked against the object library, so it can
// switch modes), a table of live blocks, the floors' ordered set, and a
// capture from a known depth.
#pragma once

#include <vector>

#include "base/library_state.h"
#include "debughelp/debug_help.h"
#include "tarvex/tarvex.h"
#include "tracking/tracking_entries.h"

namespace tracking_bench {

// Starts the library with the tracking entries and the stack walker, and
// creates the context the benchmark works in.
inline void start_tracking(uint32_t context_id, const char* name) {
    Tarvex::init();
    tarvex::start_debug_help();
    Tarvex::context_init(Tarvex::ContextBase(name, context_id));
    tarvex::back_trace_mode.store(1);
    tarvex::install_tracking_entries();
}

inline std::vector<void*> allocate_live(uint32_t context_id, size_t count, uint32_t size) {
    std::vector<void*> live(count);
    for (auto& block : live) block = Tarvex::std_alloc(size, context_id);
    return live;
}

inline void free_live(std::vector<void*>& live, uint32_t context_id) {
    for (void* block : live) Tarvex::std_free(block, context_id);
    live.clear();
}

// The table's order, for the bare set the tracked pairs are measured against.
struct EntryOrder {
    bool operator()(const MemTrackEntry& a, const MemTrackEntry& b) const {
        return a.address < b.address || (a.address == b.address && a.context_id < b.context_id);
    }
};

uint32_t capture_at_depth(int depth, uintptr_t* frames);

// Two functions calling each other: the Windows walk stops at a frame that
// returns to itself, which plain recursion from one spot would produce.
__attribute__((noinline)) inline uint32_t one_level_deeper(int depth, uintptr_t* frames) {
    const uint32_t stored = capture_at_depth(depth - 1, frames);
    __asm__ volatile("" ::: "memory");
    return stored;
}

// Captures 16 frames from `depth` calls below the caller.
__attribute__((noinline)) inline uint32_t capture_at_depth(int depth, uintptr_t* frames) {
    if (depth > 0) {
        const uint32_t stored = one_level_deeper(depth, frames);
        __asm__ volatile("" ::: "memory");
        return stored;
    }
    tarvex::StartPoint start;
    TARVEX_TAKE_START_POINT(start);
    return tarvex::capture_stack(start, 16, frames);
}

}  // namespace tracking_bench
