// A script interpreter's allocations, as an embedded language makes them
// through a lua_Alloc-style function: one function that allocates (no old
// block), reallocates (both) and frees (new size 0), told the old size each
// time. Mostly objects of 16 to 64 bytes (strings, tables, closures), arrays
// and hash parts that grow by doubling and sometimes shrink, and a garbage
// collector that frees in bursts. Shared by the Linux benchmarks and the
// Windows timing loop; the same calls in every run.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "tarvex/tarvex.h"
#include "tarvex/tarvex_c.h"

namespace bench {

struct ScriptCall {
    uint32_t object;    // which live object the call is about
    uint32_t new_size;  // 0: free it
};

constexpr uint32_t script_objects = 4096;
constexpr int script_calls = 20000;

inline const std::vector<ScriptCall>& script_calls_list() {
    static const std::vector<ScriptCall> calls = [] {
        std::mt19937 random(5150);
        const auto between = [&](uint32_t low, uint32_t high) {
            return std::uniform_int_distribution<uint32_t>(low, high)(random);
        };
        std::vector<uint32_t> size(script_objects, 0);
        std::vector<ScriptCall> v;
        while (v.size() < static_cast<size_t>(script_calls)) {
            const uint32_t object = between(0, script_objects - 1);
            const uint32_t roll = between(0, 99);
            uint32_t next;
            if (size[object] == 0) {
                // A new object: most are small; a few start an array.
                next = roll < 85 ? between(16, 64) : between(65, 256);
            } else if (roll < 45) {
                // A table or buffer grows by doubling, up to 8 KiB; or shrinks.
                next = size[object] < 8192 ? size[object] * 2 : size[object] / 4;
            } else if (roll < 55) {
                next = size[object] > 32 ? size[object] / 2 : size[object];
            } else {
                next = 0;  // collected
            }
            if (next == 0 && size[object] == 0) continue;
            v.push_back({object, next});
            size[object] = next;
        }
        // The state closes: everything left is freed.
        for (uint32_t object = 0; object < script_objects; ++object)
            if (size[object] != 0) v.push_back({object, 0});
        return v;
    }();
    return calls;
}

// Runs the calls through `alloc(block, old_size, new_size)`, lua_Alloc's
// contract: returns the block (null after a free). Touches the first byte
// of each block, as the interpreter writes its object header. One item is
// one call.
template <typename Alloc>
inline void run_script(Alloc&& alloc) {
    static std::vector<void*> blocks(script_objects, nullptr);
    static std::vector<uint32_t> sizes(script_objects, 0);
    for (const ScriptCall& call : script_calls_list()) {
        void*& block = blocks[call.object];
        block = alloc(block, sizes[call.object], call.new_size);
        sizes[call.object] = call.new_size;
        if (block != nullptr) *static_cast<volatile char*>(block) = 1;
    }
}

// The runtime heap's functions, as the interpreter's own default does.
template <typename Realloc, typename Free>
inline void* heap_script_alloc(Realloc re, Free free, void* block, uint32_t, uint32_t size) {
    if (size == 0) {
        free(block);
        return nullptr;
    }
    return re(block, size);
}

// One multi-threaded small-block context by id: the calls a game's
// lua_Alloc makes without knowing more than the id.
inline void* tarvex_script_alloc(uint32_t id, void* block, uint32_t, uint32_t size) {
    if (size == 0) {
        Tarvex::std_free(block, id);
        return nullptr;
    }
    if (block == nullptr) return Tarvex::std_alloc(size, id);
    return Tarvex::std_realloc(block, size, id);
}

// The same context through its handle, with the sizes the interpreter
// passes: the fast calls, which need no header.
inline void* tarvex_handle_script_alloc(tarvex_handle handle, void* block, uint32_t old_size,
                                        uint32_t size) {
    if (size == 0) {
        tarvex_handle_fast_free(handle, block, old_size);
        return nullptr;
    }
    void* moved = tarvex_handle_fast_alloc(handle, size);
    if (block != nullptr) {
        if (moved == nullptr) return nullptr;
        std::memcpy(moved, block, old_size < size ? old_size : size);
        tarvex_handle_fast_free(handle, block, old_size);
    }
    return moved;
}

}  // namespace bench
