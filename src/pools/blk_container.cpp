#include <cstring>

#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

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
    char* block = static_cast<char*>(
        Tarvex::std_alloc(size + static_cast<uint32_t>(sizeof(BlockNode)), context_id));
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
    Tarvex::std_free(start, context_id);
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
