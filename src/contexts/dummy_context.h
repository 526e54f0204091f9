// A context without memory: it serves ids that no context carries, so such a
// call completes with a null block instead of failing.
#pragma once

#include "contexts/mem_context.h"

namespace tarvex {

class DummyContext final : public MemContext {
public:
    void run_gc() override {}
    void shutdown() override {}
    void* fast_alloc(uint32_t) override { return nullptr; }
    void fast_free(void*, uint32_t) override {}
    void* std_alloc(uint32_t) override { return nullptr; }
    void std_free(void*) override {}
    uint32_t std_size(void*) override { return 0; }
};

}  // namespace tarvex
