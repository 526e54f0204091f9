// The table of live tracked blocks, one entry per (address, context id),
// ordered by address and then id. Its set object and every tree node are
// library storage, which tracking ignores, so the table never tracks itself.
#pragma once

#include <stdint.h>

#include "tarvex/tarvex.h"

namespace tarvex {

// Start-up and the final shutdown. Without storage for the set the table is
// absent and every operation below does nothing.
void create_track_table();
void destroy_track_table();

// What a release may do with a block once its entry is looked up.
enum class ReleaseVerdict {
    release,  // tracked here and removed, or unknown to the table (it may
              // predate tracking or have been announced by the host)
    keep,     // tracked under another context: that one must release it
};

// pre for all: the library lock is held.
void track_add(uint32_t context_id, void* address, uint32_t size, const char* info);
// With `check_size`, a `size` other than the tracked one is reported and
// replaced by the tracked size, which the context then receives.
ReleaseVerdict track_remove(void* address, uint32_t context_id, uint32_t& size, bool check_size);
void track_set_info(uint32_t context_id, void* address, const char* info);

// Read access for reports: the number of entries, one entry by its key
// (copied into `out`; false when the table has none), and a walk in key order.
uint32_t track_table_size();
bool find_tracked(void* address, uint32_t context_id, MemTrackEntry& out);
template <typename Visit>
void for_each_tracked(Visit&& visit);
void for_each_tracked_entry(void (*visit)(const MemTrackEntry& entry, void* user), void* user);

template <typename Visit>
void for_each_tracked(Visit&& visit) {
    for_each_tracked_entry(
        [](const MemTrackEntry& entry, void* user) { (*static_cast<Visit*>(user))(entry); },
        &visit);
}

}  // namespace tarvex
