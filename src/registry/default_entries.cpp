#include "registry/default_entries.h"

#include <cstring>

#include "base/dispatch_slot.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// Resolving and calling
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Aligned blocks
//
// Aligned blocks: the pointer the context handed out is kept just below the
// aligned address, where aligned_free finds it again. A context may hand out
// a block at any address (grow-only pieces are packed, fragments sit behind a
// 4-byte header), so the aligned address can lie up to back pointer +
// alignment - 1 bytes past it, and the request covers that much.
// ---------------------------------------------------------------------------

namespace tarvex {

namespace {

constexpr uint32_t back_pointer_size = sizeof(void*);

// An alignment that is not a power of two, or too small to leave room for
// the back pointer, is raised to the next power of two that is; 0 when no
// 32-bit power of two is large enough.
uint32_t usable_alignment(uint32_t requested) {
    uint32_t alignment = back_pointer_size;
    while (alignment < requested) {
        if (alignment > UINT32_MAX / 2) return 0;
        alignment *= 2;
    }
    return alignment;
}

}  // namespace

void* aligned_alloc_in(MemContext& context, uint32_t size, uint32_t requested_alignment) {
    const uint32_t alignment = usable_alignment(requested_alignment);
    if (alignment == 0) return nullptr;
    const uint32_t slack = alignment + (back_pointer_size - 1);
    if (slack < alignment || size > UINT32_MAX - slack) return nullptr;
    void* obtained = context.std_alloc(size + slack);
    if (obtained == nullptr) return nullptr;
    const uintptr_t mask = static_cast<uintptr_t>(alignment) - 1;
    const uintptr_t aligned =
        (reinterpret_cast<uintptr_t>(obtained) + back_pointer_size + mask) & ~mask;
    std::memcpy(reinterpret_cast<void*>(aligned - back_pointer_size), &obtained, sizeof(obtained));
    return reinterpret_cast<void*>(aligned);
}

void* aligned_block_origin(const void* block) {
    void* obtained = nullptr;
    std::memcpy(&obtained, static_cast<const char*>(block) - back_pointer_size, sizeof(obtained));
    return obtained;
}

void* default_aligned_alloc(uint32_t size, uint32_t alignment, uint32_t id) {
    MemContext* context = resolve_context(id);
    // Null: this call started the library, and goes through its table again.
    if (context == nullptr) return slot(Tarvex::my_func_table.aligned_alloc)(size, alignment, id);
    return aligned_alloc_in(*context, size, alignment);
}

void default_aligned_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    if (MemContext* context = resolve_context(id))
        return context->std_free(aligned_block_origin(block));
    slot(Tarvex::my_func_table.aligned_free)(block, id);
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The dispatch table
//
// Defined beside its default occupants, the lowest layer that reads it: an
// occupant that just started the library calls through it again.
// ---------------------------------------------------------------------------

using namespace tarvex;

Tarvex::FuncTable Tarvex::my_func_table = default_occupants;
