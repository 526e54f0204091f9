// An arena context: blocks are carved back to back from one grow-only pool,
// releases do nothing, and everything goes back at once at shutdown.
#pragma once

#include "contexts/mem_context.h"
#include "tarvex/pools.h"

namespace tarvex {

class GrowOnlyContext final : public MemContext {
public:
    // The pool's blocks: a quarter of the size hint, never under this.
    static constexpr uint32_t smallest_block = 4096;

    void init(const Tarvex::ContextBase& base) override;
    void shutdown() override;
    void* fast_alloc(uint32_t size) override;
    void fast_free(void*, uint32_t) override {}
    // The block carries a 4-byte header: the caller's size plus 4.
    void* std_alloc(uint32_t size) override;
    void std_free(void*) override {}
    uint32_t std_size(void* block) override;

private:
    GrowOnlyPool& pool();

    // Built by init and destroyed by shutdown.
    alignas(GrowOnlyPool) unsigned char pool_storage[sizeof(GrowOnlyPool)];
};

}  // namespace tarvex
