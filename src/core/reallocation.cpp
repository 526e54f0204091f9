// Reallocation and the plain heap-shaped exports. Everything goes through
// the dispatch table, so in tracking mode a moved block is one tracked
// allocation and one tracked release.
#include <cstring>

#include "base/dispatch_slot.h"
#include "tarvex/tarvex.h"

using tarvex::slot;

namespace {

// Grow only by moving; shrink by moving only a block above 256 bytes that
// would otherwise stay more than half as large again as needed.
bool keeps_block(uint32_t old_size, uint32_t new_size) {
    if (old_size < new_size) return false;
    return new_size <= 256 || (new_size * 3) / 2 >= old_size;
}

}  // namespace

void* Tarvex::std_realloc(const void* block, uint32_t new_size, uint32_t id) {
    if (block == nullptr) return nullptr;
    const uint32_t old_size = slot(my_func_table.std_size)(block, id);
    if (keeps_block(old_size, new_size)) return const_cast<void*>(block);
    void* moved = slot(my_func_table.std_alloc)(new_size, id);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, block, old_size < new_size ? old_size : new_size);
    slot(my_func_table.std_free)(block, id);
    return moved;
}

void* tarvex_malloc(uint32_t size) {
    return slot(Tarvex::my_func_table.std_alloc)(size, 0);
}

void tarvex_free(void* block) {
    slot(Tarvex::my_func_table.std_free)(block, 0);
}

void* tarvex_calloc(uint32_t count, uint32_t size) {
    const uint64_t total = static_cast<uint64_t>(count) * size;
    if (total > UINT32_MAX) return nullptr;
    void* block = slot(Tarvex::my_func_table.std_alloc)(static_cast<uint32_t>(total), 0);
    if (block != nullptr) std::memset(block, 0, static_cast<size_t>(total));
    return block;
}

void* tarvex_realloc(void* block, uint32_t new_size) {
    return Tarvex::std_realloc(block, new_size, 0);
}
