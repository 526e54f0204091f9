// Aligned blocks: the context hands out size + alignment bytes, and the
// pointer it handed out is kept just below the aligned address, where
// aligned_free finds it again.
#include <cstring>

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

void* default_aligned_alloc(uint32_t size, uint32_t requested_alignment, uint32_t id) {
    MemContext* context = resolve_context(id);
    const uint32_t alignment = usable_alignment(requested_alignment);
    if (alignment == 0 || size > UINT32_MAX - alignment) return nullptr;
    void* obtained = context->std_alloc(size + alignment);
    if (obtained == nullptr) return nullptr;
    const uintptr_t mask = static_cast<uintptr_t>(alignment) - 1;
    const uintptr_t aligned =
        (reinterpret_cast<uintptr_t>(obtained) + back_pointer_size + mask) & ~mask;
    std::memcpy(reinterpret_cast<void*>(aligned - back_pointer_size), &obtained, sizeof(obtained));
    return reinterpret_cast<void*>(aligned);
}

void default_aligned_free(const void* block, uint32_t id) {
    if (block == nullptr) return;
    void* obtained = nullptr;
    std::memcpy(&obtained, static_cast<const char*>(block) - back_pointer_size, sizeof(obtained));
    resolve_context(id)->std_free(obtained);
}

}  // namespace tarvex
