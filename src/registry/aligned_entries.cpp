// Aligned blocks: the pointer the context handed out is kept just below the
// aligned address, where aligned_free finds it again. A context may hand out
// a block at any address (grow-only pieces are packed, fragments sit behind a
// 4-byte header), so the aligned address can lie up to back pointer +
// alignment - 1 bytes past it, and the request covers that much.
#include <cstring>

#include "base/dispatch_slot.h"
#include "registry/default_entries.h"
#include "registry/registry.h"

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
