// An arena context: blocks are carved back to back from one grow-only pool,
// releases do nothing, and everything goes back at once at shutdown.
#pragma once

#include "contexts/block_layout.h"
#include "contexts/mem_context.h"
#include "tarvex/pools.h"

namespace tarvex {

// The context's pool: the exported grow-only pool, which packs its pieces,
// with an aligned carve beside it for the aligned layouts.
class ArenaPool : public GrowOnlyPool {
public:
    using GrowOnlyPool::GrowOnlyPool;

    // `size` bytes at the next multiple of `alignment` (a power of two no
    // larger than the heap's), from a new block when the current one has no
    // room; null when no block can be had.
    void* carve(uint32_t size, uint32_t alignment);
};

template <typename Layout>
class GrowOnlyContext final : public MemContext {
public:
    // The pool's blocks: a quarter of the size hint, never under this.
    static constexpr uint32_t smallest_block = 4096;

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

    // Built by init and destroyed by shutdown.
    alignas(ArenaPool) unsigned char pool_storage[sizeof(ArenaPool)];
};

extern template class GrowOnlyContext<PackedLayout>;
extern template class GrowOnlyContext<DefaultAlignedLayout>;

}  // namespace tarvex
