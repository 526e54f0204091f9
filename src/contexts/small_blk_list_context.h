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

    FragmentPool& pool(int index);
    // A fragment of the class for `bytes` (at most largest_pooled), and back.
    void* take_fragment(uint32_t bytes);
    void give_fragment(void* fragment, uint32_t bytes);

    // The thread caches' slow paths: a refill from the depot (or the pool),
    // a spill to the depot (or the pool), and every cached fragment back to
    // the pools (the owner's lock held or not).
    void* refill(uint32_t bytes);
    void spill(void* fragment, uint32_t bytes);
    static void give_back(MemContext* owner, ContextCaches& caches);
    // pre: the lock is held. Every magazine's fragments back to the pools,
    // and the magazines to library storage.
    void empty_depot();

    // Built by init and destroyed by shutdown, not by the constructor and
    // destructor.
    alignas(FragmentPool) unsigned char pools[pool_count][sizeof(FragmentPool)];
    uint8_t size_to_class[largest_pooled + 1];
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
