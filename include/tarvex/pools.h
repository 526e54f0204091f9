// The allocator building blocks the library's contexts use, exported so that
// a game can use them directly.
//
// Lifetime rule: every block a pool obtains stays with the pool until the
// pool is cleared or destroyed (a fragment pool's collection pass may also
// give back blocks that hold no fragment in use). Pools have no lock of their
// own; the owner serialises calls. Under a memory checker the pools hide what
// they have not handed out (see memory_annotations.h).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "tarvex/export.h"
#include "tarvex/memory_annotations.h"

// The base of the three pools: obtains raw blocks from one memory context
// through Tarvex::std_alloc and keeps them on a list threaded through the
// blocks themselves. The link record of a block sits right after the bytes
// the pool asked for, unaligned when that count is odd, so nothing is
// allocated for bookkeeping.
class TARVEX_API BlkContainer {
protected:
    // The link record inside each block; written and read byte-wise, since
    // it may sit at any address.
    struct BlockNode {
        BlockNode* next_node;  // the block obtained just before this one
        void* block_start;     // the block as Tarvex::std_alloc returned it
    };
    static_assert(sizeof(BlockNode) == 2 * sizeof(void*), "the link record is two pointers");

    explicit BlkContainer(uint32_t context_id);
    ~BlkContainer();

    // A block of `size` usable bytes followed by its link record, linked at
    // the head of the list; null (and nothing changed) when the context has
    // no storage or the size with its record does not fit 32 bits.
    void* blk_alloc(uint32_t size);
    // Gives the block back; the caller has already unlinked it.
    void free_blk(BlockNode* node);
    // Gives back every block, newest first, and resets both totals.
    void clear();

    uint32_t blk_count() const { return block_count; }
    uint32_t mem_usage() const { return usage_total; }

    // The link record's fields, which may be unaligned; the record is the
    // pool's own and hidden from everyone else.
    static BlockNode* next_of(const BlockNode* node) {
        return tarvex_memory::hidden_read<BlockNode*>(reinterpret_cast<const char*>(node) +
                                                      offsetof(BlockNode, next_node));
    }
    static void* start_of(const BlockNode* node) {
        return tarvex_memory::hidden_read<void*>(reinterpret_cast<const char*>(node) +
                                                 offsetof(BlockNode, block_start));
    }

    uint32_t usage_total;  // sizes passed to blk_alloc since the last clear
    BlockNode* node_list;  // newest block's record; null when empty
    uint32_t block_count;  // blocks obtained since the last clear
    uint32_t context_id;   // supplies every block

    BlkContainer(const BlkContainer&) = delete;
    BlkContainer& operator=(const BlkContainer&) = delete;
};

// An arena: pieces are carved back to back from the current block, never
// taken back one by one, and all released together by clear or destruction.
class TARVEX_API GrowOnlyPool : public BlkContainer {
public:
    explicit GrowOnlyPool(uint32_t block_size = 1024, uint32_t context_id = 0);
    // The caller's buffer is carved first; it is never registered as a block
    // and never released. A null buffer counts as none.
    GrowOnlyPool(void* buffer, uint32_t buffer_size, uint32_t block_size, uint32_t context_id);
    ~GrowOnlyPool();

    // `size` bytes right after the previous piece, or from a new block of
    // max(block size, size) when fewer remain; null when no block can be
    // obtained, with the pool left as it was.
    void* pool_alloc(uint32_t size) {
        if (size > remaining) return start_block(size);
        char* piece = cursor;
        cursor += size;
        remaining -= size;
        tarvex_memory::handed_out(this, piece, size);
        return piece;
    }
    void pool_free(const void*) {}
    void clear();

protected:
    char* cursor;        // next free byte; null without a current block
    uint32_t remaining;  // bytes left after cursor
    uint32_t block_size;

private:
    void* start_block(uint32_t size);
};

// Fixed-size aligned fragments carved from blocks on demand and taken back in
// any order through an intrusive free list. Blocks leave only through run_gc
// (those whose fragments are all free), clear or destruction.
class TARVEX_API FragmentPool : public BlkContainer {
public:
    // Alignment: the next power of two from 4 up that is at least the one
    // asked for. Fragment size: at least a pointer, rounded up to the
    // alignment. A grow count of 0 is reported (error 1) and leaves a pool
    // that serves nothing beyond its initial block. An alignment above 2^31,
    // or a fragment size that rounds past 32 bits, is refused (error 0): the
    // pool serves nothing.
    FragmentPool(uint32_t initial_count, uint32_t fragment_size, uint32_t grow_count,
                 uint32_t alignment, uint32_t context_id);
    ~FragmentPool();

    // One fragment, whatever the size argument says; the pool grows by one
    // block of grow_count fragments when none is free. Null when it cannot.
    void* pool_alloc(uint32_t) {
        if (free_list == nullptr) {
            grow(grow_count);
            if (free_list == nullptr) return nullptr;
        }
        void* fragment = free_list;
        free_list = tarvex_memory::hidden_read<void*>(fragment);
        tarvex_memory::handed_out(this, fragment, fragment_size);
        ++in_use;
        return fragment;
    }
    // Puts the fragment at the head of the free list; null is ignored. The
    // link is written while the fragment is still the caller's, so a second
    // release of it is a write to hidden memory that a checker reports.
    void pool_free(const void* fragment) {
        if (fragment == nullptr) return;
        memcpy(const_cast<void*>(fragment), &free_list, sizeof(free_list));
        free_list = const_cast<void*>(fragment);
        --in_use;
        tarvex_memory::given_back(this, free_list, fragment_size);
    }
    // Releases every block whose fragments are all free; the free list is
    // rebuilt block by block in ascending address order.
    void run_gc();
    void clear();

protected:
    uint32_t fragment_size;
    uint32_t grow_count;
    uint32_t align_mask;  // alignment - 1
    int32_t in_use;       // fragments handed out and not returned
    void* free_list;      // each free fragment starts with the next one's address

    // Carves one block of `count` fragments onto the free list, highest
    // address at the head; carves nothing when the block cannot be had.
    void grow(uint32_t count);
    bool is_in_freelist(const void* pointer) const;
    // True when the pointer lies in one of the blocks, below its record; each
    // block is measured by the size it was obtained with.
    bool is_owner(const void* pointer) const;

    // How many fragments a block holds, from the size it was obtained with.
    uint32_t fragments_in(const BlockNode* node) const;

private:
    // The steps of run_gc.
    struct Collection;
};

// Copies of texts that live until the pool is cleared or destroyed, packed
// back to back without alignment or header.
class TARVEX_API StaticStringPool : public BlkContainer {
public:
    // An initial size above 16 obtains a first block of exactly that size.
    explicit StaticStringPool(uint32_t initial_size = 0, uint32_t block_size = 4096,
                              uint32_t context_id = 0x08c76f20u);
    ~StaticStringPool();

    // The pool's copy of the text; null and "" give one shared empty string
    // outside every pool; null when no block can be obtained.
    const char* str_add(const char* text);
    void str_remove(const char*) {}
    void clear();

protected:
    uint32_t block_size;
    char* cursor;  // where the next copy goes; null without a current block
    uint32_t remaining;
};

// One piece of memory from Tarvex::fast_alloc, remembered with the size and
// context it must be given back with.
class TARVEX_API MemBlk {
public:
    MemBlk();
    MemBlk(uint32_t size, uint32_t context_id);
    ~MemBlk();

    // Gives back what is held, then obtains `size` bytes from the context
    // (nothing for size 0).
    void alloc(uint32_t size, uint32_t context_id);
    // Gives back what is held and empties the block; an empty block keeps
    // its size and context id.
    void clear();
    uint32_t size() const { return byte_size; }
    // The storage held, or null.
    void* data() const { return data_ptr; }
    // Attaches an info text to the allocation's tracking entry.
    void set_info(const char* text);
    void swap(MemBlk& other);

    MemBlk(const MemBlk&) = delete;
    MemBlk& operator=(const MemBlk&) = delete;

private:
    void* data_ptr;
    uint32_t byte_size;
    uint32_t context_id;
};

#if UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(BlkContainer) == 16, "BlkContainer is four 32-bit fields");
static_assert(sizeof(GrowOnlyPool) == 28, "GrowOnlyPool adds three 32-bit fields");
static_assert(sizeof(FragmentPool) == 36, "FragmentPool adds five 32-bit fields");
static_assert(sizeof(StaticStringPool) == 28, "StaticStringPool adds three 32-bit fields");
static_assert(sizeof(MemBlk) == 12, "MemBlk is three 32-bit fields");
#endif
