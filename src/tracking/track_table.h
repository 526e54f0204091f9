// The table of live tracked blocks, one entry per (address, context id),
// ordered by address and then id. Its set object and every tree node are
// library storage, which tracking ignores, so the table never tracks itself.
#pragma once

#include <stdint.h>

#include "contexts/mem_context.h"
#include "tarvex/tarvex.h"

namespace tarvex {

// The frames an entry holds.
constexpr uint32_t max_frames = sizeof(MemTrackEntry::frames) / sizeof(MemTrackEntry::frames[0]);

// A tracked block as the table keeps it: the entry, whose layout the host
// relies on, and beside it whether the walk that recorded its frames was cut
// at the last of them (see capture_stack).
struct TrackedBlock {
    MemTrackEntry entry;
    bool stack_cut;
};

// Start-up and the final shutdown. Without storage for the set the table is
// absent and every operation below does nothing.
void create_track_table();
void destroy_track_table();

// pre for all: the library lock is held. `context` is the one the id
// resolved to (the null context for an id that names none); the entry keeps
// the id the caller passed.
void track_add(MemContext& context, uint32_t context_id, void* address, uint32_t size,
               const char* info);
// Whether the block may go back to its context: only when its entry was
// found and removed. A block the table does not hold under that id (a second
// release, another context's block, a block whose entry could not be stored)
// is reported and must not reach the heap. While tracking is off for the id
// (the library's own context, no table, not running) every release passes.
// With `check_size`, a `size` other than the tracked one is reported and
// replaced by the tracked size, which the context then receives.
bool track_remove(MemContext& context, uint32_t context_id, void* address, uint32_t& size,
                  bool check_size);
void track_set_info(uint32_t context_id, void* address, const char* info);
// Drops the entries of the id whose blocks lie in [begin, end] and whose
// allocation id is at least `min_alloc_id`, with their figures: memory an
// arena gives back all at once, which is gone by design and no leak. The end
// is included: a block of no bytes that fills its arena block exactly starts
// there (a size header is all it has).
void track_forget_range(MemContext& context, uint32_t context_id, const void* begin,
                        const void* end, uint32_t min_alloc_id);

// Read access for reports: the number of entries, one entry by its key
// (copied into `out`; false when the table has none), and a walk in key order.
uint32_t track_table_size();
bool find_tracked(void* address, uint32_t context_id, MemTrackEntry& out);
template <typename Visit>
void for_each_tracked(Visit&& visit);
void for_each_tracked_block(void (*visit)(const TrackedBlock& block, void* user), void* user);

template <typename Visit>
void for_each_tracked(Visit&& visit) {
    for_each_tracked_block(
        [](const TrackedBlock& block, void* user) { (*static_cast<Visit*>(user))(block); }, &visit);
}

}  // namespace tarvex
