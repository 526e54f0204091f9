// The 4-byte size header of the pooled contexts: std_alloc puts the block's
// total size (the caller's size plus the header) in front of the block it
// hands out, and std_free and std_size read it back. The header is the
// library's: under valgrind it is sealed from the program between those calls.
#pragma once

#include <stdint.h>
#include <string.h>

#include "tarvex/memory_annotations.h"

namespace tarvex {

constexpr uint32_t size_header_bytes = 4;

// The total for a caller's size; false when it does not fit 32 bits, so that
// a huge request never wraps past zero into a small size.
inline bool total_with_header(uint32_t size, uint32_t& total) {
    if (size > UINT32_MAX - size_header_bytes) return false;
    total = size + size_header_bytes;
    return true;
}

// Writes the header at the start of what the pool or heap returned; the
// caller's block follows it.
inline void* attach_size_header(void* obtained, uint32_t total) {
    memcpy(obtained, &total, size_header_bytes);
    tarvex_memory::seal(obtained, size_header_bytes);
    return static_cast<char*>(obtained) + size_header_bytes;
}

// The total stored in front of a block.
inline uint32_t size_header_total(const void* block) {
    return tarvex_memory::sealed_read<uint32_t>(static_cast<const char*>(block) -
                                                size_header_bytes);
}

// The size the caller asked for.
inline uint32_t size_behind_header(const void* block) {
    return size_header_total(block) - size_header_bytes;
}

// Where the block was obtained, its header unsealed for the pool or heap it
// goes back to.
inline void* detach_size_header(void* block) {
    char* obtained = static_cast<char*>(block) - size_header_bytes;
    tarvex_memory::unseal(obtained, size_header_bytes);
    return obtained;
}

}  // namespace tarvex
