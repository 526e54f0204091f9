// The tracking variants of the dispatch slots. Each brackets the default
// work and the table operation with the library lock, so no other thread
// sees a block allocated but untracked, or tracked but already freed.
// Allocations are recorded after the default call, releases removed before;
// a context's hard budget may refuse an allocation before the default call.
//
// The library's own context is served without the lock: pools grow and
// shrink in it while holding their context's lock, and a thread holding a
// context's lock must never wait for the library lock. Tracking ignores that
// context anyway.
#include "tracking/tracking_entries.h"

#include "base/dispatch_slot.h"
#include "base/library_state.h"
#include "base/lock_slot.h"
#include "counters/counters.h"
#include "registry/default_entries.h"
#include "tracking/budgets.h"
#include "tracking/debug_fill.h"
#include "tracking/track_table.h"

namespace tarvex {

namespace {

bool is_library_context(uint32_t id) {
    return id == tarvex_ids::library_context;
}

void* tracked_std_alloc(uint32_t size, uint32_t id) {
    if (is_library_context(id)) return default_std_alloc(size, id);
    LockHolder hold(library_lock());
    const BudgetWatch budget(id);
    if (budget.refuses(size)) return nullptr;
    void* block = default_std_alloc(size, id);
    track_add(id, block, size, nullptr);
    budget.after_tracking(block);
    return block;
}

void tracked_std_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    if (is_library_context(id)) return default_std_free(block, id);
    LockHolder hold(library_lock());
    uint32_t unused = 0;
    if (track_remove(const_cast<void*>(block), id, unused, false) == ReleaseVerdict::release)
        default_std_free(block, id);
}

void* tracked_fast_alloc(uint32_t size, uint32_t id) {
    if (is_library_context(id)) return default_fast_alloc(size, id);
    LockHolder hold(library_lock());
    const BudgetWatch budget(id);
    if (budget.refuses(size)) return nullptr;
    void* block = default_fast_alloc(size, id);
    track_add(id, block, size, nullptr);
    budget.after_tracking(block);
    return block;
}

void tracked_fast_free(const void* block, uint32_t size, uint32_t id) {
    if (block == nullptr) return;
    if (is_library_context(id)) return default_fast_free(block, size, id);
    LockHolder hold(library_lock());
    uint32_t tracked_size = size;
    if (track_remove(const_cast<void*>(block), id, tracked_size, true) == ReleaseVerdict::release)
        default_fast_free(block, tracked_size, id);
}

void* tracked_aligned_alloc(uint32_t size, uint32_t alignment, uint32_t id) {
    if (is_library_context(id)) return default_aligned_alloc(size, alignment, id);
    LockHolder hold(library_lock());
    const BudgetWatch budget(id);
    if (budget.refuses(size)) return nullptr;
    void* block = default_aligned_alloc(size, alignment, id);
    track_add(id, block, size, nullptr);
    budget.after_tracking(block);
    return block;
}

void tracked_aligned_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    if (is_library_context(id)) return default_aligned_free(block, id);
    LockHolder hold(library_lock());
    uint32_t unused = 0;
    if (track_remove(const_cast<void*>(block), id, unused, false) == ReleaseVerdict::release)
        default_aligned_free(block, id);
}

void tracked_mem_track_add(uint32_t id, void* block, uint32_t size, const char* info) {
    LockHolder hold(library_lock());
    // The host's block exists already: it counts against the soft budget
    // but is never refused.
    const BudgetWatch budget(id);
    track_add(id, block, size, info);
    budget.after_tracking(block);
}

void tracked_mem_track_remove(uint32_t id, void* block) {
    LockHolder hold(library_lock());
    uint32_t unused = 0;
    track_remove(block, id, unused, false);
}

void tracked_mem_track_set_info(uint32_t id, void* block, const char* info) {
    LockHolder hold(library_lock());
    track_set_info(id, block, info);
}

}  // namespace

void install_tracking_entries() {
    Tarvex::FuncTable& table = Tarvex::my_func_table;
    set_slot(table.std_alloc, tracked_std_alloc);
    set_slot(table.std_free, tracked_std_free);
    set_slot(table.fast_alloc, tracked_fast_alloc);
    set_slot(table.fast_free, tracked_fast_free);
    set_slot(table.aligned_alloc, tracked_aligned_alloc);
    set_slot(table.aligned_free, tracked_aligned_free);
    set_slot(table.mem_track_add, tracked_mem_track_add);
    set_slot(table.mem_track_remove, tracked_mem_track_remove);
    set_slot(table.mem_track_set_info, tracked_mem_track_set_info);
    set_slot(table.dbg_fill, debug_fill);
    set_slot(table.inc_counter, counting_inc_counter);
}

}  // namespace tarvex
