#include "block.h"

#include <cstdlib>
#include <cstring>

namespace tarvex_classic {

BlockHeader* make_block(HandleRecord* handle, int32_t size) {
    const int32_t total = round_up_8(size) + block_overhead;
    // calloc rather than malloc and a fill: for a large block the heap can
    // hand out pages that are zero already instead of touching each one.
    void* memory = std::calloc(1, static_cast<size_t>(total));
    if (memory == nullptr) {
        return nullptr;
    }
    if (handle->logging) {
        std::fprintf(handle->log, "MemBlock Allocated, Address: %p BlkSize: %d\n", memory,
                     static_cast<int>(total));
    }
    auto* block = static_cast<BlockHeader*>(memory);
    std::memcpy(block->magic, "ZKTX", sizeof block->magic);
    block->total_size = total;
    block->free_bytes = total - static_cast<int32_t>(sizeof(BlockHeader));
    block->next_free = sizeof(BlockHeader);
    return block;
}

}  // namespace tarvex_classic
