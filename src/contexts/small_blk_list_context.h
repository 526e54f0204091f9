// Small blocks from seven fixed-size fragment pools, everything above 128
// bytes from the runtime heap. A table indexed by the byte count picks the
// pool; the pools' blocks come from the library's own context. The layout
// (packed or aligned, see block_layout.h) is chosen when the context is made.
#pragma once

#include "contexts/block_layout.h"
#include "contexts/mem_context.h"
#include "tarvex/pools.h"

namespace tarvex {

template <typename Layout>
class SmallBlkListContext final : public MemContext {
public:
    static constexpr int pool_count = 7;
    // The largest byte count a pool serves.
    static constexpr uint32_t largest_pooled = 128;

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

    // Built by init and destroyed by shutdown, not by the constructor and
    // destructor.
    alignas(FragmentPool) unsigned char pools[pool_count][sizeof(FragmentPool)];
    FragmentPool* size_to_pool[largest_pooled + 1];
};

extern template class SmallBlkListContext<PackedLayout>;
extern template class SmallBlkListContext<DefaultAlignedLayout>;

}  // namespace tarvex
