#include "registry/handles.h"

#include <cstdlib>

#include "base/dispatch_slot.h"
#include "base/errors.h"
#include "base/library_state.h"
#include "contexts/builtin_contexts.h"
#include "contexts/mem_context.h"
#include "registry/registry.h"

// ---------------------------------------------------------------------------
// Making and forgetting handles
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {
// Every handle ever made, newest first. Guarded by the library lock.
tarvex_handle_s* handles_made = nullptr;

// pre: the library lock is held. The context's handle, made on first use;
// null when the heap has no room for one.
tarvex_handle handle_of(MemContext& context) {
    if (context.handle != nullptr) return context.handle;
    auto* handle = static_cast<tarvex_handle_s*>(std::malloc(sizeof(tarvex_handle_s)));
    if (handle == nullptr) return nullptr;
    handle->context.store(&context, std::memory_order_relaxed);
    handle->id = context.id;
    handle->generation = library_generation.load(std::memory_order_relaxed);
    handle->next = handles_made;
    handles_made = handle;
    context.handle = handle;
    return handle;
}

// Whether a handle without its context may make the id's call: a handle of
// this start after its final shutdown may; a handle of an earlier start is
// refused.
bool usable_by_id(tarvex_handle handle) {
    if (handle == nullptr) return false;
    if (handle->generation == library_generation.load(std::memory_order_acquire)) return true;
    report_error(error_context_not_set);
    return false;
}
}  // namespace

void forget_handles() {
    TARVEX_CHECK_LIBRARY_LOCK();
    for (tarvex_handle_s* handle = handles_made; handle != nullptr; handle = handle->next) {
        if (MemContext* context = handle->context.load(std::memory_order_relaxed)) {
            context->handle = nullptr;
            handle->context.store(nullptr, std::memory_order_release);
        }
    }
}

}  // namespace tarvex

using namespace tarvex;

tarvex_handle tarvex_context_find(uint32_t context_id) {
    // A handle made before any start-up would name a context the start drops.
    ensure_started();
    LockHolder hold(library_lock());
    MemContext* context = find_context(context_id, true);
    if (context == &null_context()) return nullptr;
    return handle_of(*context);
}

// ---------------------------------------------------------------------------
// Handles without their context
//
// Nothing for a null handle, the id call after the final shutdown of the
// handle's start, and error 7 for a handle of an earlier start. Out of line,
// so that the occupants' own path needs no stack frame.
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

void* writable(const void* block) {
    return const_cast<void*>(block);
}

__attribute__((noinline)) void* handle_alloc_unserved(tarvex_handle handle, uint32_t size) {
    if (!usable_by_id(handle)) return nullptr;
    return slot(Tarvex::my_func_table.std_alloc)(size, handle->id);
}

__attribute__((noinline)) void handle_free_unserved(tarvex_handle handle, const void* block) {
    if (usable_by_id(handle)) slot(Tarvex::my_func_table.std_free)(block, handle->id);
}

__attribute__((noinline)) void* handle_fast_alloc_unserved(tarvex_handle handle, uint32_t size) {
    if (!usable_by_id(handle)) return nullptr;
    return slot(Tarvex::my_func_table.fast_alloc)(size, handle->id);
}

__attribute__((noinline)) void handle_fast_free_unserved(tarvex_handle handle, const void* block,
                                                         uint32_t size) {
    if (usable_by_id(handle)) slot(Tarvex::my_func_table.fast_free)(block, size, handle->id);
}

__attribute__((noinline)) void* handle_aligned_alloc_unserved(tarvex_handle handle, uint32_t size,
                                                              uint32_t alignment) {
    if (!usable_by_id(handle)) return nullptr;
    return slot(Tarvex::my_func_table.aligned_alloc)(size, alignment, handle->id);
}

__attribute__((noinline)) void handle_aligned_free_unserved(tarvex_handle handle,
                                                            const void* block) {
    if (usable_by_id(handle)) slot(Tarvex::my_func_table.aligned_free)(block, handle->id);
}

}  // namespace

// ---------------------------------------------------------------------------
// The default occupants of the handle table
// ---------------------------------------------------------------------------

HandleFuncTable handle_func_table = default_handle_occupants;

void* default_handle_alloc(tarvex_handle handle, uint32_t size) {
    if (MemContext* context = handle_context(handle)) return context->std_alloc(size);
    return handle_alloc_unserved(handle, size);
}

void default_handle_free(tarvex_handle handle, const void* block) {
    if (block == nullptr) return;
    if (MemContext* context = handle_context(handle)) return context->std_free(writable(block));
    handle_free_unserved(handle, block);
}

void* default_handle_fast_alloc(tarvex_handle handle, uint32_t size) {
    if (MemContext* context = handle_context(handle)) return context->fast_alloc(size);
    return handle_fast_alloc_unserved(handle, size);
}

void default_handle_fast_free(tarvex_handle handle, const void* block, uint32_t size) {
    if (block == nullptr) return;
    if (MemContext* context = handle_context(handle))
        return context->fast_free(writable(block), size);
    handle_fast_free_unserved(handle, block, size);
}

void* default_handle_aligned_alloc(tarvex_handle handle, uint32_t size, uint32_t alignment) {
    if (MemContext* context = handle_context(handle))
        return aligned_alloc_in(*context, size, alignment);
    return handle_aligned_alloc_unserved(handle, size, alignment);
}

void default_handle_aligned_free(tarvex_handle handle, const void* block) {
    if (block == nullptr) return;
    if (MemContext* context = handle_context(handle))
        return context->std_free(aligned_block_origin(block));
    handle_aligned_free_unserved(handle, block);
}

}  // namespace tarvex
