#include "contexts/grow_only_context.h"

#include <atomic>
#include <new>

namespace tarvex {

// ---------------------------------------------------------------------------
// The arena's pool
// ---------------------------------------------------------------------------

namespace {

// Tokens are unique across every arena of the process, so that a mark given
// to another arena is never taken for one of its own; 0 is never one.
std::atomic<uint32_t> last_mark_token{0};

uint32_t next_mark_token() {
    uint32_t token;
    do {
        token = last_mark_token.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (token == 0);
    return token;
}

}  // namespace

void* ArenaPool::carve(uint32_t size, uint32_t alignment) {
    const uint32_t padding =
        static_cast<uint32_t>(0 - reinterpret_cast<uintptr_t>(cursor)) & (alignment - 1);
    if (padding <= remaining) {
        // The padding stays hidden: it is never handed out.
        cursor += padding;
        remaining -= padding;
    } else {
        // No room even for the padding: the next piece starts a new block,
        // which the heap aligns.
        remaining = 0;
    }
    return pool_alloc(size);
}

uint32_t ArenaPool::block_size(const BlockNode* node) {
    // The record follows the bytes the block was obtained with.
    return static_cast<uint32_t>(reinterpret_cast<const char*>(node) -
                                 static_cast<const char*>(start_of(node)));
}

const ArenaPool::Mark* ArenaPool::push_mark(uint32_t alloc_id) {
    if (mark_count_ == most_marks) return nullptr;
    Mark& mark = marks_[mark_count_++];
    mark = Mark{next_mark_token(), alloc_id, Position{node_list, cursor, remaining}};
    return &mark;
}

const ArenaPool::Mark* ArenaPool::find_mark(uint32_t token) const {
    if (token == 0) return nullptr;
    for (uint32_t i = 0; i < mark_count_; ++i) {
        if (marks_[i].token == token) return &marks_[i];
    }
    return nullptr;
}

void ArenaPool::release_to(const Mark& mark) {
    // The position is copied first: the mark's slot is free from here on.
    const Position position = mark.position;
    mark_count_ = static_cast<uint32_t>(&mark - marks_);
    rewind(position);
}

void ArenaPool::reset() {
    mark_count_ = 0;
    rewind(Position{nullptr, nullptr, 0});
}

void ArenaPool::rewind(const Position& to) {
    // Every block newer than the position's goes back; a reset keeps the
    // oldest one.
    while (node_list != nullptr && node_list != to.block) {
        BlockNode* newest = node_list;
        if (to.block == nullptr && next_of(newest) == nullptr) break;
        node_list = next_of(newest);
        --block_count;
        usage_total -= block_size(newest);
        free_blk(newest);
    }
    // What stays handed out, and what is handed out again.
    tarvex_memory::pieces_forgotten(this);
    for (const BlockNode* node = node_list; node != nullptr; node = next_of(node)) {
        char* start = static_cast<char*>(start_of(node));
        const bool rewound_block = node == node_list;
        const char* end = rewound_block && to.block != nullptr ? to.cursor : start;
        if (!rewound_block) end = start + block_size(node);
        tarvex_memory::still_in_use(start, static_cast<size_t>(end - start));
    }
    if (to.block != nullptr) {
        cursor = to.cursor;
        remaining = to.remaining;
    } else if (node_list != nullptr) {
        cursor = static_cast<char*>(start_of(node_list));
        remaining = block_size(node_list);
    } else {
        cursor = nullptr;
        remaining = 0;
    }
    if (cursor != nullptr) tarvex_memory::hide(cursor, remaining);
}

// ---------------------------------------------------------------------------
// The context
// ---------------------------------------------------------------------------

template <typename Layout, Sharing S>
GrowOnlyContext<Layout, S>::GrowOnlyContext() {
    block_alignment = Layout::packed ? 1 : Layout::cap;
}

template <typename Layout, Sharing S>
ArenaPool& GrowOnlyContext<Layout, S>::pool() {
    return *std::launder(reinterpret_cast<ArenaPool*>(pool_storage));
}

template <typename Layout, Sharing S>
void GrowOnlyContext<Layout, S>::init(const Tarvex::ContextBase& base) {
    MemContext::init(base);
    const uint32_t quarter = size_hint / 4;
    arena = new (pool_storage)
        ArenaPool(quarter > smallest_block ? quarter : smallest_block, tarvex_ids::library_context);
}

template <typename Layout, Sharing S>
void GrowOnlyContext<Layout, S>::shutdown() {
    ContextLockHolder<S> hold(lock);
    arena = nullptr;
    pool().~ArenaPool();
    MemContext::shutdown();
}

template <typename Layout, Sharing S>
void* GrowOnlyContext<Layout, S>::take(uint32_t size, uint32_t alignment) {
    if (Layout::packed) return pool().pool_alloc(size);
    return pool().carve(size, alignment);
}

template <typename Layout, Sharing S>
void* GrowOnlyContext<Layout, S>::fast_alloc(uint32_t size) {
    ContextLockHolder<S> hold(lock);
    return take(size, Layout::alignment_for(size));
}

// The header is written under the lock: a reset on another thread may give
// the block back the moment the lock is left. A piece that fits the current
// block is a bump of its cursor, without a call; a new block is the call's
// own.
template <typename Layout, Sharing S>
void* GrowOnlyContext<Layout, S>::std_alloc(uint32_t size) {
    const uint32_t header = Layout::header_for_size(size);
    if (size <= largest_bump) {
        ContextLockHolder<S> hold(lock);
        if (void* piece = pool().bump(size + header, Layout::alignment_for(size)))
            return Header::attach(piece, size + header, header);
    }
    return std_alloc_carving(size);
}

template <typename Layout, Sharing S>
void* GrowOnlyContext<Layout, S>::std_alloc_carving(uint32_t size) {
    uint32_t total;
    if (!Header::total_for(size, total)) return nullptr;
    ContextLockHolder<S> hold(lock);
    void* obtained = take(total, Layout::alignment_for(size));
    if (obtained == nullptr) return nullptr;
    return Header::attach(obtained, total);
}

template <typename Layout, Sharing S>
uint32_t GrowOnlyContext<Layout, S>::std_size(void* block) {
    return Header::size_of(block);
}

template class GrowOnlyContext<PackedLayout, Sharing::one_thread>;
template class GrowOnlyContext<PackedLayout, Sharing::locked>;
template class GrowOnlyContext<DefaultAlignedLayout, Sharing::one_thread>;
template class GrowOnlyContext<DefaultAlignedLayout, Sharing::locked>;

}  // namespace tarvex
