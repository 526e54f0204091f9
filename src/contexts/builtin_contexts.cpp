#include "contexts/builtin_contexts.h"

#include <atomic>

#include "base/library_state.h"

namespace tarvex {

BuiltinStorage builtin_storage[builtin_count];

namespace {
alignas(DummyContext) unsigned char null_storage[sizeof(DummyContext)];
std::atomic<bool> constructed{false};
}  // namespace

DummyContext& null_context() {
    return *std::launder(reinterpret_cast<DummyContext*>(null_storage));
}

void construct_builtin_contexts() {
    TARVEX_CHECK_LIBRARY_LOCK();
    if (constructed.load(std::memory_order_relaxed)) return;
    for (BuiltinStorage& storage : builtin_storage) new (storage.bytes) StdMallocContext();
    new (null_storage) DummyContext();
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
