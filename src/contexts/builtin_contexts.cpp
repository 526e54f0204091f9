#include "contexts/builtin_contexts.h"

namespace tarvex {

BuiltinStorage builtin_storage[builtin_count];

namespace {
alignas(DummyContext) unsigned char null_storage[sizeof(DummyContext)];
bool constructed = false;
}  // namespace

DummyContext& null_context() {
    return *std::launder(reinterpret_cast<DummyContext*>(null_storage));
}

void construct_builtin_contexts() {
    if (constructed) return;
    for (BuiltinStorage& storage : builtin_storage) new (storage.bytes) StdMallocContext();
    new (null_storage) DummyContext();
    constructed = true;
}

bool is_builtin_context(const MemContext* context) {
    for (int i = 0; i < builtin_count; ++i) {
        if (context == &builtin_context(static_cast<BuiltinIndex>(i))) return true;
    }
    return false;
}

}  // namespace tarvex
