#include <cstring>

#include "base/errors.h"
#include "tarvex/memory_annotations.h"
#include "tarvex/pools.h"

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
