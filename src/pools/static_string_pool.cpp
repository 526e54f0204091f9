#include <cstring>

#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"

namespace {
// Shared by every pool for null and empty texts; never written.
const char empty_text[] = "";
}  // namespace

StaticStringPool::StaticStringPool(uint32_t initial_size, uint32_t block_size_,
                                   uint32_t context_id_)
    : BlkContainer(context_id_), block_size(block_size_), cursor(nullptr), remaining(0) {
    if (initial_size <= 16) return;
    cursor = static_cast<char*>(blk_alloc(initial_size));
    if (cursor == nullptr) return;
    remaining = initial_size;
    tarvex_memory::hide(cursor, remaining);
}

StaticStringPool::~StaticStringPool() {
    clear();
}

const char* StaticStringPool::str_add(const char* text) {
    if (text == nullptr || text[0] == '\0') return empty_text;
    const size_t length = std::strlen(text);
    if (length >= UINT32_MAX) return nullptr;
    const uint32_t needed = static_cast<uint32_t>(length) + 1;

    if (remaining < needed) {
        const uint32_t new_size = block_size > needed ? block_size : needed;
        char* block = static_cast<char*>(blk_alloc(new_size));
        if (block == nullptr) return nullptr;
        cursor = block;
        remaining = new_size;
        tarvex_memory::hide(cursor, remaining);
    }
    char* copy = cursor;
    tarvex_memory::handed_out(this, copy, needed);
    std::memcpy(copy, text, needed);
    cursor += needed;
    remaining -= needed;
    return copy;
}

void StaticStringPool::clear() {
    cursor = nullptr;
    remaining = 0;
    BlkContainer::clear();
}
