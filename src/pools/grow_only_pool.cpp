#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"

GrowOnlyPool::GrowOnlyPool(uint32_t block_size_, uint32_t context_id_)
    : BlkContainer(context_id_), cursor(nullptr), remaining(0), block_size(block_size_) {}

GrowOnlyPool::GrowOnlyPool(void* buffer, uint32_t buffer_size, uint32_t block_size_,
                           uint32_t context_id_)
    : BlkContainer(context_id_),
      cursor(static_cast<char*>(buffer)),
      remaining(buffer != nullptr ? buffer_size : 0),
      block_size(block_size_) {}

GrowOnlyPool::~GrowOnlyPool() {
    clear();
}

void* GrowOnlyPool::start_block(uint32_t size) {
    const uint32_t new_size = block_size > size ? block_size : size;
    char* block = static_cast<char*>(blk_alloc(new_size));
    // Without a block the current one stays: a later, smaller request may
    // still fit in it.
    if (block == nullptr) return nullptr;
    cursor = block + size;
    remaining = new_size - size;
    // The rest is hidden until it is handed out, piece by piece upward.
    tarvex_memory::hide(cursor, remaining);
    tarvex_memory::handed_out(this, block, size);
    return block;
}

void GrowOnlyPool::clear() {
    remaining = 0;
    cursor = nullptr;
    BlkContainer::clear();
}
