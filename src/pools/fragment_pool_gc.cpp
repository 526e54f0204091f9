// The fragment pool's collection pass: find the blocks whose fragments are
// all free, give them back, and rebuild the block and free lists from what
// is left.
#include <algorithm>

#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace {

struct BlockTally {
    const void* node;     // the block's link record
    uint32_t free_count;  // free fragments found in the block
    uint32_t first_free;  // where they start in the sorted fragment array
};

uintptr_t address_of(const void* pointer) {
    return reinterpret_cast<uintptr_t>(pointer);
}

// Scratch memory comes from the library's own context: it never holds a
// pooled context, so the pass cannot re-enter the pool it is sorting, and it
// is never tracked.
template <typename T>
T* scratch(uint64_t count) {
    if (count * sizeof(T) > UINT32_MAX) return nullptr;
    return static_cast<T*>(
        Tarvex::std_alloc(static_cast<uint32_t>(count * sizeof(T)), tarvex_ids::library_context));
}

void release_scratch(void* block) {
    Tarvex::std_free(block, tarvex_ids::library_context);
}

}  // namespace

void FragmentPool::run_gc() {
    if (node_list == nullptr) return;

    uint32_t block_total = 0;
    uint64_t capacity = 0;
    for (const BlockNode* node = node_list; node != nullptr; node = next_of(node)) {
        ++block_total;
        capacity += fragments_in(node);
    }
    // A free list longer than the pool's capacity is corrupt (a fragment
    // given back twice closes it into a loop); reading no further keeps the
    // pass finite, and the rebuilt list holds each fragment once.
    uint64_t free_total = 0;
    for (void* fragment = free_list; fragment != nullptr && free_total < capacity;
         fragment = tarvex_memory::hidden_read<void*>(fragment)) {
        ++free_total;
    }
    // Without a free fragment no block can be released, and both lists stay.
    if (free_total == 0) return;

    BlockTally* tallies = scratch<BlockTally>(block_total);
    char** fragments = scratch<char*>(free_total);
    if (tallies == nullptr || fragments == nullptr) {
        release_scratch(tallies);
        release_scratch(fragments);
        return;
    }

    uint32_t b = 0;
    for (const BlockNode* node = node_list; node != nullptr; node = next_of(node)) {
        tallies[b++] = BlockTally{node, 0, 0};
    }
    char* fragment = static_cast<char*>(free_list);
    for (uint64_t f = 0; f < free_total; ++f) {
        fragments[f] = fragment;
        fragment = tarvex_memory::hidden_read<char*>(fragment);
    }
    std::sort(tallies, tallies + block_total, [](const BlockTally& a, const BlockTally& c) {
        return address_of(a.node) < address_of(c.node);
    });
    std::sort(fragments, fragments + free_total,
              [](const char* a, const char* c) { return address_of(a) < address_of(c); });

    // One sweep over both sorted arrays assigns each free fragment to its
    // block. Only addresses on a block's fragment grid count, and each once,
    // so a block is never taken for wholly free while a fragment of it is in
    // use; anything else on the list (a pointer the pool never handed out, a
    // fragment given back twice) is dropped. Kept fragments are compacted to
    // the front of the array.
    uint64_t read = 0;
    uint32_t kept = 0;
    const char* previous = nullptr;
    for (uint32_t t = 0; t < block_total; ++t) {
        const BlockNode* node = static_cast<const BlockNode*>(tallies[t].node);
        const uintptr_t first = (address_of(start_of(node)) + align_mask) & ~uintptr_t{align_mask};
        const uintptr_t end = first + uintptr_t{fragments_in(node)} * fragment_size;
        tallies[t].first_free = kept;
        while (read < free_total && address_of(fragments[read]) < end) {
            char* candidate = fragments[read++];
            const uintptr_t address = address_of(candidate);
            const bool on_grid = address >= first && (address - first) % fragment_size == 0;
            if (on_grid && candidate != previous) {
                fragments[kept++] = candidate;
                ++tallies[t].free_count;
            }
            previous = candidate;
        }
    }

    // Rebuild both lists, appending at their tails. A wholly free block is
    // released and the last tally takes its place.
    node_list = nullptr;
    free_list = nullptr;
    BlockNode* node_tail = nullptr;
    char* free_tail = nullptr;
    const auto link_node = [](BlockNode* node, BlockNode* next) {
        tarvex_memory::hidden_write(reinterpret_cast<char*>(node) + offsetof(BlockNode, next_node),
                                    next);
    };
    uint32_t m = 0;
    while (m < block_total) {
        BlockNode* node = static_cast<BlockNode*>(const_cast<void*>(tallies[m].node));
        if (tallies[m].free_count == fragments_in(node)) {
            free_blk(node);
            tallies[m] = tallies[--block_total];
            continue;
        }
        const uint32_t end = tallies[m].first_free + tallies[m].free_count;
        for (uint32_t f = tallies[m].first_free; f < end; ++f) {
            char* free_fragment = fragments[f];
            tarvex_memory::hidden_write<void*>(free_fragment, nullptr);
            if (free_tail == nullptr) {
                free_list = free_fragment;
            } else {
                tarvex_memory::hidden_write(free_tail, free_fragment);
            }
            free_tail = free_fragment;
        }
        link_node(node, nullptr);
        if (node_tail == nullptr) {
            node_list = node;
        } else {
            link_node(node_tail, node);
        }
        node_tail = node;
        ++m;
    }

    release_scratch(tallies);
    release_scratch(fragments);
}
