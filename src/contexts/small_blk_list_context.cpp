#include "contexts/small_blk_list_context.h"

#include <cstdlib>
#include <new>

namespace tarvex {

namespace {

// Fragment size and grow count of each pool, smallest class first.
constexpr uint8_t size_classes[7][2] = {
    {8, 32}, {16, 32}, {32, 32}, {48, 16}, {64, 8}, {96, 8}, {128, 8},
};

}  // namespace

template <typename Layout>
SmallBlkListContext<Layout>::SmallBlkListContext() {
    block_alignment = Layout::packed ? PackedLayout::fragment_alignment : Layout::cap;
}

template <typename Layout>
FragmentPool& SmallBlkListContext<Layout>::pool(int index) {
    return *std::launder(reinterpret_cast<FragmentPool*>(pools[index]));
}

template <typename Layout>
void SmallBlkListContext<Layout>::init(const Tarvex::ContextBase& base) {
    MemContext::init(base);
    uint32_t next_size = 0;
    for (int i = 0; i < pool_count; ++i) {
        const uint32_t fragment = size_classes[i][0];
        FragmentPool* built = new (pools[i])
            FragmentPool(0, fragment, size_classes[i][1], Layout::pool_alignment(fragment),
                         tarvex_ids::library_context);
        if (next_size > fragment) continue;
        for (uint32_t n = next_size; n <= fragment; ++n) size_to_pool[n] = built;
        next_size = fragment + 1;
    }
}

template <typename Layout>
void SmallBlkListContext<Layout>::shutdown() {
    LockHolder hold(lock);
    for (int i = 0; i < pool_count; ++i) pool(i).~FragmentPool();
    MemContext::shutdown();
}

template <typename Layout>
void SmallBlkListContext<Layout>::run_gc() {
    LockHolder hold(lock);
    for (int i = 0; i < pool_count; ++i) pool(i).run_gc();
}

template <typename Layout>
void* SmallBlkListContext<Layout>::fast_alloc(uint32_t size) {
    if (size > largest_pooled) return std::malloc(size);
    LockHolder hold(lock);
    return size_to_pool[size]->pool_alloc(size);
}

template <typename Layout>
void SmallBlkListContext<Layout>::fast_free(void* block, uint32_t size) {
    if (size > largest_pooled) {
        std::free(block);
        return;
    }
    LockHolder hold(lock);
    size_to_pool[size]->pool_free(block);
}

template <typename Layout>
void* SmallBlkListContext<Layout>::std_alloc(uint32_t size) {
    uint32_t total;
    if (!Header::total_for(size, total)) return nullptr;
    void* obtained;
    if (total > largest_pooled) {
        obtained = std::malloc(total);
    } else {
        LockHolder hold(lock);
        obtained = size_to_pool[total]->pool_alloc(total);
    }
    if (obtained == nullptr) return nullptr;
    return Header::attach(obtained, total);
}

template <typename Layout>
void SmallBlkListContext<Layout>::std_free(void* block) {
    const uint32_t total = Header::total_of(block);
    void* obtained = Header::detach(block, total);
    if (total > largest_pooled) {
        std::free(obtained);
        return;
    }
    LockHolder hold(lock);
    size_to_pool[total]->pool_free(obtained);
}

template <typename Layout>
uint32_t SmallBlkListContext<Layout>::std_size(void* block) {
    return Header::size_of(block);
}

template class SmallBlkListContext<PackedLayout>;
template class SmallBlkListContext<DefaultAlignedLayout>;

}  // namespace tarvex
