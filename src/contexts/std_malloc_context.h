// The runtime heap behind a context: no structure of its own, no lock, and
// the two block families are interchangeable.
#pragma once

#include "contexts/block_layout.h"
#include "contexts/mem_context.h"

namespace tarvex {

class StdMallocContext final : public MemContext {
public:
    StdMallocContext() { block_alignment = heap_alignment; }

    void* fast_alloc(uint32_t size) override;
    void fast_free(void* block, uint32_t size) override;
    void* std_alloc(uint32_t size) override;
    void std_free(void* block) override;
    uint32_t std_size(void* block) override;
};

}  // namespace tarvex
