// The tracking variants of the dispatch slots. Each resolves its context
// once and brackets the context's work and the table operation with the
// library lock, so no other thread sees a block allocated but untracked, or
// tracked but already freed. Allocations are recorded after the context
// serves them, releases removed before; a context's hard budget may refuse
// an allocation before the context sees it.
//
// The library's own context is served without the lock: pools grow and
// shrink in it while holding their context's lock, and a thread holding a
// context's lock must never wait for the library lock. Tracking ignores that
// context anyway.

#include "tracking/tracking_entries.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "base/building_blocks.h"
#include "base/dispatch_slot.h"
#include "base/errors.h"
#include "base/library_state.h"
#include "contexts/builtin_contexts.h"
#include "counters/counters.h"
#include "registry/default_entries.h"
#include "registry/handles.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"
#include "tracking/budgets.h"
#include "tracking/live_stream.h"
#include "tracking/track_table.h"

namespace tarvex {

namespace {

bool is_library_context(uint32_t id) {
    return id == tarvex_ids::library_context;
}

// The live stream's pump, when it has work, once the lock is left: declared
// before the lock's holder, it runs after the holder leaves.
struct LiveTurnAfterLock {
    ~LiveTurnAfterLock() { live_stream_after_call(); }
};

// ---------------------------------------------------------------------------
// The two shapes every tracked slot takes
// ---------------------------------------------------------------------------

// `resolve()` finds the context under the library lock, and `serve(context)`
// makes the block. A null block from a context that could not serve the
// request (no memory, an impossible size) is no block: it is not tracked and
// moves no figure. The null context's nulls are tracked, so that the report
// shows the calls made with an id that names no context. Both shapes are
// inlined into their slot, which then stands for the library as one frame in
// a recorded stack, whatever the build's optimisation.
template <typename Resolve, typename Serve>
__attribute__((always_inline)) inline void* tracked_allocation(uint32_t id, uint32_t size,
                                                               Resolve resolve, Serve serve) {
    const LiveTurnAfterLock live_turn;
    LockHolder hold(library_lock());
    MemContext& context = resolve();
    const BudgetWatch budget(context);
    if (budget.refuses(size)) return nullptr;
    void* block = serve(context);
    if (block == nullptr && &context != &null_context()) return nullptr;
    track_add(context, id, block, size, nullptr);
    budget.after_tracking(block);
    return block;
}

// `release(context, size)` gives the block back, with the tracked size when
// `check_size` asks for it. A block the table does not hold under this id
// never reaches the context: a second release would corrupt its pool or the
// heap.
template <typename Resolve, typename Release>
__attribute__((always_inline)) inline void tracked_release(const void* block, uint32_t id,
                                                           uint32_t size, bool check_size,
                                                           Resolve resolve, Release release) {
    const LiveTurnAfterLock live_turn;
    LockHolder hold(library_lock());
    MemContext& context = resolve();
    if (track_remove(context, id, const_cast<void*>(block), size, check_size))
        release(context, size);
}

// The context of an id call, looked up once under the lock.
auto by_id(uint32_t id) {
    return [id]() -> MemContext& { return *resolve_context_locked(id); };
}

// The context of a handle call, found before the lock.
auto by_handle(MemContext* context) {
    return [context]() -> MemContext& { return *context; };
}

void* writable(const void* block) {
    return const_cast<void*>(block);
}

// ---------------------------------------------------------------------------
// The slots
// ---------------------------------------------------------------------------

void* tracked_std_alloc(uint32_t size, uint32_t id) {
    if (is_library_context(id)) return default_std_alloc(size, id);
    return tracked_allocation(id, size, by_id(id),
                              [&](MemContext& c) { return c.std_alloc(size); });
}

void* tracked_fast_alloc(uint32_t size, uint32_t id) {
    if (is_library_context(id)) return default_fast_alloc(size, id);
    return tracked_allocation(id, size, by_id(id),
                              [&](MemContext& c) { return c.fast_alloc(size); });
}

void* tracked_aligned_alloc(uint32_t size, uint32_t alignment, uint32_t id) {
    if (is_library_context(id)) return default_aligned_alloc(size, alignment, id);
    return tracked_allocation(id, size, by_id(id),
                              [&](MemContext& c) { return aligned_alloc_in(c, size, alignment); });
}

void tracked_std_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    if (is_library_context(id)) return default_std_free(block, id);
    tracked_release(block, id, 0, false, by_id(id),
                    [&](MemContext& c, uint32_t) { c.std_free(writable(block)); });
}

void tracked_fast_free(const void* block, uint32_t size, uint32_t id) {
    if (block == nullptr) return;
    if (is_library_context(id)) return default_fast_free(block, size, id);
    tracked_release(block, id, size, true, by_id(id), [&](MemContext& c, uint32_t tracked) {
        c.fast_free(writable(block), tracked);
    });
}

void tracked_aligned_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    if (is_library_context(id)) return default_aligned_free(block, id);
    tracked_release(block, id, 0, false, by_id(id),
                    [&](MemContext& c, uint32_t) { c.std_free(aligned_block_origin(block)); });
}

void tracked_mem_track_add(uint32_t id, void* block, uint32_t size, const char* info) {
    LockHolder hold(library_lock());
    MemContext& context = *resolve_context_locked(id);
    // The host's block exists already: it counts against the soft budget
    // but is never refused.
    const BudgetWatch budget(context);
    track_add(context, id, block, size, info);
    budget.after_tracking(block);
}

void tracked_mem_track_remove(uint32_t id, void* block) {
    tracked_release(block, id, 0, false, by_id(id), [](MemContext&, uint32_t) {});
}

void tracked_mem_track_set_info(uint32_t id, void* block, const char* info) {
    LockHolder hold(library_lock());
    track_set_info(id, block, info);
}

// The handle calls. A handle without its context is the default occupant's
// to handle (it makes the id's call, or none); the library's own context is
// not tracked.
bool untracked(const MemContext* context) {
    return context == nullptr || context == &library_context();
}

void* tracked_handle_alloc(tarvex_handle handle, uint32_t size) {
    MemContext* context = handle_context(handle);
    if (untracked(context)) return default_handle_alloc(handle, size);
    return tracked_allocation(context->id, size, by_handle(context),
                              [&](MemContext& c) { return c.std_alloc(size); });
}

void* tracked_handle_fast_alloc(tarvex_handle handle, uint32_t size) {
    MemContext* context = handle_context(handle);
    if (untracked(context)) return default_handle_fast_alloc(handle, size);
    return tracked_allocation(context->id, size, by_handle(context),
                              [&](MemContext& c) { return c.fast_alloc(size); });
}

void* tracked_handle_aligned_alloc(tarvex_handle handle, uint32_t size, uint32_t alignment) {
    MemContext* context = handle_context(handle);
    if (untracked(context)) return default_handle_aligned_alloc(handle, size, alignment);
    return tracked_allocation(context->id, size, by_handle(context),
                              [&](MemContext& c) { return aligned_alloc_in(c, size, alignment); });
}

void tracked_handle_free(tarvex_handle handle, const void* block) {
    if (block == nullptr) return;
    MemContext* context = handle_context(handle);
    if (untracked(context)) return default_handle_free(handle, block);
    tracked_release(block, context->id, 0, false, by_handle(context),
                    [&](MemContext& c, uint32_t) { c.std_free(writable(block)); });
}

void tracked_handle_fast_free(tarvex_handle handle, const void* block, uint32_t size) {
    if (block == nullptr) return;
    MemContext* context = handle_context(handle);
    if (untracked(context)) return default_handle_fast_free(handle, block, size);
    tracked_release(
        block, context->id, size, true, by_handle(context),
        [&](MemContext& c, uint32_t tracked) { c.fast_free(writable(block), tracked); });
}

void tracked_handle_aligned_free(tarvex_handle handle, const void* block) {
    if (block == nullptr) return;
    MemContext* context = handle_context(handle);
    if (untracked(context)) return default_handle_aligned_free(handle, block);
    tracked_release(block, context->id, 0, false, by_handle(context),
                    [&](MemContext& c, uint32_t) { c.std_free(aligned_block_origin(block)); });
}

// Slot by slot, each an atomic switch: other threads call through the table
// meanwhile.
void occupy_slots(const Tarvex::FuncTable& occupants) {
    Tarvex::FuncTable& table = Tarvex::my_func_table;
    set_slot(table.std_alloc, occupants.std_alloc);
    set_slot(table.std_free, occupants.std_free);
    set_slot(table.std_size, occupants.std_size);
    set_slot(table.fast_alloc, occupants.fast_alloc);
    set_slot(table.fast_free, occupants.fast_free);
    set_slot(table.aligned_alloc, occupants.aligned_alloc);
    set_slot(table.aligned_free, occupants.aligned_free);
    set_slot(table.mem_track_add, occupants.mem_track_add);
    set_slot(table.mem_track_remove, occupants.mem_track_remove);
    set_slot(table.mem_track_set_info, occupants.mem_track_set_info);
    set_slot(table.dbg_fill, occupants.dbg_fill);
    set_slot(table.inc_counter, occupants.inc_counter);
}

void occupy_handle_slots(const HandleFuncTable& occupants) {
    HandleFuncTable& table = handle_func_table;
    set_slot(table.alloc, occupants.alloc);
    set_slot(table.free, occupants.free);
    set_slot(table.fast_alloc, occupants.fast_alloc);
    set_slot(table.fast_free, occupants.fast_free);
    set_slot(table.aligned_alloc, occupants.aligned_alloc);
    set_slot(table.aligned_free, occupants.aligned_free);
}

}  // namespace

void install_tracking_entries() {
    occupy_slots(Tarvex::FuncTable{
        tracked_std_alloc, tracked_std_free, default_std_size, tracked_fast_alloc,
        tracked_fast_free, tracked_aligned_alloc, tracked_aligned_free, tracked_mem_track_add,
        tracked_mem_track_remove, tracked_mem_track_set_info, debug_fill, counting_inc_counter});
    occupy_handle_slots(HandleFuncTable{tracked_handle_alloc, tracked_handle_free,
                                        tracked_handle_fast_alloc, tracked_handle_fast_free,
                                        tracked_handle_aligned_alloc, tracked_handle_aligned_free});
}

void uninstall_tracking_entries() {
    occupy_slots(default_occupants);
    occupy_handle_slots(default_handle_occupants);
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The running allocation id
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {
// Guarded by the library lock.
uint32_t next_alloc_id = 0;
}  // namespace

uint32_t peek_next_alloc_id() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return next_alloc_id;
}

uint32_t take_next_alloc_id() {
    TARVEX_CHECK_LIBRARY_LOCK();
    return next_alloc_id++;
}

}  // namespace tarvex

uint32_t Tarvex::get_checkpoint() {
    tarvex::LockHolder hold(tarvex::library_lock());
    return tarvex::peek_next_alloc_id();
}

// ---------------------------------------------------------------------------
// The allocation log
// ---------------------------------------------------------------------------

namespace tarvex {

std::atomic<uint32_t> logging_count{0};

namespace {
// Guarded by the library lock, which the sink is called under: true while a
// line is in the sink, whose own allocations are tracked but not logged.
ReentryGuard line_in_sink;

// Takes one event off the count before the line goes out, so that neither a
// sink that allocates nor a disable_logging made meanwhile is undone.
bool take_one_event() {
    uint32_t remaining = logging_count.load(std::memory_order_relaxed);
    do {
        if (remaining == 0) return false;
        if (remaining == logging_unlimited) return true;
    } while (
        !logging_count.compare_exchange_weak(remaining, remaining - 1, std::memory_order_relaxed));
    return true;
}
}  // namespace

void log_allocation(const MemTrackEntry& entry, const MemContext& context) {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (line_in_sink.busy() || !take_one_event()) return;
    // snprintf cuts a long name or info text; log_message cuts the line again
    // to its own buffer and keeps the newline.
    char line[2048];
    std::snprintf(line, sizeof(line),
                  "AllocId: %d  Addy: 0x%" PRIxPTR "  Size: %d Context: %s Info: %s",
                  static_cast<int>(entry.alloc_id), reinterpret_cast<uintptr_t>(entry.address),
                  static_cast<int>(entry.size), context.name ? context.name : "",
                  entry.info ? entry.info : "");
    ReentryGuard::Hold hold(line_in_sink);
    log_message(line);
}

}  // namespace tarvex

void Tarvex::enable_logging(uint32_t count) {
    tarvex::logging_count.store(count, std::memory_order_relaxed);
}

void Tarvex::disable_logging() {
    tarvex::logging_count.store(0, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The fill
// ---------------------------------------------------------------------------

namespace tarvex {

void debug_fill(void* block, uint32_t size) {
    if (block != nullptr) std::memset(block, debug_fill_byte, size);
}

}  // namespace tarvex
