// Context handles: a lasting name for a context, for code that knows which
// context it allocates from and calls it often. A handle call skips the id's
// lookup: one load of the handle's context and the context's operation.
//
// A handle outlives its context safely. Each is a small record from the
// runtime heap that is never freed: the final shutdown takes its context
// away, and the start that follows makes a new handle for the context,
// under a new generation. A handle without its context makes the call the id
// would make then (after the final shutdown) or is refused (a handle of an
// earlier start: error 7, null).
#pragma once

#include <stdint.h>

#include <atomic>

#include "tarvex/tarvex_c.h"

namespace tarvex {
class MemContext;
}

struct tarvex_handle_s {
    std::atomic<tarvex::MemContext*> context;  // null once the context is gone
    uint32_t id;
    uint32_t generation;    // the start the handle was made in
    tarvex_handle_s* next;  // every handle made, newest first
};

namespace tarvex {

// ---------------------------------------------------------------------------
// The handle table
//
// The handle calls' own dispatch table, switched with the id table by the
// same rule: its default occupants below, and the tracking variants while
// tracking runs.
// ---------------------------------------------------------------------------

struct HandleFuncTable {
    void* (*alloc)(tarvex_handle handle, uint32_t size);
    void (*free)(tarvex_handle handle, const void* block);
    void* (*fast_alloc)(tarvex_handle handle, uint32_t size);
    void (*fast_free)(tarvex_handle handle, const void* block, uint32_t size);
    void* (*aligned_alloc)(tarvex_handle handle, uint32_t size, uint32_t alignment);
    void (*aligned_free)(tarvex_handle handle, const void* block);
};

extern HandleFuncTable handle_func_table;

void* default_handle_alloc(tarvex_handle handle, uint32_t size);
void default_handle_free(tarvex_handle handle, const void* block);
void* default_handle_fast_alloc(tarvex_handle handle, uint32_t size);
void default_handle_fast_free(tarvex_handle handle, const void* block, uint32_t size);
void* default_handle_aligned_alloc(tarvex_handle handle, uint32_t size, uint32_t alignment);
void default_handle_aligned_free(tarvex_handle handle, const void* block);

inline constexpr HandleFuncTable default_handle_occupants = {
    default_handle_alloc,     default_handle_free,          default_handle_fast_alloc,
    default_handle_fast_free, default_handle_aligned_alloc, default_handle_aligned_free,
};

// ---------------------------------------------------------------------------
// Handles
// ---------------------------------------------------------------------------

// The handle's context; null for a null handle and one whose context is gone.
inline MemContext* handle_context(tarvex_handle handle) {
    return handle != nullptr ? handle->context.load(std::memory_order_acquire) : nullptr;
}

// pre: the library lock is held. Every handle loses its context: the final
// shutdown, before the contexts go.
void forget_handles();

}  // namespace tarvex
