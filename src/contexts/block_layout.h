// How a pooled context lays out the blocks it hands out.
//
// The packed layout is the classic one of the 32-bit targets, which games
// and tools may rely on: a 4-byte size header in front of every std block,
// fragments on 4-byte boundaries, arena pieces back to back. An aligned
// layout gives every block of `size` bytes the alignment a C++ object of
// that size may need, the smaller of the cap and the largest power of two
// not above the size, so that pointers, doubles and vector types stored in
// it are aligned. Its header grows to that alignment, so the block behind it
// stays aligned; the header's last 4 bytes hold the total as before.
//
// Padding and headers are never usage: the statistics count the sizes the
// callers asked for.
#pragma once

#include <stdint.h>
#include <string.h>

#include "tarvex/memory_annotations.h"
#include "tarvex/tarvex.h"

namespace tarvex {

// ---------------------------------------------------------------------------
// The layouts
// ---------------------------------------------------------------------------

constexpr uint32_t size_field_bytes = 4;

// pre: value is not 0.
constexpr uint32_t floor_power_of_two(uint32_t value) {
    return 1u << (31 - __builtin_clz(value));
}

struct PackedLayout {
    static constexpr bool packed = true;
    static constexpr uint32_t cap = 0;
    // The alignment every block has, whatever its size.
    static constexpr uint32_t fragment_alignment = 4;
    static constexpr uint32_t alignment_for(uint32_t) { return 1; }
    static constexpr uint32_t header_for_size(uint32_t) { return size_field_bytes; }
    static constexpr uint32_t header_for_total(uint32_t) { return size_field_bytes; }
    static constexpr uint32_t pool_alignment(uint32_t) { return fragment_alignment; }
};

template <uint32_t Cap>
struct AlignedLayout {
    static_assert(Cap >= 8 && (Cap & (Cap - 1)) == 0, "the cap is a power of two from 8 up");
    static constexpr bool packed = false;
    static constexpr uint32_t cap = Cap;
    static constexpr uint32_t alignment_for(uint32_t size) {
        return size >= Cap ? Cap : floor_power_of_two(size | 1);
    }
    static constexpr uint32_t header_for_size(uint32_t size) {
        return alignment_for(size) > size_field_bytes ? alignment_for(size) : size_field_bytes;
    }
    // The header again from the total (size + header): sizes below 8 have
    // totals below 12, sizes of 8 to 15 totals of 16 to 23, and larger sizes
    // totals from 32 up, so the ranges never meet.
    static constexpr uint32_t header_for_total(uint32_t total) {
        const uint32_t header = total >= 32 ? 16 : total >= 16 ? 8 : size_field_bytes;
        return header < Cap ? header : Cap;
    }
    static constexpr uint32_t pool_alignment(uint32_t fragment) { return alignment_for(fragment); }
};

// On 64-bit targets every context hands out aligned blocks, 16 as the heap
// does; on 32-bit targets the flag asks for 8, the runtime heap's alignment
// there, and without it the packed layout stays.
constexpr bool wide_addresses = sizeof(void*) > 4;
using DefaultAlignedLayout = AlignedLayout<wide_addresses ? 16 : 8>;

inline bool wants_aligned_layout(uint16_t flags) {
    return wide_addresses || (flags & Tarvex::aligned_blocks) != 0;
}

// What the runtime heap guarantees for any block.
constexpr uint32_t heap_alignment = wide_addresses ? 16 : 8;

// ---------------------------------------------------------------------------
// The size header of std blocks
//
// std_alloc puts the block's total (the caller's size plus the header) in
// the 4 bytes just below the block it hands out; std_free and std_size read
// it back. The header is the library's: under valgrind it is sealed from the
// program between those calls.
// ---------------------------------------------------------------------------

template <typename Layout>
struct SizeHeader {
    // The total for a caller's size; false when it does not fit 32 bits, so
    // that a huge request never wraps past zero into a small size.
    static bool total_for(uint32_t size, uint32_t& total) {
        const uint32_t header = Layout::header_for_size(size);
        if (size > UINT32_MAX - header) return false;
        total = size + header;
        return true;
    }

    // Writes the header at the start of what the pool or heap returned; the
    // caller's block follows it. `header` is the layout's header for the
    // total, when the caller knows it already.
    static void* attach(void* obtained, uint32_t total, uint32_t header) {
        char* block = static_cast<char*>(obtained) + header;
        memcpy(block - size_field_bytes, &total, size_field_bytes);
        tarvex_memory::seal(block - size_field_bytes, size_field_bytes);
        return block;
    }
    static void* attach(void* obtained, uint32_t total) {
        return attach(obtained, total, Layout::header_for_total(total));
    }

    static uint32_t total_of(const void* block) {
        return tarvex_memory::sealed_read<uint32_t>(static_cast<const char*>(block) -
                                                    size_field_bytes);
    }

    // The size the caller asked for.
    static uint32_t size_of(const void* block) {
        const uint32_t total = total_of(block);
        return total - Layout::header_for_total(total);
    }

    // Where the block was obtained, its header unsealed for the pool or heap
    // it goes back to.
    static void* detach(void* block, uint32_t total) {
        return detach_header(block, Layout::header_for_total(total));
    }
    static void* detach_header(void* block, uint32_t header) {
        char* field = static_cast<char*>(block) - size_field_bytes;
        tarvex_memory::unseal(field, size_field_bytes);
        return static_cast<char*>(block) - header;
    }
};

}  // namespace tarvex
