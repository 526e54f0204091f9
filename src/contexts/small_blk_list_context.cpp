#include "contexts/small_blk_list_context.h"

#include <cstdlib>
#include <new>

#include "contexts/size_header.h"

namespace tarvex {

namespace {

// Fragment size and grow count of each pool, smallest class first.
constexpr uint8_t size_classes[SmallBlkListContext::pool_count][2] = {
    {8, 32}, {16, 32}, {32, 32}, {48, 16}, {64, 8}, {96, 8}, {128, 8},
};

constexpr uint32_t pool_alignment = 4;

}  // namespace

FragmentPool& SmallBlkListContext::pool(int index) {
    return *std::launder(reinterpret_cast<FragmentPool*>(pools[index]));
}

void SmallBlkListContext::init(const Tarvex::ContextBase& base) {
    MemContext::init(base);
    uint32_t next_size = 0;
    for (int i = 0; i < pool_count; ++i) {
        const uint32_t fragment = size_classes[i][0];
        FragmentPool* built = new (pools[i]) FragmentPool(
            0, fragment, size_classes[i][1], pool_alignment, tarvex_ids::library_context);
        if (next_size > fragment) continue;
        for (uint32_t n = next_size; n <= fragment; ++n) size_to_pool[n] = built;
        next_size = fragment + 1;
    }
}

void SmallBlkListContext::shutdown() {
    LockHolder hold(lock);
    for (int i = 0; i < pool_count; ++i) pool(i).~FragmentPool();
    MemContext::shutdown();
}

void SmallBlkListContext::run_gc() {
    LockHolder hold(lock);
    for (int i = 0; i < pool_count; ++i) pool(i).run_gc();
}

void* SmallBlkListContext::fast_alloc(uint32_t size) {
    if (size > largest_pooled) return std::malloc(size);
    LockHolder hold(lock);
    return size_to_pool[size]->pool_alloc(size);
}

void SmallBlkListContext::fast_free(void* block, uint32_t size) {
    if (size > largest_pooled) {
        std::free(block);
        return;
    }
    LockHolder hold(lock);
    size_to_pool[size]->pool_free(block);
}

void* SmallBlkListContext::std_alloc(uint32_t size) {
    uint32_t total;
    if (!total_with_header(size, total)) return nullptr;
    void* obtained;
    if (total > largest_pooled) {
        obtained = std::malloc(total);
    } else {
        LockHolder hold(lock);
        obtained = size_to_pool[total]->pool_alloc(total);
    }
    if (obtained == nullptr) return nullptr;
    return attach_size_header(obtained, total);
}

void SmallBlkListContext::std_free(void* block) {
    const uint32_t total = size_header_total(block);
    void* obtained = detach_size_header(block);
    if (total > largest_pooled) {
        std::free(obtained);
        return;
    }
    LockHolder hold(lock);
    size_to_pool[total]->pool_free(obtained);
}

uint32_t SmallBlkListContext::std_size(void* block) {
    return size_behind_header(block);
}

}  // namespace tarvex
