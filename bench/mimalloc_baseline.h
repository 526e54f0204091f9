// mimalloc as a baseline beside the C runtime's malloc. The distribution's
// mimalloc replaces malloc and free in every program that links it, which
// would turn the C runtime baseline (and the library's own heap contexts)
// into mimalloc too; loaded at run time without joining the global symbol
// scope, it leaves malloc alone and offers only its own entry points.
#pragma once

#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace bench {

struct Mimalloc {
    void* (*malloc)(size_t);
    void (*free)(void*);
    void* (*realloc)(void*, size_t);
    // Heaps, mimalloc's nearest thing to contexts: a heap belongs to the
    // thread that made it; destroying it frees all its blocks at once.
    void* (*heap_new)();
    void* (*heap_malloc)(void* heap, size_t);
    void (*heap_destroy)(void* heap);
};

inline const Mimalloc& mimalloc() {
    static const Mimalloc loaded = [] {
        void* library = dlopen(TARVEX_MIMALLOC_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        Mimalloc m{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
        if (library != nullptr) {
            m.malloc = reinterpret_cast<void* (*)(size_t)>(dlsym(library, "mi_malloc"));
            m.free = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_free"));
            m.realloc = reinterpret_cast<void* (*)(void*, size_t)>(dlsym(library, "mi_realloc"));
            m.heap_new = reinterpret_cast<void* (*)()>(dlsym(library, "mi_heap_new"));
            m.heap_malloc =
                reinterpret_cast<void* (*)(void*, size_t)>(dlsym(library, "mi_heap_malloc"));
            m.heap_destroy = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_heap_destroy"));
        }
        if (m.malloc == nullptr || m.free == nullptr || m.realloc == nullptr ||
            m.heap_new == nullptr || m.heap_malloc == nullptr || m.heap_destroy == nullptr) {
            std::fprintf(stderr, "cannot load mimalloc from %s\n", TARVEX_MIMALLOC_LIBRARY);
            std::exit(1);
        }
        return m;
    }();
    return loaded;
}

}  // namespace bench
