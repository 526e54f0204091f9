// The library's entry points as the exported pools reach them. A pool
// obtains its blocks as a host's code does, through the dispatch table, so
// that a call before any start starts the library and a pool in a tracked
// context is tracked there. Declared here, defined by the core, which defines
// the entry points: the one way this layer calls up.
#pragma once

#include <stdint.h>

namespace tarvex {

struct PoolEntryPoints {
    void* (*std_alloc)(uint32_t size, uint32_t context_id);
    void (*std_free)(const void* block, uint32_t context_id);
    void* (*fast_alloc)(uint32_t size, uint32_t context_id);
    void (*fast_free)(const void* block, uint32_t size, uint32_t context_id);
    void (*mem_track_set_info)(uint32_t context_id, void* block, const char* info);
};

extern const PoolEntryPoints pool_entry_points;

}  // namespace tarvex
