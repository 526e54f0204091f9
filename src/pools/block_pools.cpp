// The block container and the pools that carve pieces from its blocks back
// to back: the grow-only pool and the static string pool; and the memory
// block, one piece remembered with its size and context.
#include <cstring>

#include "pools/entry_points.h"
#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

// ---------------------------------------------------------------------------
// The block container
// ---------------------------------------------------------------------------

BlkContainer::BlkContainer(uint32_t context_id_)
    : usage_total(0), node_list(nullptr), block_count(0), context_id(context_id_) {
    tarvex_memory::pool_opened(this);
}

BlkContainer::~BlkContainer() {
    clear();
    tarvex_memory::pool_closed(this);
}

void* BlkContainer::blk_alloc(uint32_t size) {
    // The pools count on a block or on null, never on a block shorter than
    // they asked for.
    if (size > UINT32_MAX - sizeof(BlockNode)) return nullptr;
    char* block = static_cast<char*>(tarvex::pool_entry_points.std_alloc(
        size + static_cast<uint32_t>(sizeof(BlockNode)), context_id));
    if (block == nullptr) return nullptr;

    BlockNode node = {node_list, block};
    std::memcpy(block + size, &node, sizeof(node));
    // Hidden before the pool hides the bytes below it: a checker's granule
    // shared by both then ends up hidden whole.
    tarvex_memory::hide(block + size, sizeof(node));
    tarvex_memory::obtained(block);
    node_list = reinterpret_cast<BlockNode*>(block + size);
    usage_total += size;
    ++block_count;
    return block;
}

void BlkContainer::free_blk(BlockNode* node) {
    char* start = static_cast<char*>(start_of(node));
    tarvex_memory::released(start, reinterpret_cast<char*>(node) + sizeof(BlockNode) - start);
    tarvex::pool_entry_points.std_free(start, context_id);
}

void BlkContainer::clear() {
    // Pieces still handed out go with their blocks.
    tarvex_memory::pieces_forgotten(this);
    while (BlockNode* node = node_list) {
        // The record lives inside the block: read the link before releasing.
        node_list = next_of(node);
        free_blk(node);
    }
    usage_total = 0;
    block_count = 0;
}

// ---------------------------------------------------------------------------
// The grow-only pool
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// The static string pool
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// The memory block
// ---------------------------------------------------------------------------

MemBlk::MemBlk() : data_ptr(nullptr), byte_size(0), context_id(0) {}

MemBlk::MemBlk(uint32_t size, uint32_t context_id_)
    : data_ptr(nullptr), byte_size(size), context_id(context_id_) {
    if (size != 0) data_ptr = tarvex::pool_entry_points.fast_alloc(size, context_id);
}

MemBlk::~MemBlk() {
    clear();
}

void MemBlk::alloc(uint32_t size, uint32_t context_id_) {
    if (data_ptr != nullptr) tarvex::pool_entry_points.fast_free(data_ptr, byte_size, context_id);
    data_ptr = nullptr;
    byte_size = size;
    context_id = context_id_;
    if (size != 0) data_ptr = tarvex::pool_entry_points.fast_alloc(size, context_id);
}

void MemBlk::clear() {
    if (data_ptr == nullptr) return;
    tarvex::pool_entry_points.fast_free(data_ptr, byte_size, context_id);
    data_ptr = nullptr;
    byte_size = 0;
    context_id = 0;
}

void MemBlk::set_info(const char* text) {
    tarvex::pool_entry_points.mem_track_set_info(context_id, data_ptr, text);
}

void MemBlk::swap(MemBlk& other) {
    if (&other == this) return;
    void* const data = data_ptr;
    const uint32_t size = byte_size;
    const uint32_t id = context_id;
    data_ptr = other.data_ptr;
    byte_size = other.byte_size;
    context_id = other.context_id;
    other.data_ptr = data;
    other.byte_size = size;
    other.context_id = id;
}
