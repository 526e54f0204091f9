// The three built-in runtime-heap contexts and the null context. They live
// in static storage for the life of the loaded library.
#pragma once

#include <new>

#include "contexts/dummy_context.h"
#include "contexts/std_malloc_context.h"

namespace tarvex {

enum BuiltinIndex { builtin_global, builtin_library, builtin_init_data, builtin_count };

struct alignas(StdMallocContext) BuiltinStorage {
    unsigned char bytes[sizeof(StdMallocContext)];
};
extern BuiltinStorage builtin_storage[builtin_count];

inline StdMallocContext& builtin_context(BuiltinIndex index) {
    return *std::launder(reinterpret_cast<StdMallocContext*>(builtin_storage[index].bytes));
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
