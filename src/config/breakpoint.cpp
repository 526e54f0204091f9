#include "config/breakpoint.h"

#include "base/library_state.h"

namespace tarvex {

bool breakpoint_armed = false;

namespace {

// Guarded by the library lock, like breakpoint_armed.
MemTypeDefs::BreakPoint current_breakpoint = {0, 0, 0, 0};

bool size_matches(const MemTypeDefs::BreakPoint& bp, uint32_t size) {
    // A max_size without a min_size does not limit the size at all.
    if (bp.min_size == 0) return true;
    if (bp.max_size == 0) return size == bp.min_size;
    return size >= bp.min_size && size <= bp.max_size;
}

bool entry_matches(const MemTypeDefs::BreakPoint& bp, const MemTrackEntry& entry) {
    if (bp.alloc_id != 0 && bp.alloc_id != entry.alloc_id) return false;
    if (bp.context_id != 0 && bp.context_id != entry.context_id) return false;
    return size_matches(bp, entry.size);
}

}  // namespace

void check_breakpoint(const MemTrackEntry& entry) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (!breakpoint_armed || !entry_matches(current_breakpoint, entry)) return;
    // The host writes the_config as plain data at any time; read it once.
    const Tarvex::BreakFunc on_break =
        __atomic_load_n(&Tarvex::the_config.break_func, __ATOMIC_ACQUIRE);
    if (on_break != nullptr) on_break(&entry);
}

}  // namespace tarvex

using namespace tarvex;

void Tarvex::set_breakpoint(const MemTypeDefs::BreakPoint& breakpoint) {
    LockHolder hold(library_lock());
    current_breakpoint = breakpoint;
    breakpoint_armed = breakpoint.alloc_id != 0 || breakpoint.context_id != 0 ||
                       breakpoint.min_size != 0 || breakpoint.max_size != 0;
}

MemTypeDefs::BreakPoint Tarvex::get_breakpoint() {
    LockHolder hold(library_lock());
    return current_breakpoint;
}
