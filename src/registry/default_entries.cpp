#include "registry/default_entries.h"

#include "base/dispatch_slot.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"

namespace tarvex {

namespace {
void* writable(const void* block) {
    return const_cast<void*>(block);
}
}  // namespace

// Each occupant below tries the last-used context inline and leaves the
// rest to an out-of-line twin, so that a hit, the path of every untracked
// call, needs no stack frame: one id comparison and the jump into the
// context. In the twin, a null context means the call itself just started
// the library, and it goes through the dispatch table again, as that start
// installed it (in tracking mode, the tracking variant).

namespace {

__attribute__((noinline)) void* std_alloc_resolving(uint32_t size, uint32_t id) {
    if (MemContext* context = resolve_context_slow(id)) return context->std_alloc(size);
    return slot(Tarvex::my_func_table.std_alloc)(size, id);
}

__attribute__((noinline)) void std_free_resolving(const void* block, uint32_t id) {
    if (MemContext* context = resolve_context_slow(id)) return context->std_free(writable(block));
    slot(Tarvex::my_func_table.std_free)(block, id);
}

__attribute__((noinline)) uint32_t std_size_resolving(const void* block, uint32_t id) {
    if (MemContext* context = resolve_context_slow(id)) return context->std_size(writable(block));
    return slot(Tarvex::my_func_table.std_size)(block, id);
}

__attribute__((noinline)) void* fast_alloc_resolving(uint32_t size, uint32_t id) {
    if (MemContext* context = resolve_context_slow(id)) return context->fast_alloc(size);
    return slot(Tarvex::my_func_table.fast_alloc)(size, id);
}

__attribute__((noinline)) void fast_free_resolving(const void* block, uint32_t size, uint32_t id) {
    if (MemContext* context = resolve_context_slow(id))
        return context->fast_free(writable(block), size);
    slot(Tarvex::my_func_table.fast_free)(block, size, id);
}

}  // namespace

void* default_std_alloc(uint32_t size, uint32_t id) {
    if (MemContext* context = cached_context(id)) return context->std_alloc(size);
    return std_alloc_resolving(size, id);
}

void default_std_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    if (MemContext* context = cached_context(id)) return context->std_free(writable(block));
    std_free_resolving(block, id);
}

uint32_t default_std_size(const void* block, uint32_t id) {
    if (block == nullptr) return 0;
    if (MemContext* context = cached_context(id)) return context->std_size(writable(block));
    return std_size_resolving(block, id);
}

void* default_fast_alloc(uint32_t size, uint32_t id) {
    if (MemContext* context = cached_context(id)) return context->fast_alloc(size);
    return fast_alloc_resolving(size, id);
}

void default_fast_free(const void* block, uint32_t size, uint32_t id) {
    if (block == nullptr) return;
    if (MemContext* context = cached_context(id)) return context->fast_free(writable(block), size);
    fast_free_resolving(block, size, id);
}

void default_mem_track_add(uint32_t, void*, uint32_t, const char*) {}
void default_mem_track_remove(uint32_t, void*) {}
void default_mem_track_set_info(uint32_t, void*, const char*) {}
void default_dbg_fill(void*, uint32_t) {}
uint32_t default_inc_counter(const char*, int32_t) {
    return 0;
}

}  // namespace tarvex
