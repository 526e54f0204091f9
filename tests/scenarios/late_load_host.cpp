// The library loaded at run time, after the host's threads exist: a thread
// that ran before the load and one started after it both use a context with
// thread caches, release each other's blocks, and end; the caches of both go
// back with them, and the process goes on. Only the C functions are used,
// looked up by name.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "support/scenario_check.h"
#include "tarvex/tarvex_c.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

struct Library {
    void(TARVEX_CDECL* desc_init)(tarvex_context_desc*, const char*, uint32_t, uint16_t);
    void(TARVEX_CDECL* context_init)(const tarvex_context_desc*);
    void*(TARVEX_CDECL* std_alloc)(uint32_t, uint32_t);
    void(TARVEX_CDECL* std_free)(const void*, uint32_t);
    uint32_t(TARVEX_CDECL* std_size)(const void*, uint32_t);
    void(TARVEX_CDECL* run_gc)(void);
};

template <typename Func>
bool bind(void* library, const char* name, Func& slot) {
#if defined(_WIN32)
    slot = reinterpret_cast<Func>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
    slot = reinterpret_cast<Func>(dlsym(library, name));
#endif
    return slot != nullptr;
}

bool load(const char* path, Library& lib) {
#if defined(_WIN32)
    (void)path;
    void* library = reinterpret_cast<void*>(LoadLibraryA("tarvex.dll"));
#else
    void* library = dlopen(path, RTLD_NOW);
#endif
    return library != nullptr && bind(library, "tarvex_context_desc_init", lib.desc_init) &&
           bind(library, "tarvex_context_init", lib.context_init) &&
           bind(library, "tarvex_std_alloc", lib.std_alloc) &&
           bind(library, "tarvex_std_free", lib.std_free) &&
           bind(library, "tarvex_std_size", lib.std_size) &&
           bind(library, "tarvex_run_gc", lib.run_gc);
}

constexpr uint32_t cached = 0x7f10;
using Blocks = std::vector<unsigned char*>;

Blocks make(const Library& lib, int count) {
    Blocks blocks;
    for (int i = 0; i < count; ++i) {
        const uint32_t size = 1 + static_cast<uint32_t>(i) % 100;
        auto* block = static_cast<unsigned char*>(lib.std_alloc(size, cached));
        if (block != nullptr) std::memset(block, static_cast<int>(size), size);
        blocks.push_back(block);
    }
    return blocks;
}

int release(const Library& lib, const Blocks& blocks) {
    int damaged = 0;
    for (unsigned char* block : blocks) {
        if (block == nullptr) {
            ++damaged;
            continue;
        }
        const uint32_t size = lib.std_size(block, cached);
        damaged += size == 0 || block[0] != size || block[size - 1] != size;
        lib.std_free(block, cached);
    }
    return damaged;
}

}  // namespace

int main(int argc, char** argv) {
    Library lib{};
    std::atomic<int> step{0};
    Blocks early_made, late_made;
    int damaged = 0;
    // A thread of the host from before the library was loaded.
    std::thread early([&] {
        while (step.load() != 1) std::this_thread::yield();
        early_made = make(lib, 3000);
        step = 2;
        while (step.load() != 3) std::this_thread::yield();
        damaged += release(lib, late_made);
        damaged += release(lib, make(lib, 1000));
    });
    SCENARIO_CHECK(load(argc > 1 ? argv[1] : "", lib));
    if (lib.std_alloc == nullptr) return scenario_result();
    tarvex_context_desc desc;
    lib.desc_init(&desc, "Late cached", cached, TARVEX_SMALL_BLK_LIST);
    desc.flags = TARVEX_MULTI_THREADED | TARVEX_THREAD_CACHE;
    lib.context_init(&desc);
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    std::thread late([&] {
        late_made = make(lib, 3000);
        damaged += release(lib, early_made);
    });
    late.join();
    step = 3;
    early.join();
    lib.run_gc();
    damaged += release(lib, make(lib, 3000));
    SCENARIO_CHECK(damaged == 0);
    return scenario_result();
}
