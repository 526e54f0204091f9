// The fragment pool: fixed-size fragments carved from blocks on demand and
// taken back through a free list, and its collection pass, which gives back
// the blocks whose fragments are all free.
#include <algorithm>
#include <cstring>

#include "base/errors.h"
#include "pools/entry_points.h"
#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"
#include "tarvex/tarvex.h"

namespace {

// A free fragment holds the next one's address, so it is at least a pointer
// wide; the alignment starts at 4 on every target, since the link is copied
// byte-wise and needs none.
constexpr uint32_t smallest_alignment = 4;
constexpr uint32_t smallest_fragment = sizeof(void*) > 4 ? sizeof(void*) : 4;
constexpr uint32_t largest_alignment = 0x80000000u;

}  // namespace

FragmentPool::FragmentPool(uint32_t initial_count, uint32_t requested_size, uint32_t grow_count_,
                           uint32_t requested_alignment, uint32_t context_id_)
    : BlkContainer(context_id_),
      fragment_size(0),
      grow_count(grow_count_),
      align_mask(smallest_alignment - 1),
      in_use(0),
      free_list(nullptr) {
    // An alignment above 2^31 has no 32-bit power of two to double into, and
    // a fragment size that rounds past 32 bits has no fragment: such a pool
    // is refused with error 0, keeps no grow count and serves nothing.
    if (requested_alignment > largest_alignment) {
        report_error(tarvex::error_block_exceeds_limits);
        grow_count = 0;
        return;
    }
    uint32_t alignment = smallest_alignment;
    while (alignment < requested_alignment) alignment <<= 1;
    align_mask = alignment - 1;

    const uint64_t size = requested_size > smallest_fragment ? requested_size : smallest_fragment;
    const uint64_t rounded = (size + align_mask) & ~static_cast<uint64_t>(align_mask);
    if (rounded > UINT32_MAX) {
        report_error(tarvex::error_block_exceeds_limits);
        grow_count = 0;
        return;
    }
    fragment_size = static_cast<uint32_t>(rounded);

    if (grow_count == 0) report_error(tarvex::error_invalid_grow_count);
    if (initial_count != 0) grow(initial_count);
}

FragmentPool::~FragmentPool() {
    clear();
}

void FragmentPool::grow(uint32_t count) {
    const uint64_t bytes = static_cast<uint64_t>(count) * fragment_size + align_mask;
    if (count == 0 || fragment_size == 0 || bytes > UINT32_MAX) return;
    char* block = static_cast<char*>(blk_alloc(static_cast<uint32_t>(bytes)));
    if (block == nullptr) return;

    const uintptr_t first =
        (reinterpret_cast<uintptr_t>(block) + align_mask) & ~uintptr_t{align_mask};
    char* fragment = block + (first - reinterpret_cast<uintptr_t>(block));
    for (uint32_t k = 0; k < count; ++k, fragment += fragment_size) {
        std::memcpy(fragment, &free_list, sizeof(free_list));
        free_list = fragment;
    }
    // Every fragment is free, and the slack on either side is never handed
    // out: a write one byte past the highest fragment lands in hidden memory.
    tarvex_memory::hide(block, static_cast<uint32_t>(bytes));
}

void FragmentPool::clear() {
    in_use = 0;
    free_list = nullptr;
    BlkContainer::clear();
}

bool FragmentPool::is_in_freelist(const void* pointer) const {
    for (void* fragment = free_list; fragment != nullptr;) {
        if (fragment == pointer) return true;
        fragment = tarvex_memory::hidden_read<void*>(fragment);
    }
    return false;
}

// Each block is measured by the size it was obtained with, which its record's
// position tells (the record follows the requested bytes), so a first block
// of another count than grow_count is measured right at no cost.
uint32_t FragmentPool::fragments_in(const BlockNode* node) const {
    const uintptr_t requested =
        reinterpret_cast<uintptr_t>(node) - reinterpret_cast<uintptr_t>(start_of(node));
    return static_cast<uint32_t>((requested - align_mask) / fragment_size);
}

bool FragmentPool::is_owner(const void* pointer) const {
    const uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
    for (const BlockNode* node = node_list; node != nullptr; node = next_of(node)) {
        if (reinterpret_cast<uintptr_t>(start_of(node)) <= address &&
            address < reinterpret_cast<uintptr_t>(node)) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// The collection pass
//
// The fragment pool's collection pass: find the blocks whose fragments are
// all free, give them back, and rebuild the block and free lists from what
// is left.
// ---------------------------------------------------------------------------

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
    return static_cast<T*>(tarvex::pool_entry_points.std_alloc(
        static_cast<uint32_t>(count * sizeof(T)), tarvex_ids::library_context));
}

void release_scratch(void* block) {
    tarvex::pool_entry_points.std_free(block, tarvex_ids::library_context);
}

}  // namespace

// The pass's state and its steps, in the order run_gc takes them. Scratch
// arrays hold the blocks' tallies and the free fragments, each sorted by
// address, so that one sweep over both assigns every free fragment to its
// block.
struct FragmentPool::Collection {
    FragmentPool& pool;
    uint32_t block_total = 0;
    uint64_t free_total = 0;
    BlockTally* tallies = nullptr;
    char** fragments = nullptr;

    explicit Collection(FragmentPool& pool_) : pool(pool_) {}
    ~Collection() {
        release_scratch(tallies);
        release_scratch(fragments);
    }

    // Counts the blocks and the free fragments. A free list longer than the
    // pool's capacity is corrupt (a fragment given back twice closes it into
    // a loop); reading no further keeps the pass finite, and the rebuilt
    // list holds each fragment once.
    void count() {
        uint64_t capacity = 0;
        for (const BlockNode* node = pool.node_list; node != nullptr; node = next_of(node)) {
            ++block_total;
            capacity += pool.fragments_in(node);
        }
        for (void* fragment = pool.free_list; fragment != nullptr && free_total < capacity;
             fragment = tarvex_memory::hidden_read<void*>(fragment)) {
            ++free_total;
        }
    }

    // Both arrays, filled and sorted by address; false without scratch.
    bool gather() {
        tallies = scratch<BlockTally>(block_total);
        fragments = scratch<char*>(free_total);
        if (tallies == nullptr || fragments == nullptr) return false;
        uint32_t b = 0;
        for (const BlockNode* node = pool.node_list; node != nullptr; node = next_of(node)) {
            tallies[b++] = BlockTally{node, 0, 0};
        }
        char* fragment = static_cast<char*>(pool.free_list);
        for (uint64_t f = 0; f < free_total; ++f) {
            fragments[f] = fragment;
            fragment = tarvex_memory::hidden_read<char*>(fragment);
        }
        std::sort(tallies, tallies + block_total, [](const BlockTally& a, const BlockTally& c) {
            return address_of(a.node) < address_of(c.node);
        });
        std::sort(fragments, fragments + free_total,
                  [](const char* a, const char* c) { return address_of(a) < address_of(c); });
        return true;
    }

    // Assigns each free fragment to its block. Only addresses on a block's
    // fragment grid count, and each once, so a block is never taken for
    // wholly free while a fragment of it is in use; anything else on the
    // list (a pointer the pool never handed out, a fragment given back
    // twice) is dropped. Kept fragments are compacted to the front.
    void assign() {
        uint64_t read = 0;
        uint32_t kept = 0;
        const char* previous = nullptr;
        for (uint32_t t = 0; t < block_total; ++t) {
            const BlockNode* node = static_cast<const BlockNode*>(tallies[t].node);
            const uintptr_t first =
                (address_of(start_of(node)) + pool.align_mask) & ~uintptr_t{pool.align_mask};
            const uintptr_t end = first + uintptr_t{pool.fragments_in(node)} * pool.fragment_size;
            tallies[t].first_free = kept;
            while (read < free_total && address_of(fragments[read]) < end) {
                char* candidate = fragments[read++];
                const uintptr_t address = address_of(candidate);
                const bool on_grid =
                    address >= first && (address - first) % pool.fragment_size == 0;
                if (on_grid && candidate != previous) {
                    fragments[kept++] = candidate;
                    ++tallies[t].free_count;
                }
                previous = candidate;
            }
        }
    }

    // Rebuilds both lists, appending at their tails. A wholly free block is
    // released and the last tally takes its place.
    void rebuild() {
        pool.node_list = nullptr;
        pool.free_list = nullptr;
        BlockNode* node_tail = nullptr;
        char* free_tail = nullptr;
        uint32_t m = 0;
        while (m < block_total) {
            BlockNode* node = static_cast<BlockNode*>(const_cast<void*>(tallies[m].node));
            if (tallies[m].free_count == pool.fragments_in(node)) {
                pool.free_blk(node);
                tallies[m] = tallies[--block_total];
                continue;
            }
            const uint32_t end = tallies[m].first_free + tallies[m].free_count;
            for (uint32_t f = tallies[m].first_free; f < end; ++f) {
                char* free_fragment = fragments[f];
                tarvex_memory::hidden_write<void*>(free_fragment, nullptr);
                if (free_tail == nullptr) {
                    pool.free_list = free_fragment;
                } else {
                    tarvex_memory::hidden_write(free_tail, free_fragment);
                }
                free_tail = free_fragment;
            }
            link(node, nullptr);
            if (node_tail == nullptr) {
                pool.node_list = node;
            } else {
                link(node_tail, node);
            }
            node_tail = node;
            ++m;
        }
    }

    static void link(BlockNode* node, BlockNode* next) {
        tarvex_memory::hidden_write(reinterpret_cast<char*>(node) + offsetof(BlockNode, next_node),
                                    next);
    }
};

void FragmentPool::run_gc() {
    if (node_list == nullptr) return;
    Collection pass(*this);
    pass.count();
    // Without a free fragment no block can be released, and both lists stay.
    if (pass.free_total == 0 || !pass.gather()) return;
    pass.assign();
    pass.rebuild();
}
