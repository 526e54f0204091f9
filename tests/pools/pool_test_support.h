// What the pool tests share: the context their blocks come from, and the
// size of a block's link record as the pools see it.
#pragma once

#include <cstdint>

#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

// A runtime-heap context of the tests' own, so that the blocks the pools
// obtain can be told apart from everything else the library allocates.
constexpr uint32_t pool_heap_id = 0x7001;

inline uint32_t pool_heap() {
    Tarvex::context_init(Tarvex::ContextBase("Pool test heap", pool_heap_id));
    return pool_heap_id;
}

// The link record after every block: two pointers.
constexpr uint32_t node_size = 2 * sizeof(void*);

inline uintptr_t address(const void* pointer) {
    return reinterpret_cast<uintptr_t>(pointer);
}

// The link stored in a free fragment's first word, which only the pool may
// read while the fragment is free.
inline void* next_free(const void* fragment) {
    return tarvex_memory::hidden_read<void*>(fragment);
}
