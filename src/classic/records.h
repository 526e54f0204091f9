// The two records a handle is made of: the handle record the caller holds and
// the header at the start of every block. On 32-bit targets both have their
// fixed word layouts, which debuggers and memory dumps of the game rely on;
// on 64-bit the pointer words widen and every figure follows from sizeof.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tarvex_classic {

// Sizes are signed 32-bit throughout, as the callers pass them.
struct BlockHeader {
    BlockHeader* older;  // the block that was current before this one; null for the first
    int32_t reserved;
    int32_t total_size;  // the whole allocation, header included
    char magic[4];       // "ZKTX", for anyone reading a memory dump
    int32_t free_bytes;
    int32_t next_free;  // offset of the next free byte from the block's start
};

struct HandleRecord {
    int32_t record_length;  // sizeof(HandleRecord)
    char magic[4];          // "ZKMH", for anyone reading a memory dump
    BlockHeader* current;   // the newest block; pieces come from it
    int32_t reserved;
    int32_t block_size;  // the largest piece, a multiple of 8
    int32_t logging;     // 1 while the log is open
    FILE* log;
};

// Every piece starts with a word holding its length, the word included.
constexpr int32_t length_word_size = sizeof(int32_t);

// A block holds its header, then block size + 8 bytes: always room for one
// largest piece with its length word.
constexpr int32_t block_overhead = sizeof(BlockHeader) + 8;

// The largest value the rounding rule can take without overflowing.
constexpr int32_t largest_roundable = INT32_MAX - 7;

// The largest block size whose block total still fits a signed 32-bit size.
constexpr int32_t largest_block_size = (INT32_MAX - block_overhead) / 8 * 8;

// Rounds up to a multiple of 8 in signed 32-bit arithmetic.
// pre: 0 <= x <= largest_roundable
inline int32_t round_up_8(int32_t x) {
    return (x + 7) / 8 * 8;
}

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(HandleRecord) == 28, "the handle record is seven 32-bit words");
static_assert(offsetof(HandleRecord, magic) == 4 && offsetof(HandleRecord, current) == 8 &&
                  offsetof(HandleRecord, block_size) == 16 && offsetof(HandleRecord, log) == 24,
              "handle record words are in their documented order");
static_assert(sizeof(BlockHeader) == 24, "the block header is six 32-bit words");
static_assert(offsetof(BlockHeader, total_size) == 8 && offsetof(BlockHeader, magic) == 12 &&
                  offsetof(BlockHeader, next_free) == 20,
              "block header words are in their documented order");
static_assert(block_overhead == 32, "a block is block size + 32 bytes");
#endif

}  // namespace tarvex_classic
