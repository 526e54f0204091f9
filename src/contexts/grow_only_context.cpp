#include "contexts/grow_only_context.h"

#include <new>

#include "contexts/size_header.h"

namespace tarvex {

GrowOnlyPool& GrowOnlyContext::pool() {
    return *std::launder(reinterpret_cast<GrowOnlyPool*>(pool_storage));
}

void GrowOnlyContext::init(const Tarvex::ContextBase& base) {
    MemContext::init(base);
    const uint32_t quarter = size_hint / 4;
    new (pool_storage) GrowOnlyPool(quarter > smallest_block ? quarter : smallest_block,
                                    tarvex_ids::library_context);
}

void GrowOnlyContext::shutdown() {
    LockHolder hold(lock);
    pool().~GrowOnlyPool();
    MemContext::shutdown();
}

void* GrowOnlyContext::fast_alloc(uint32_t size) {
    LockHolder hold(lock);
    return pool().pool_alloc(size);
}

void* GrowOnlyContext::std_alloc(uint32_t size) {
    uint32_t total;
    if (!total_with_header(size, total)) return nullptr;
    void* obtained;
    {
        LockHolder hold(lock);
        obtained = pool().pool_alloc(total);
    }
    if (obtained == nullptr) return nullptr;
    return attach_size_header(obtained, total);
}

uint32_t GrowOnlyContext::std_size(void* block) {
    return size_behind_header(block);
}

}  // namespace tarvex
