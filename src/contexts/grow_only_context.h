// An arena context: blocks are carved back to back from one grow-only pool,
// releases do nothing, and everything goes back at once: at shutdown, at a
// reset, or back to a mark taken earlier.
#pragma once

#include "contexts/block_layout.h"
#include "contexts/mem_context.h"
#include "tarvex/pools.h"

namespace tarvex {

// ---------------------------------------------------------------------------
// The arena's pool
//
// The exported grow-only pool, which packs its pieces, with what an arena
// context adds: an aligned carve for the aligned layouts, and a way back to
// an earlier position. A position is the newest block and the cursor in it;
// rewinding to it gives back every block obtained since and hands the rest
// of its block out again. A reset rewinds to the very start but keeps the
// first block, so that a frame arena obtains nothing after its first frame.
// The owner serialises every call (the context's lock).
// ---------------------------------------------------------------------------

class ArenaPool : public GrowOnlyPool {
public:
    struct Position {
        const BlockNode* block;  // the newest block then; null before the first
        char* cursor;
        uint32_t remaining;
    };

    // A mark: a position with the allocation id of that moment, under a
    // token that no other mark of any arena has.
    struct Mark {
        uint32_t token;
        uint32_t alloc_id;
        Position position;
    };
    static constexpr uint32_t most_marks = 32;

    using GrowOnlyPool::GrowOnlyPool;

    // `size` bytes at the next multiple of `alignment` (a power of two no
    // larger than the heap's), from a new block when the current one has no
    // room; null when no block can be had.
    void* carve(uint32_t size, uint32_t alignment);
    // The same from the current block only, without a call: null when it has
    // no room (or there is none yet), and the pool is left as it was.
    void* bump(uint32_t size, uint32_t alignment) {
        const uint32_t padding =
            static_cast<uint32_t>(0 - reinterpret_cast<uintptr_t>(cursor)) & (alignment - 1);
        if (cursor == nullptr || size > remaining || padding > remaining - size) return nullptr;
        char* piece = cursor + padding;
        cursor = piece + size;
        remaining -= padding + size;
        tarvex_memory::handed_out(this, piece, size);
        return piece;
    }

    // The memory a rewind to the mark (null: a reset) would give back, as
    // address ranges from begin to end, each visited once.
    template <typename Visit>
    void for_each_range_after(const Mark* mark, Visit&& visit) const;

    // A new mark at the current position; null when most_marks are held.
    const Mark* push_mark(uint32_t alloc_id);
    // The mark with this token, or null: a token of another arena, of one
    // taken before a reset, or of one ended by a release to it or to an
    // older mark.
    const Mark* find_mark(uint32_t token) const;
    // Gives back everything after the mark and ends it, with the marks taken
    // after it: the marks are a stack, so a mark per frame never piles up.
    void release_to(const Mark& mark);
    // Gives back everything, keeps the first block, drops every mark.
    void reset();

private:
    void rewind(const Position& to);
    static uint32_t block_size(const BlockNode* node);

    Mark marks_[most_marks];
    uint32_t mark_count_ = 0;
};

template <typename Visit>
void ArenaPool::for_each_range_after(const Mark* mark, Visit&& visit) const {
    const BlockNode* stop = mark != nullptr ? mark->position.block : nullptr;
    for (const BlockNode* node = node_list; node != nullptr && node != stop; node = next_of(node)) {
        const char* start = static_cast<const char*>(start_of(node));
        visit(start, start + block_size(node));
    }
    if (mark != nullptr && mark->position.cursor != nullptr)
        visit(mark->position.cursor, mark->position.cursor + mark->position.remaining);
}

// ---------------------------------------------------------------------------
// The context
// ---------------------------------------------------------------------------

template <typename Layout, Sharing S>
class GrowOnlyContext final : public MemContext {
public:
    // The pool's blocks: a quarter of the size hint, never under this.
    static constexpr uint32_t smallest_block = 4096;
    // Sizes whose total with the header cannot pass 32 bits; larger ones are
    // checked on the way to a new block.
    static constexpr uint32_t largest_bump = UINT32_MAX / 2;

    GrowOnlyContext();

    void init(const Tarvex::ContextBase& base) override;
    void shutdown() override;
    void* fast_alloc(uint32_t size) override;
    void fast_free(void*, uint32_t) override {}
    // The block carries a size header: the caller's size plus the header.
    void* std_alloc(uint32_t size) override;
    void std_free(void*) override {}
    uint32_t std_size(void* block) override;

private:
    using Header = SizeHeader<Layout>;

    ArenaPool& pool();
    // pre: the context lock is held.
    void* take(uint32_t size, uint32_t alignment);
    // std_alloc when the current block has no room: a new block, or none.
    __attribute__((noinline)) void* std_alloc_carving(uint32_t size);

    // Built by init and destroyed by shutdown.
    alignas(ArenaPool) unsigned char pool_storage[sizeof(ArenaPool)];
};

extern template class GrowOnlyContext<PackedLayout, Sharing::one_thread>;
extern template class GrowOnlyContext<PackedLayout, Sharing::locked>;
extern template class GrowOnlyContext<DefaultAlignedLayout, Sharing::one_thread>;
extern template class GrowOnlyContext<DefaultAlignedLayout, Sharing::locked>;

}  // namespace tarvex
