#include "contexts/builtin_contexts.h"

#include <atomic>
#include <cstdlib>

#include "base/library_state.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// The runtime heap
// ---------------------------------------------------------------------------

namespace tarvex {

void* StdMallocContext::fast_alloc(uint32_t size) {
    return std::malloc(size);
}

void StdMallocContext::fast_free(void* block, uint32_t) {
    std::free(block);
}

void* StdMallocContext::std_alloc(uint32_t size) {
    return std::malloc(size);
}

void StdMallocContext::std_free(void* block) {
    std::free(block);
}

uint32_t StdMallocContext::std_size(void* block) {
    return static_cast<uint32_t>(platform::heap_block_size(block));
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// The built-in instances
// ---------------------------------------------------------------------------

namespace tarvex {

LastingStorage<StdMallocContext> builtin_storage[builtin_count];

namespace {
LastingStorage<DummyContext> null_storage;
std::atomic<bool> constructed{false};
}  // namespace

DummyContext& null_context() {
    return null_storage.get();
}

void construct_builtin_contexts() {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (constructed.load(std::memory_order_relaxed)) return;
    for (LastingStorage<StdMallocContext>& storage : builtin_storage) storage.construct();
    null_storage.construct();
    constructed.store(true, std::memory_order_release);
}

bool builtin_contexts_constructed() {
    return constructed.load(std::memory_order_acquire);
}

bool is_builtin_context(const MemContext* context) {
    for (int i = 0; i < builtin_count; ++i) {
        if (context == &builtin_context(static_cast<BuiltinIndex>(i))) return true;
    }
    return false;
}

}  // namespace tarvex
