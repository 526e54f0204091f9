#include "contexts/grow_only_context.h"

#include <cstring>
#include <new>

namespace tarvex {

namespace {
constexpr uint32_t header_size = 4;
}  // namespace

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
    if (size > UINT32_MAX - header_size) return nullptr;
    const uint32_t total = size + header_size;
    char* obtained;
    {
        LockHolder hold(lock);
        obtained = static_cast<char*>(pool().pool_alloc(total));
    }
    if (obtained == nullptr) return nullptr;
    std::memcpy(obtained, &total, header_size);
    return obtained + header_size;
}

uint32_t GrowOnlyContext::std_size(void* block) {
    uint32_t total;
    std::memcpy(&total, static_cast<char*>(block) - header_size, header_size);
    return total - header_size;
}

}  // namespace tarvex
