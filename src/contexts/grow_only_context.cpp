#include "contexts/grow_only_context.h"

#include <new>

namespace tarvex {

void* ArenaPool::carve(uint32_t size, uint32_t alignment) {
    const uint32_t padding =
        static_cast<uint32_t>(0 - reinterpret_cast<uintptr_t>(cursor)) & (alignment - 1);
    if (padding <= remaining) {
        // The padding stays hidden: it is never handed out.
        cursor += padding;
        remaining -= padding;
    } else {
        // No room even for the padding: the next piece starts a new block,
        // which the heap aligns.
        remaining = 0;
    }
    return pool_alloc(size);
}

template <typename Layout>
GrowOnlyContext<Layout>::GrowOnlyContext() {
    block_alignment = Layout::packed ? 1 : Layout::cap;
}

template <typename Layout>
ArenaPool& GrowOnlyContext<Layout>::pool() {
    return *std::launder(reinterpret_cast<ArenaPool*>(pool_storage));
}

template <typename Layout>
void GrowOnlyContext<Layout>::init(const Tarvex::ContextBase& base) {
    MemContext::init(base);
    const uint32_t quarter = size_hint / 4;
    new (pool_storage)
        ArenaPool(quarter > smallest_block ? quarter : smallest_block, tarvex_ids::library_context);
}

template <typename Layout>
void GrowOnlyContext<Layout>::shutdown() {
    LockHolder hold(lock);
    pool().~ArenaPool();
    MemContext::shutdown();
}

template <typename Layout>
void* GrowOnlyContext<Layout>::take(uint32_t size, uint32_t alignment) {
    if (Layout::packed) return pool().pool_alloc(size);
    return pool().carve(size, alignment);
}

template <typename Layout>
void* GrowOnlyContext<Layout>::fast_alloc(uint32_t size) {
    LockHolder hold(lock);
    return take(size, Layout::alignment_for(size));
}

template <typename Layout>
void* GrowOnlyContext<Layout>::std_alloc(uint32_t size) {
    uint32_t total;
    if (!Header::total_for(size, total)) return nullptr;
    void* obtained;
    {
        LockHolder hold(lock);
        obtained = take(total, Layout::alignment_for(size));
    }
    if (obtained == nullptr) return nullptr;
    return Header::attach(obtained, total);
}

template <typename Layout>
uint32_t GrowOnlyContext<Layout>::std_size(void* block) {
    return Header::size_of(block);
}

template class GrowOnlyContext<PackedLayout>;
template class GrowOnlyContext<DefaultAlignedLayout>;

}  // namespace tarvex
