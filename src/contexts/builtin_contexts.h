// The runtime-heap context and the null context, and the library's own
// instances: the three built-in runtime-heap contexts and the null context,
// in lasting storage for the life of the loaded library.
#pragma once

#include "base/building_blocks.h"
#include "contexts/block_layout.h"
#include "contexts/mem_context.h"

// ---------------------------------------------------------------------------
// The runtime heap
//
// The runtime heap behind a context: no structure of its own, no lock, and
// the two block families are interchangeable.
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// No memory at all
//
// A context without memory: it serves ids that no context carries, so such a
// call completes with a null block instead of failing.
// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// The built-in instances
// ---------------------------------------------------------------------------

namespace tarvex {

enum BuiltinIndex { builtin_global, builtin_library, builtin_init_data, builtin_count };

extern LastingStorage<StdMallocContext> builtin_storage[builtin_count];

inline StdMallocContext& builtin_context(BuiltinIndex index) {
    return builtin_storage[index].get();
}
inline StdMallocContext& global_context() {
    return builtin_context(builtin_global);
}
// Where the library keeps its own storage; tracking ignores it.
inline StdMallocContext& library_context() {
    return builtin_context(builtin_library);
}
inline StdMallocContext& init_data_context() {
    return builtin_context(builtin_init_data);
}

DummyContext& null_context();

// Constructs the built-ins and the null context the first time only: their
// locks and virtual tables must stay live for stray calls after a shutdown.
// pre: the library lock is held.
void construct_builtin_contexts();
// Any thread: whether construct_builtin_contexts has finished once.
bool builtin_contexts_constructed();

bool is_builtin_context(const MemContext* context);

}  // namespace tarvex
