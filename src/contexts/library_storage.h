// Where the library's own storage comes from: its own context, "Tarvex".
//
// Code inside the library takes that storage through the helpers below,
// which call the context object directly: no dispatch table, no registry
// lookup, no lock, and so never tracked, never counted against a budget, and
// safe under any of the library's locks (the object serves from the runtime
// heap, not through operator new, which a game may route back into us).
//
// Two exceptions, each because it may run before the library has started:
// - the exported pools use only the public entry points, with the library's
//   id, for their blocks, a collection's scratch and the C interface's pool
//   objects; the entry points start the library;
// - the frame cache of debug help resolves frames for whoever asks and takes
//   the runtime heap itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <new>
#include <utility>

#include "base/building_blocks.h"
#include "contexts/builtin_contexts.h"

namespace tarvex {

// Null when `bytes` does not fit a context request or the heap has none,
// and before the library's first start has made its contexts (a report asked
// for from a static constructor that runs before ours, say).
inline void* library_alloc(size_t bytes) {
    if (!builtin_contexts_constructed() || bytes > UINT32_MAX) return nullptr;
    return library_context().std_alloc(static_cast<uint32_t>(bytes));
}

inline void library_free(void* block) {
    if (block != nullptr) library_context().std_free(block);
}

// One object in library storage; null when there is none.
template <typename T, typename... Args>
T* library_new(Args&&... args) {
    void* storage = library_alloc(sizeof(T));
    return storage != nullptr ? new (storage) T(std::forward<Args>(args)...) : nullptr;
}

template <typename T>
void library_delete(T* object) {
    if (object == nullptr) return;
    object->~T();
    library_free(object);
}

// For the standard containers the library keeps.
template <typename T>
using LibraryAllocator = FunctionAllocator<T, library_alloc, library_free>;

}  // namespace tarvex
