// Small blocks from seven fixed-size fragment pools (eight on 64-bit
// targets, whose aligned header is 16 bytes), everything larger from the
// runtime heap. A table indexed by the byte count picks the pool; the pools'
// blocks come from the library's own context. The layout (packed or aligned,
// see block_layout.h) and how the context serves threads (see Sharing in
// mem_context.h, and thread_cache.h) are chosen when the context is made.
#pragma once

#include "contexts/block_layout.h"
#include "contexts/mem_context.h"
#include "contexts/thread_cache.h"
#include "tarvex/pools.h"

namespace tarvex {

// A context's fragment pool: its free fragments are taken without a call,
// and growing, the rare case, is left to the exported pool out of line, so
// that a context's path needs no stack frame of its own.
class ContextPool : public FragmentPool {
public:
    using FragmentPool::FragmentPool;

    // A free fragment, or null when the pool must grow first.
    void* take_free() {
        void* fragment = free_list;
        if (fragment == nullptr) return nullptr;
        free_list = tarvex_memory::hidden_read<void*>(fragment);
        tarvex_memory::handed_out(this, fragment, fragment_size);
        ++in_use;
        return fragment;
    }
};

template <typename Layout, Sharing S>
class SmallBlkListContext final : public MemContext {
public:
    // An eighth class when the header of a 128-byte block is 16 bytes (the
    // 64-bit targets' layout), so that payloads of up to 128 bytes stay in a
    // pool there too; 124 behind the packed 4-byte header.
    static constexpr int pool_count = Layout::header_for_size(128) == 16 ? 8 : 7;
    static_assert(pool_count <= static_cast<int>(cached_classes), "a thread cache per class");
    // The largest byte count a pool serves.
    static constexpr uint32_t largest_pooled = pool_count == 8 ? 144 : 128;

    SmallBlkListContext();

    void run_gc() override;
    void init(const Tarvex::ContextBase& base) override;
    void shutdown() override;
    void* fast_alloc(uint32_t size) override;
    void fast_free(void* block, uint32_t size) override;
    // The block carries a size header with the byte count asked of the pool
    // or heap: the caller's size plus the header.
    void* std_alloc(uint32_t size) override;
    void std_free(void* block) override;
    uint32_t std_size(void* block) override;

private:
    using Header = SizeHeader<Layout>;

    ContextPool& pool(int index);
    // A free fragment of the pool with this index without growing the pool
    // or refilling the thread's cache; null when there is none.
    __attribute__((always_inline)) void* fragment_at_hand(int index);
    // A fragment of the pool with this index, growing it (or refilling the
    // thread's cache) when it must; and back.
    __attribute__((noinline)) void* take_fragment(int index);
    __attribute__((always_inline)) void give_fragment(void* fragment, int index);
    // std_alloc's calls of their own: when no fragment is at hand, and for a
    // block above the largest class, from the runtime heap.
    __attribute__((noinline)) void* std_alloc_taking(uint32_t size);
    __attribute__((noinline)) void* std_alloc_from_heap(uint32_t size);

    // The thread caches' slow paths: a refill from the depot (or the pool),
    // a spill to the depot (or the pool), and every cached fragment back to
    // the pools (the owner's lock held or not).
    __attribute__((noinline)) void* refill(int index);
    __attribute__((noinline)) void spill(void* fragment, int index);
    static void give_back(MemContext* owner, ContextCaches& caches);
    // pre: the lock is held. Every magazine's fragments back to the pools,
    // and the magazines to library storage.
    void empty_depot();

    // Built by init and destroyed by shutdown, not by the constructor and
    // destructor.
    alignas(ContextPool) unsigned char pools[pool_count][sizeof(ContextPool)];
    uint32_t cache_index = no_cache_index;
    // The depot, guarded by the lock: full magazines by class, and the
    // empty ones kept for the next spill.
    Magazine* full_magazines[pool_count] = {};
    Magazine* empty_magazines = nullptr;
};

extern template class SmallBlkListContext<PackedLayout, Sharing::one_thread>;
extern template class SmallBlkListContext<PackedLayout, Sharing::locked>;
extern template class SmallBlkListContext<PackedLayout, Sharing::thread_cached>;
extern template class SmallBlkListContext<DefaultAlignedLayout, Sharing::one_thread>;
extern template class SmallBlkListContext<DefaultAlignedLayout, Sharing::locked>;
extern template class SmallBlkListContext<DefaultAlignedLayout, Sharing::thread_cached>;

}  // namespace tarvex
