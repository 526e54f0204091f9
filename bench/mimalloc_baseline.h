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
};

inline const Mimalloc& mimalloc() {
    static const Mimalloc loaded = [] {
        void* library = dlopen(TARVEX_MIMALLOC_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        Mimalloc m{nullptr, nullptr};
        if (library != nullptr) {
            m.malloc = reinterpret_cast<void* (*)(size_t)>(dlsym(library, "mi_malloc"));
            m.free = reinterpret_cast<void (*)(void*)>(dlsym(library, "mi_free"));
        }
        if (m.malloc == nullptr || m.free == nullptr) {
            std::fprintf(stderr, "cannot load mimalloc from %s\n", TARVEX_MIMALLOC_LIBRARY);
            std::exit(1);
        }
        return m;
    }();
    return loaded;
}

}  // namespace bench
