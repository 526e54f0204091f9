#include "contexts/small_blk_list_context.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace tarvex {

namespace {

// Fragment size and grow count of each pool, smallest class first.
constexpr uint8_t size_classes[SmallBlkListContext::pool_count][2] = {
    {8, 32}, {16, 32}, {32, 32}, {48, 16}, {64, 8}, {96, 8}, {128, 8},
};

constexpr uint32_t header_size = 4;
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
    // A size whose header would wrap past zero must not land in a small class.
    if (size > UINT32_MAX - header_size) return nullptr;
    const uint32_t total = size + header_size;
    void* obtained;
    if (total > largest_pooled) {
        obtained = std::malloc(total);
    } else {
        LockHolder hold(lock);
        obtained = size_to_pool[total]->pool_alloc(total);
    }
    if (obtained == nullptr) return nullptr;
    std::memcpy(obtained, &total, header_size);
    return static_cast<char*>(obtained) + header_size;
}

void SmallBlkListContext::std_free(void* block) {
    char* obtained = static_cast<char*>(block) - header_size;
    uint32_t total;
    std::memcpy(&total, obtained, header_size);
    if (total > largest_pooled) {
        std::free(obtained);
        return;
    }
    LockHolder hold(lock);
    size_to_pool[total]->pool_free(obtained);
}

uint32_t SmallBlkListContext::std_size(void* block) {
    uint32_t total;
    std::memcpy(&total, static_cast<char*>(block) - header_size, header_size);
    return total - header_size;
}

}  // namespace tarvex
